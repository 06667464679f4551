// SPDX-License-Identifier: GPL-2.0-or-later
// The batch operations: one operation on one reader, chosen by the command
// line, ending with a result that becomes the exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "discovery/reader.h"

inline constexpr int32_t BATCH_BUFFER_SIZE = 8000000; // bytes; input must be smaller

// Results of the batch run besides the reader's own.
inline constexpr int32_t BATCH_FILE_ERROR = 2;
inline constexpr int32_t BATCH_INPUT_TOO_LARGE = 3;
inline constexpr int32_t BATCH_NO_READER = 4;
inline constexpr int32_t BATCH_READER_UNUSABLE = 5;
inline constexpr int32_t BATCH_NOT_SUPPORTED = 6;
inline constexpr int32_t BATCH_READER_LOST = -1;

// State of one run, shared with the firmware update and the module check.
struct BatchRun {
    Reader* reader = nullptr;
    char serial[READER_SERIAL_SIZE] = {}; // to find the reader after a restart,
    char port[READER_PATH_SIZE] = {};     // on this USB port (when its path has one)
    uint8_t* data = nullptr;              // BATCH_BUFFER_SIZE bytes: the input, kept whole
    uint8_t* output = nullptr;            // BATCH_BUFFER_SIZE bytes: what the reader returns
    int32_t input_len = 0;
    int32_t output_len = BATCH_BUFFER_SIZE;
    std::atomic<int32_t> shown{0}; // percentage drawn by the progress bar
    int32_t switch_attempts = 0;
    bool stdout_closed = false; // the fetched data went to standard output
    FILE* bar = stdout;         // where the progress bar is drawn
};

// Runs the operation that tool_settings asks for on the reader chosen by
// index (with -r) or serial (with -s). Returns 0, a batch result above, the
// reader's result, or a negative link failure.
int32_t batch_run(int32_t reader_index, const char* reader_serial);
