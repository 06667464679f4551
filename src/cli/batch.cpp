// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "cli/batch_run.h"
#include "cli/firmware_update.h"
#include "cli/history.h"
#include "cli/module_check.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"

namespace {

// The listing is the output of -l: losing it is a failed run.
int32_t list_readers(int count) {
    errno = 0;
    for (int i = 0; i < count; ++i) {
        const Reader* r = reader_by_index(i);
        printf("%d \"%s\" \"%s\"\n", i, r->model->description, r->serial);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        diag(1, "Cannot write output: %s\n", strerror(errno != 0 ? errno : EIO));
        return BATCH_FILE_ERROR;
    }
    return 0;
}

Reader* select_reader(const ToolSettings& settings, const ReaderChoice& choice) {
    Reader* r = settings.select_by_index ? reader_by_index(choice.index) : reader_first();
    if (settings.select_by_serial) r = reader_by_serial(choice.serial);
    return r;
}

// An output file the run opened, closed on every way out that does not
// hand it to write_output; standard output is left as it is.
struct OutputCloser {
    void operator()(FILE* f) const {
        if (f != stdout) fclose(f);
    }
};
using OutputFile = std::unique_ptr<FILE, OutputCloser>;

// A run that must leave its file whole or not at all writes it beside,
// under a name of its own, until the run has succeeded. The file is made
// as fopen would make the output itself (0666 less the umask).
FILE* open_beside(BatchRun* run) {
    run->output_temp = std::string(run->output_path) + "." + std::to_string(getpid()) + ".part";
    const int fd = open(run->output_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        run->output_temp.clear();
        return nullptr;
    }
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) close(fd);
    return f;
}

int32_t open_output(BatchRun* run, OutputFile* out) {
    if (run->output_path == nullptr) {
        out->reset(stdout);
        return 0;
    }
    FILE* f = run->output_whole ? open_beside(run) : fopen(run->output_path, "wb");
    if (f == nullptr) {
        diag(1, "Cannot open %s for writing: %s\n", run->output_path, strerror(errno));
        return BATCH_FILE_ERROR;
    }
    out->reset(f);
    return 0;
}

// Writes the fetched data and closes the stream. A short write or a failed
// close loses data, so it fails the run.
int32_t write_output(FILE* out, const uint8_t* data, int32_t length) {
    const size_t written = fwrite(data, 1, static_cast<size_t>(length), out);
    int write_errno = written == static_cast<size_t>(length) ? 0 : errno;
    if (fclose(out) != 0 && write_errno == 0) write_errno = errno;
    if (write_errno != 0 || written != static_cast<size_t>(length)) {
        diag(1, "Cannot write output: %s\n", strerror(write_errno != 0 ? write_errno : EIO));
        return BATCH_FILE_ERROR;
    }
    return 0;
}

// The one exchange that carries the data, with the progress bar around it.
int32_t transfer(BatchRun* run) {
    run->shown = 0;
    const ProgressSink progress{&run->shown, 0, run->plan.progress_to};
    if (run->draw_bar) progress_start(&run->bar_thread, &run->shown, run->bar);
    const int32_t result = reader_ctl(run->reader, run->plan.function, run->input_len, run->input,
                                      &run->output_len, run->output.bytes, &progress);
    progress_stop(&run->bar_thread);
    return result;
}

// Shared ending: line end after the bar, -k reset whatever the result, close.
int32_t finish(BatchRun* run, int32_t result) {
    if (run->draw_bar && !(run->bar == stdout && run->stdout_closed)) {
        fputc('\n', run->bar);
        fflush(run->bar);
    }
    if (run->settings->reset_after) reader_reset(run->reader);
    reader_close(run->reader);
    return result;
}

// Buffers and input. -u reads and checks its image before the reader is
// switched to its service firmware, so a bad file leaves the reader as it
// was; the other operations read theirs once the reader is known to allow
// the operation. An input read before the run is used as it is.
int32_t prepare_input(BatchRun* run, bool early) {
    const BatchPlan& plan = run->plan;
    if (early != plan.firmware_update) return 0;
    // The module check makes no transfer, so it needs no room for output.
    if (!plan.operation->module_check && batch_space_make(&run->output) != 0) {
        diag(1, "Cannot allocate buffer: %s\n", strerror(ENOMEM));
        return BATCH_FILE_ERROR;
    }
    if (!plan.sends_input || run->input_ready) return 0;
    const int32_t r = batch_read_input(*run->settings, &run->input_space, &run->input_len);
    run->input = run->input_space.bytes;
    return r;
}

// -p sends its assignment in place of any input.
void use_protocol_input(BatchRun* run) {
    const int n = snprintf(reinterpret_cast<char*>(run->assignment), sizeof run->assignment,
                           "READERPROTOCOL=%d", run->settings->protocol);
    run->input = run->assignment;
    run->input_len = n + 1;
}

// Writes what the reader returned, when it returned anything and the
// operation keeps it.
int32_t keep_output(BatchRun* run, OutputFile* out, int32_t result) {
    if (run->output_len <= 0 || result < 0 || out->get() == nullptr) return result;
    run->stdout_closed = out->get() == stdout;
    const int32_t w = write_output(out->release(), run->output.bytes, run->output_len);
    return w != 0 ? w : result;
}

