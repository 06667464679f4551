// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch_all.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "base/signals.h"
#include "cli/batch.h"
#include "cli/batch_rows.h"
#include "cli/batch_run.h"
#include "cli/exit_status.h"
#include "cli/firmware_update.h"
#include "cli/reader_selection.h"
#include "discovery/reader_list.h"

namespace {

constexpr int ROWS_REDRAW_MS = 100;
constexpr int ROW_SERIAL_WIDTH = 16;
constexpr int ROW_TAG_WIDTH = 12;

enum class Outcome : uint8_t { Ok, Failed, Skipped };

// One selected reader: its run, and what the summary says of it. The main
// thread makes it and starts the reader's thread on it; the main thread
// shows the rows while the reader's threads run, and writes the summary
// once every one is joined.
struct ReaderRun {
    // Written by the main thread before the reader's thread starts, then by
    // that thread alone. While it runs, the main thread reads only
    // run.shown (relaxed: a percentage that carries nothing else), run.phase
    // and run.plan, which the thread's start made visible and nobody writes.
    BatchRun run;
    // Written by the main thread before the reader's thread starts, read by
    // both afterwards and written by neither: the thread's start publishes
    // them.
    char serial[READER_SERIAL_SIZE] = {};
    const char* tag = "";
    std::string output_path;
    bool skipped = false; // not touched: the model refuses the operation
    DiagTarget target;
    BatchRows* rows = nullptr; // has its own lock
    // Written by the main thread for a reader it does not start, else by the
    // reader's thread (message as it runs, result at its end) before it
    // stores run.phase Done or Failed with release order and writes nothing
    // more. The main thread reads them once an acquire load sees Failed, or
    // after the join.
    int32_t result = 0;
    std::string message; // the first error, as -v shows it
    double seconds = 0;  // reader's thread; read after the join only
    std::thread thread;  // main thread only
};
using Runs = std::vector<std::unique_ptr<ReaderRun>>;

// A reader's messages: the first error is kept for the summary, as the
// history keeps it.
void take_message(void* context, int level, const char* text) {
    auto* rr = static_cast<ReaderRun*>(context);
    batch_rows_take(rr->rows, rr->serial, &rr->message, level, text);
}

Outcome outcome_of(const ReaderRun& rr) {
    if (rr.skipped) return Outcome::Skipped;
    return rr.result == 0 ? Outcome::Ok : Outcome::Failed;
}

void fail(ReaderRun* rr, int32_t result) {
    rr->result = result;
    rr->run.phase = BatchPhase::Failed;
}

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// The pattern with each "%s" replaced by the serial number, every character
// but ASCII letters, digits, '-' and '_' made '_' ("_" for an empty one).
std::string output_name(const char* pattern, const char* serial) {
    std::string safe = serial;
    for (char& c : safe)
        if (!is_word_char(c)) c = '_';
    if (safe.empty()) safe = "_";
    std::string name = pattern;
    for (size_t at = name.find("%s"); at != std::string::npos;
         at = name.find("%s", at + safe.size()))
        name.replace(at, 2, safe);
    return name;
}

// A reader whose model refuses what a run on it alone would refuse is not
// touched. -u switches a reader that cannot take the image into its service
// firmware first and checks there.
bool refuses(const BatchPlan& plan, const ReaderModel* model) {
    if (plan.firmware_update && !model->can_update_firmware) return false;
    return !batch_permitted(plan, model);
}

std::unique_ptr<ReaderRun> make_run(const ToolSettings& settings, Reader* reader, BatchRows* rows) {
    auto rr = std::make_unique<ReaderRun>();
    batch_run_init(&rr->run, settings);
    rr->run.reader = reader;
    rr->run.draw_bar = false;
    rr->run.output_whole = true;
    std::snprintf(rr->serial, sizeof rr->serial, "%s", reader->serial);
    rr->tag = reader->model->tag;
    rr->target = {take_message, rr.get()};
    rr->rows = rows;
    if (rr->run.plan.fetches_output) {
        rr->output_path = output_name(settings.output_path, reader->serial);
        rr->run.output_path = rr->output_path.c_str();
    }
    if (refuses(rr->run.plan, reader->model)) {
        rr->skipped = true;
        rr->result = BATCH_NOT_SUPPORTED;
        rr->message = "Operation not supported on given reader.";
    }
    return rr;
}

// Two readers whose outputs would land in one file: the command is refused.
int32_t check_clashes(const Runs& runs) {
    for (size_t i = 0; i < runs.size(); ++i)
        for (size_t j = i + 1; j < runs.size(); ++j) {
            const ReaderRun& a = *runs[i];
            const ReaderRun& b = *runs[j];
            if (a.skipped || b.skipped || a.output_path.empty() || a.output_path != b.output_path)
                continue;
            diag(1, "With -a, readers %s and %s would write the same file %s\n", a.serial, b.serial,
                 a.output_path.c_str());
            return BATCH_FILE_ERROR;
        }
    return 0;
}

// Before any exchange: the -u rule that finds each reader again, then its
// link. A reader that fails either is not touched.
void prepare_reader(ReaderRun* rr) {
    diag_redirect(&rr->target);
    int32_t r = rr->run.plan.firmware_update ? firmware_identify(&rr->run) : 0;
    if (r == 0) {
        const int opened = reader_open(rr->run.reader);
        if (opened < 0) {
            diag(1, "Cannot open cfg interface: %d\n", opened);
            r = BATCH_READER_UNUSABLE;
        }
    }
    diag_redirect(nullptr);
    if (r != 0) fail(rr, r);
}

// The output file appears once the run has succeeded, else not at all.
int32_t settle_output(BatchRun* run, int32_t result) {
    if (run->output_temp.empty()) return result;
    if (result == 0 && rename(run->output_temp.c_str(), run->output_path) != 0) {
        diag(1, "Cannot write output: %s\n", strerror(errno));
        result = BATCH_FILE_ERROR;
    }
    if (result != 0) unlink(run->output_temp.c_str());
    return result;
}

void run_reader(ReaderRun* rr, std::atomic<int>* finished) {
    diag_redirect(&rr->target);
    const auto start = std::chrono::steady_clock::now();
    const int32_t r = settle_output(&rr->run, batch_run_opened(&rr->run));
    rr->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rr->result = r;
    // A run that succeeded after all (a reader that opened at a second
    // try) has no error to tell; a failed one always has words.
    if (r == 0) rr->message.clear();
    if (r != 0 && rr->message.empty()) rr->message = run_failure_words(rr->run.plan, r);
    // Publishes result and message to the rows (row_text).
    rr->run.phase.store(r == 0 ? BatchPhase::Done : BatchPhase::Failed, std::memory_order_release);
    diag_redirect(nullptr);
    history_ended(&rr->run.history, r, rr->message);
    // Only ends the redraws: the join makes everything else safe to read.
    finished->fetch_add(1, std::memory_order_relaxed);
}

// Starts every reader still to run, unless Ctrl+C came first. The count of
// threads started.
int start_readers(Runs* runs, std::atomic<int>* finished) {
    int started = 0;
    // A reader skipped says so as a run on it alone would, before any other
    // reader has anything to say.
    for (auto& rr : *runs)
        if (rr->skipped && diag_verbosity >= 1)
            batch_rows_message(rr->rows, rr->serial, (rr->message + "\n").c_str());
    for (auto& rr : *runs) {
        if (rr->skipped || rr->result != 0) continue;
        if (quit_requested.load() != 0) {
            rr->message = "Interrupted";
            fail(rr.get(), BATCH_INTERRUPTED);
            continue;
        }
        try {
            rr->thread = std::thread(run_reader, rr.get(), finished);
            ++started;
        } catch (const std::system_error& e) {
            rr->message = std::string("Cannot create thread: ") + e.code().message();
            fail(rr.get(), BATCH_READER_LOST);
        }
    }
    return started;
}

// What a row shows of each phase, in BatchPhase's order; characters rather
// than pointers, so that the table stays read-only.
constexpr char PHASE_TEXTS[][11] = {"waiting",    "switching", "sending", "fetching", "working",
                                    "restarting", "module",    "done",    "FAILED"};
static_assert(std::size(PHASE_TEXTS) == static_cast<size_t>(BatchPhase::Failed) + 1);

const char* phase_text(BatchPhase phase) {
    return PHASE_TEXTS[static_cast<size_t>(phase)];
}

// How far the phase has come, as its own percentage: the transfer fills
// the bar up to the plan's end, the module update from 50 to 100.
int phase_percent(const BatchRun& run, BatchPhase phase) {
    const int32_t shown = run.shown.load(std::memory_order_relaxed);
    if (phase == BatchPhase::Module) return std::clamp((shown - 50) * 2, 0, 100);
    return std::clamp(shown * 100 / std::max(run.plan.progress_to, 1), 0, 100);
}

std::string row_text(const ReaderRun& rr, bool percent) {
    // Acquire: a Failed phase makes the result and message it follows
    // visible.
    const BatchPhase phase = rr.run.phase.load(std::memory_order_acquire);
    std::string state = rr.skipped ? "skipped" : phase_text(phase);
    if (phase == BatchPhase::Failed)
        state += " (" + std::to_string(exit_status(rr.result)) + ", " + rr.message + ")";
    const bool moving = phase == BatchPhase::Sending || phase == BatchPhase::Fetching ||
                        phase == BatchPhase::Working || phase == BatchPhase::Module;
    if (percent && moving) state += " " + std::to_string(phase_percent(rr.run, phase)) + "%";
    char head[READER_SERIAL_SIZE + ROW_TAG_WIDTH + 8];
    std::snprintf(head, sizeof head, "%-*s %-*s ", ROW_SERIAL_WIDTH, rr.serial, ROW_TAG_WIDTH,
                  rr.tag);
    return head + state;
}

void show_rows(BatchRows* rows, const Runs& runs, bool percent) {
    for (size_t i = 0; i < runs.size(); ++i)
        batch_rows_set(rows, static_cast<int>(i), row_text(*runs[i], percent));
}

const char* outcome_text(Outcome outcome) {
    return outcome == Outcome::Ok ? "ok" : outcome == Outcome::Failed ? "failed" : "skipped";
}

int32_t write_summary(const Runs& runs) {
    errno = 0;
    std::fputs("serial\tresult\tstatus\tseconds\tmessage\n", stdout);
    for (const auto& rr : runs)
        std::printf("%s\t%s\t%d\t%.1f\t%s\n", rr->serial, outcome_text(outcome_of(*rr)),
                    exit_status(rr->result), rr->seconds, rr->message.c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        diag(1, "Cannot write output: %s\n", strerror(errno != 0 ? errno : EIO));
        return BATCH_FILE_ERROR;
    }
    return 0;
}

// 0 when every reader not skipped succeeded, else the first failure in
// list order; 6 when every reader was skipped.
int32_t overall_result(const Runs& runs) {
    bool any = false;
    for (const auto& rr : runs) {
        if (rr->skipped) continue;
        if (rr->result != 0) return rr->result;
        any = true;
    }
    return any ? 0 : BATCH_NOT_SUPPORTED;
}

// Runs the prepared readers side by side and shows them until all ended.
void run_side_by_side(Runs* runs, const ToolSettings& settings, BatchRows* rows) {
    std::atomic<int> finished{0};
    quit_requested = 0;
    signals_watch(SignalWatch::batch); // a second Ctrl+C ends the program
    const int started = start_readers(runs, &finished);
    while (finished.load(std::memory_order_relaxed) < started) {
        show_rows(rows, *runs, settings.show_progress != 0);
        pause_ms(ROWS_REDRAW_MS);
    }
    for (auto& rr : *runs)
        if (rr->thread.joinable()) rr->thread.join();
    signals_watch(SignalWatch::none);
    show_rows(rows, *runs, settings.show_progress != 0);
}

// Checks that need no reader: fetched data needs a file per reader.
int32_t check_settings(const ToolSettings& settings) {
    const BatchPlan plan = batch_plan(settings.operations, settings.raw_function);
    if (plan.fetches_output &&
        (!settings.has_output_path || std::strstr(settings.output_path, "%s") == nullptr)) {
        diag(1, "%s", "With -a, -o needs %s for the serial number\n");
        return BATCH_FILE_ERROR;
    }
    return 0;
}

} // namespace

