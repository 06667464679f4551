// SPDX-License-Identifier: GPL-2.0-or-later
// The CTL exchange: one numbered reader function on one open reader.
#pragma once

#include <cstdint>

struct ReaderLink;
struct ProgressSink;

inline constexpr int CTL_ATTEMPTS = 5;
inline constexpr int CTL_ACK_WAIT_MS = 90;
inline constexpr int CTL_RETRY_PAUSE_MS = 30;
inline constexpr int CTL_DONE_WAIT_MS = 9990;
inline constexpr int CTL_OUTPUT_WAIT_MS = 1990; // per report of output data

// Runs function on reader: request (5 attempts 30 ms apart, taking in any
// CB_REQUEST that arrives instead of CTL_ACK), input data, CTL_DONE, output.
// *output_len is the capacity on entry and, on return, the number of output
// bytes that came from the reader: 0 on every way out that fetched none (a
// refused request, a failure, no CTL_DONE, no output, an output the host
// refused as too large or negative, an output read that failed). So
// *output_len > 0 always means the first *output_len bytes of output are the
// reader's, whatever the result.
// Returns the reader's result, the value of a CTL_ERROR answering the
// request, LINK_ERROR when no CTL_ACK came or CTL_DONE was not what
// arrived, or another link result (LINK_BAD_HEADER, LINK_TIMEOUT,
// LINK_IO_ERROR). Takes ctl_lock for the whole exchange.
// The input's progress goes to progress when one is given.
int32_t reader_ctl(ReaderLink* link, uint16_t function, int32_t input_len, const uint8_t* input,
                   int32_t* output_len, uint8_t* output, const ProgressSink* progress = nullptr);
