// SPDX-License-Identifier: GPL-2.0-or-later
// One run of a batch operation on one reader: everything the run reads and
// writes, handed to each of its steps (batch, firmware update, module
// check), which know nothing of one another's code.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/batch_operations.h"
#include "cli/history.h"
#include "cli/progress_bar.h"
#include "discovery/reader_list.h"

struct ToolSettings;

inline constexpr int32_t BATCH_BUFFER_SIZE = 8000000; // bytes; input must be smaller

// Room for BATCH_BUFFER_SIZE bytes that the system provides page by page as
// they are written, so a run holds only the memory its data fills.
struct BatchSpace {
    BatchSpace() = default;
    BatchSpace(const BatchSpace&) = delete;
    BatchSpace& operator=(const BatchSpace&) = delete;
    ~BatchSpace();
    uint8_t* bytes = nullptr;
};
// Makes the room. 0, or SYSTEM_FAILED when the system has no memory for it.
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

// Filled in by whoever starts the run. Once the run has started, the thread
// running it writes every field; another thread reads only shown, phase and
// what was written before the run's thread started.
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