int32_t batch_run_all(const ToolSettings& settings, const char* serials) {
    int32_t r = check_settings(settings);
    if (r != 0) return r;
    if (readers_enumerate() == 0) {
        diag(1, "No configurable readers found\n");
        return BATCH_NO_READER;
    }
    std::vector<Reader*> chosen;
    if ((r = select_readers(serials, &chosen)) != 0) return r;
    BatchRows rows;
    Runs runs;
    for (Reader* reader : chosen)
        runs.push_back(make_run(settings, reader, &rows));
    if ((r = check_clashes(runs)) != 0) return r;
    // The input is read once, before any reader is touched, and shared.
    BatchSpace input;
    int32_t input_len = 0;
    bool any = false;
    for (const auto& rr : runs)
        any = any || (!rr->skipped && rr->result == 0);
    const bool reads = any && runs.front()->run.plan.sends_input;
    if (reads && (r = batch_read_input(settings, &input, &input_len)) != 0) return r;
    for (auto& rr : runs) {
        rr->run.input = input.bytes;
        rr->run.input_len = input_len;
        rr->run.input_ready = true;
    }
    History history;
    history_open(&history, settings);
    for (auto& rr : runs) {
        rr->run.history.history = &history;
        if (!rr->skipped) prepare_reader(rr.get());
    }
    batch_rows_start(&rows, static_cast<int>(runs.size()));
    run_side_by_side(&runs, settings, &rows);
    r = write_summary(runs);
    return r != 0 ? r : overall_result(runs);
}
