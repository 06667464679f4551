// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch_all.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/diag.h"
#include "base/pause.h"
#include "base/quit.h"
#include "cli/batch.h"
#include "cli/batch_rows.h"
#include "cli/entry.h"
#include "cli/firmware_update.h"
#include "cli/reader_selection.h"
#include "link/reader_link.h"

namespace {

constexpr int ROWS_REDRAW_MS = 100;
constexpr int ROW_SERIAL_WIDTH = 16;
constexpr int ROW_TAG_WIDTH = 12;

enum class Outcome : uint8_t { Ok, Failed, Skipped };

// One selected reader: its run, and what the summary says of it.
struct ReaderRun {
    BatchRun run;
    char serial[READER_SERIAL_SIZE] = {};
    const char* tag = "";
    std::string output_path;
    bool skipped = false; // not touched: the model refuses the operation
    int32_t result = 0;
    double seconds = 0;
    std::string message; // the first error, as -v shows it
    std::thread thread;
    DiagTarget target;
    BatchRows* rows = nullptr;
};
using Runs = std::vector<std::unique_ptr<ReaderRun>>;

void on_interrupt(int) {
    quit_requested.store(1);
}

// The second Ctrl+C finds the default action back: the program ends.
void watch_interrupts(bool on) {
    struct sigaction action = {};
    action.sa_handler = on ? on_interrupt : SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | static_cast<int>(SA_RESETHAND);
    sigaction(SIGINT, &action, nullptr);
}

// A reader's messages: the first error is kept for the summary, and what
// the verbosity asks for is written after the reader's serial number.
void take_message(void* context, int level, const char* text) {
    auto* rr = static_cast<ReaderRun*>(context);
    if (level <= 1 && rr->message.empty()) {
        rr->message = text;
        while (!rr->message.empty() && rr->message.back() == '\n')
            rr->message.pop_back();
        for (char& c : rr->message)
            if (c == '\n') c = '?';
    }
    if (diag_verbosity >= level) batch_rows_message(rr->rows, rr->serial, text);
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
    if (r != 0 && rr->message.empty()) rr->message = run_failure_words(rr->run, r);
    rr->run.phase = r == 0 ? BatchPhase::Done : BatchPhase::Failed;
    diag_redirect(nullptr);
    history_ended(&rr->run.history, r, rr->message);
    finished->fetch_add(1);
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

const char* phase_text(BatchPhase phase) {
    switch (phase) {
    case BatchPhase::Waiting:
        return "waiting";
    case BatchPhase::Switching:
        return "switching";
    case BatchPhase::Sending:
        return "sending";
    case BatchPhase::Fetching:
        return "fetching";
    case BatchPhase::Working:
        return "working";
    case BatchPhase::Restarting:
        return "restarting";
    case BatchPhase::Module:
        return "module";
    case BatchPhase::Done:
        return "done";
    case BatchPhase::Failed:
        break;
    }
    return "FAILED";
}

// How far the phase has come, as its own percentage: the transfer fills
// the bar up to the plan's end, the module update from 50 to 100.
int phase_percent(const BatchRun& run, BatchPhase phase) {
    const int32_t shown = run.shown.load();
    if (phase == BatchPhase::Module) return std::clamp((shown - 50) * 2, 0, 100);
    return std::clamp(shown * 100 / std::max(run.plan.progress_to, 1), 0, 100);
}

std::string row_text(const ReaderRun& rr, bool percent) {
    const BatchPhase phase = rr.run.phase.load();
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
    watch_interrupts(true);
    const int started = start_readers(runs, &finished);
    while (finished.load() < started) {
        show_rows(rows, *runs, settings.show_progress != 0);
        pause_ms(ROWS_REDRAW_MS);
    }
    for (auto& rr : *runs)
        if (rr->thread.joinable()) rr->thread.join();
    watch_interrupts(false);
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
