// SPDX-License-Identifier: GPL-2.0-or-later
// Reader status codes and the wait until a reader is ready.
#pragma once

#include <atomic>
#include <cstdint>

struct Reader;

inline constexpr int32_t STATUS_UNKNOWN = 0;
inline constexpr int32_t STATUS_OK = 1;
inline constexpr int32_t STATUS_UPDATE_NEEDED = 6;
inline constexpr int32_t STATUS_REBOOTING = -1; // shown while the reader answers busy

inline constexpr int STATUS_BUSY_PAUSE_MS = 500;
inline constexpr int STATUS_NOT_READY_PAUSE_MS = 500;
inline constexpr int STATUS_FAILURE_PAUSE_MS = 2000;
inline constexpr int STATUS_ZERO_TOLERATED = 3;

// Text for a status code; never fails.
const char* reader_status_text(int32_t code);
// The status code (function 2107, 4 bytes big-endian) in *code. 0; the
// failing result; PARAM_NOT_DELIVERED when fewer than 4 bytes arrived.
int32_t reader_status_code(Reader* reader, int32_t* code);

// What a waiting caller shares with the wait: where each status seen is
// stored (-1 while busy), a flag that ends the wait early and a function
// called after each store, for whoever shows the status. Each may be
// nullptr.
struct ReadyWatch {
    std::atomic<int32_t>* status = nullptr;
    const std::atomic<uint8_t>* stop = nullptr;
    void (*stored)() = nullptr;
};

// reader_wait_ready: the watch's stop flag ended the wait.
inline constexpr int32_t READY_WAIT_STOPPED = -1002;

// Asks for the status (function 2107) until the reader reports 1 or 6, or
// status 0 for the fourth time; busy answers are retried every 500 ms.
// Returns 0 when ready, READY_WAIT_STOPPED, or the failing reader_ctl
// result (after a 2 s pause).
int reader_wait_ready(Reader* reader, const ReadyWatch& watch = {});