BatchPhase transfer_phase(const BatchPlan& plan) {
    if (plan.sends_input || plan.protocol_input) return BatchPhase::Sending;
    return plan.fetches_output ? BatchPhase::Fetching : BatchPhase::Working;
}

// The history's started line of the run, with its reader and input now.
void history_start(BatchRun* run) {
    history_started(&run->history, *run->reader, run->plan, *run->settings, run->input,
                    run->input_len);
}

// Keeps a single run's first error for its history and shows what the
// verbosity asks for, as it would be shown without.
void keep_first(void* context, int level, const char* text) {
    auto* first = static_cast<std::string*>(context);
    if (level <= 1 && first->empty()) *first = text;
    if (diag_verbosity >= level) diag_write(text);
}

// Runs the opened reader's run with its history: its first error kept for
// the history as -a keeps it, its output as it would be without.
int32_t run_with_history(BatchRun* run) {
    History history;
    history_open(&history, *run->settings);
    run->history.history = &history;
    std::string first;
    const DiagTarget target{keep_first, &first};
    if (history.fd >= 0) diag_redirect(&target);
    const int32_t result = batch_run_opened(run);
    diag_redirect(nullptr);
    if (result != 0 && first.empty()) first = run_failure_words(run->plan, result);
    history_ended(&run->history, result, result != 0 ? first : "");
    run->history.history = nullptr;
    return result;
}

} // namespace

int32_t batch_read_input(const ToolSettings& settings, BatchSpace* space, int32_t* length) {
    if (batch_space_make(space) != 0) {
        diag(1, "Cannot allocate buffer: %s\n", strerror(ENOMEM));
        return BATCH_FILE_ERROR;
    }
    FILE* in = stdin;
    if (settings.has_input_path) {
        in = fopen(settings.input_path, "rb");
        if (in == nullptr) {
            diag(1, "Cannot open %s for reading: %s\n", settings.input_path, strerror(errno));
            return BATCH_FILE_ERROR;
        }
    }
    size_t total = 0;
    while (total < static_cast<size_t>(BATCH_BUFFER_SIZE)) {
        const size_t n = fread(space->bytes + total, 1, BATCH_BUFFER_SIZE - total, in);
        total += n;
        if (n == 0) break;
    }
    const bool failed = ferror(in) != 0;
    const int read_errno = errno;
    fclose(in);
    if (failed) {
        diag(1, "Cannot read file: %s\n", strerror(read_errno));
        return BATCH_FILE_ERROR;
    }
    if (total >= static_cast<size_t>(BATCH_BUFFER_SIZE)) {
        diag(1, "Input file too large, maximum is: %d\n", BATCH_BUFFER_SIZE);
        return BATCH_INPUT_TOO_LARGE;
    }
    *length = static_cast<int32_t>(total);
    return 0;
}

int32_t batch_run_opened(BatchRun* run) {
    const BatchPlan& plan = run->plan;
    int32_t r = prepare_input(run, true);
    if (r != 0) return r;
    // The history's started line comes once the input is known, before the
    // first exchange: -u reads its image before the switch.
    if (plan.firmware_update) history_start(run);
    if (plan.firmware_update && !run->reader->model->can_update_firmware) {
        run->phase = BatchPhase::Switching;
        if ((r = firmware_switch_phase(run)) != 0) return r;
    }
    if (!batch_permitted(plan, run->reader->model)) {
        diag(1, "Operation not supported on given reader.\n");
        return BATCH_NOT_SUPPORTED;
    }
    if ((r = prepare_input(run, false)) != 0) return r;
    OutputFile out;
    if (plan.fetches_output && (r = open_output(run, &out)) != 0) return r;
    history_start(run);
    if (plan.protocol_input) use_protocol_input(run);
    pause_ms(plan.pause_before_ms);
    if (plan.operation->module_check) return finish(run, module_check_run(run));

    run->phase = transfer_phase(plan);
    int32_t result = keep_output(run, &out, transfer(run));
    if (plan.firmware_update) {
        // The reader goes back to its normal firmware whatever the transfer
        // gave, but a refused or broken transfer stays the run's result.
        run->phase = BatchPhase::Restarting;
        if ((r = firmware_restart_phase(run)) != 0) return r;
        const int32_t module = module_check_run(run);
        result = result != 0 ? result : module;
    }
    return finish(run, result);
}

int32_t batch_run(const ToolSettings& settings, const ReaderChoice& choice) {
    BatchRun run;
    batch_run_init(&run, settings);
    const int count = readers_enumerate();
    if (count == 0) {
        diag(1, "No configurable readers found\n");
        return BATCH_NO_READER;
    }
    if (run.plan.operation->lists) return list_readers(count);
    run.reader = select_reader(settings, choice);
    if (run.reader == nullptr) {
        diag(1, "Reader could not be selected\n");
        return BATCH_NO_READER;
    }
    const int opened = reader_open(run.reader);
    if (opened < 0) {
        diag(1, "Cannot open cfg interface: %d\n", opened);
        return BATCH_READER_UNUSABLE;
    }
    if (run.plan.firmware_update) {
        const int32_t r = firmware_identify(&run);
        if (r != 0) return r;
    }
    return run_with_history(&run);
}
