// SPDX-License-Identifier: GPL-2.0-or-later
// The history: a tab-separated file with a line when a reader's run of an
// operation that can change it starts (before its first exchange) and one
// when it ends, appended by every brinlet process and every thread of -a.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

struct BatchRun;
struct ToolSettings;

// The file of one brinlet process. Each line is one write on a descriptor
// opened with O_APPEND, so lines of threads and processes never mix. The
// descriptor and the names are set by history_open before any run starts
// and only read afterwards; the checksum cache is guarded by its lock.
struct History {
    History() = default;
    History(const History&) = delete;
    History& operator=(const History&) = delete;
    ~History();
    int fd = -1; // -1: nothing is recorded
    std::string path, host, user, pid;
    std::atomic<bool> told{false}; // the history's failure was said
    std::mutex hash_lock;
    const uint8_t* hashed = nullptr; // the input last checksummed
    int32_t hashed_len = -1;
    std::string hash;
};

// What one reader's run records, touched only by the thread of that run.
struct HistoryRun {
    History* history = nullptr; // nullptr: nothing is recorded
    bool started = false;
    std::chrono::steady_clock::time_point start;
    std::string serial, path, model, operation, input, input_bytes, input_sha256;
};

// Opens the history for the settings' operation when it can change a
// reader (-c -d -m -p -w -u -X -b): BRINLET_HISTORY, off when set but
// empty, else $XDG_STATE_HOME (or $HOME/.local/state)/brinlet/history.tsv.
// Missing folders are made (0700), a new file (0600) starts with the
// header. Never fails: a history that cannot be written is said once at
// level 1, "Cannot write history FILE: REASON", and nothing is recorded.
void history_open(History* history, const ToolSettings& settings);

// The started line of the run, with its reader and input as they are now;
// once per run, later calls do nothing.
void history_started(const BatchRun& run, HistoryRun* record);
// The ended line of a started run: ok or failed, the exit status of the
// result, the seconds since started, the message.
void history_ended(HistoryRun* record, int32_t result, std::string_view message);

// The words of a failed run that said nothing: "Function F answered R".
std::string failure_words(uint16_t function, int32_t result);
// The same for a batch run: the function that carries its data.
std::string run_failure_words(const BatchRun& run, int32_t result);

// One line of the history, always whole: time, event, the run's fields,
// status, seconds and message.
std::string history_line(const HistoryRun& record, std::string_view time, std::string_view event,
                         std::string_view status, std::string_view seconds,
                         std::string_view message);

// Runs the opened single reader's run (batch_run_opened) with its history:
// its first error kept for the history as -a keeps it, its output as it
// would be without. Returns the run's result.
int32_t history_run_single(BatchRun* run);
