// SPDX-License-Identifier: GPL-2.0-or-later
// Firmware update of the card reader module inside a reader ("Extfw"):
// Start with the image length, the image in 504-byte pieces, Finish.
#pragma once

#include <cstdint>

struct Reader;
struct ProgressSink;

inline constexpr uint32_t EXTFW_PIECE_BYTES = 504; // 8 full data packets
inline constexpr int EXTFW_FIRST_WAIT_MS = 10;
inline constexpr int EXTFW_MAX_WAIT_MS = 500;
// A module that still reports an unfinished sequence after this many closes
// will not take the image; the update fails with its answer.
inline constexpr int EXTFW_SEQUENCE_CLOSES_MAX = 5;

// The busy wait that follows wait_ms: one and a half times, at most 500 ms.
int extfw_next_wait(int wait_ms);

// Sends image to the module; busy answers are waited out and repeated. An
// unfinished earlier sequence (RDR_SEQUENCE_ERROR at Start) is closed with
// Finish and the sequence starts again. 0 when all was accepted, else the
// first failing result. Moves progress (when given) along as the pieces go.
int32_t reader_extfw_update(Reader* reader, const uint8_t* image, uint32_t length,
                            const ProgressSink* progress = nullptr);
