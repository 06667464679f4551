// SPDX-License-Identifier: GPL-2.0-or-later
// The batch operations: one operation on one reader, chosen by the command
// line, ending with a result that becomes the exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/batch_operations.h"
#include "cli/history.h"
#include "cli/progress_bar.h"
#include "cli/tool_settings.h"
#include "discovery/reader_list.h"

inline constexpr int32_t BATCH_BUFFER_SIZE = 8000000; // bytes; input must be smaller

// Results of the batch run besides the reader's own.
inline constexpr int32_t BATCH_FILE_ERROR = 2;
inline constexpr int32_t BATCH_INPUT_TOO_LARGE = 3;
inline constexpr int32_t BATCH_NO_READER = 4;
inline constexpr int32_t BATCH_READER_UNUSABLE = 5;
inline constexpr int32_t BATCH_NOT_SUPPORTED = 6;
inline constexpr int32_t BATCH_READER_LOST = -1281; // low byte 0xFF: exits 255

// Room for BATCH_BUFFER_SIZE bytes that the system provides page by page as
// they are written, so a run holds only the memory its data fills.
struct BatchSpace {
    BatchSpace() = default;
    BatchSpace(const BatchSpace&) = delete;
    BatchSpace& operator=(const BatchSpace&) = delete;
    ~BatchSpace();
    uint8_t* bytes = nullptr;
};
// Makes the room. 0, or -1 when the system has no memory for it.
int batch_space_make(BatchSpace* space);

// What a run is at, for whoever shows it.
enum class BatchPhase : uint8_t {
    Waiting,
    Switching,
    Sending,
    Fetching,
    Working,
    Restarting,
    Module,
    Done,
    Failed,
};

// One run of the operation on one reader: everything it reads and writes.
struct BatchRun {
    const ToolSettings* settings = nullptr;
    BatchPlan plan;
    Reader* reader = nullptr;
    char serial[READER_SERIAL_SIZE] = {}; // to find the reader after a restart,
    char port[READER_PATH_SIZE] = {};     // on this USB port (when its path has one)
    const uint8_t* input = nullptr;       // the input, kept whole; never written
    int32_t input_len = 0;
    bool input_ready = false; // read before the run (shared by several runs)
    BatchSpace input_space;   // holds the input a run reads itself
    BatchSpace output;        // what the reader returns
    int32_t output_len = BATCH_BUFFER_SIZE;
    const char* output_path = nullptr; // nullptr: standard output
    bool output_whole = false;         // written beside, renamed when complete
    std::string output_temp;           // that file beside, while it exists
    uint8_t assignment[32] = {};       // -p's "READERPROTOCOL=N"
    std::atomic<int32_t> shown{0};     // percentage of the transfer
    std::atomic<BatchPhase> phase{BatchPhase::Waiting};
    bool draw_bar = false; // -q on a single reader
    FILE* bar = stdout;    // where the progress bar is drawn
    ProgressBar bar_thread;
    int32_t switch_attempts = 0;
    bool stdout_closed = false; // the fetched data went to standard output
    HistoryRun history;         // the run's lines in the history
};

// A run of settings' operation, before its reader is chosen: plan, where
// output and bar go.
void batch_run_init(BatchRun* run, const ToolSettings& settings);
// Reads the input (-i or standard input) into space. 0, 2 when it cannot be
// read or there is no memory for it, 3 when it is too large.
int32_t batch_read_input(const ToolSettings& settings, BatchSpace* space, int32_t* length);

// Runs the operation on run->reader, which the caller opened (and, for -u,
// identified with firmware_identify), up to closing it. Returns 0, a batch
// result above, the reader's result, or a negative link failure; the reader
// stays open when the run ended before the operation began.
int32_t batch_run_opened(BatchRun* run);

// Runs the operation the settings ask for on the reader they choose (-r,
// -s, or the first one). Returns as batch_run_reader, or 4 when no reader
// is found.
int32_t batch_run(const ToolSettings& settings, const ReaderChoice& choice);
