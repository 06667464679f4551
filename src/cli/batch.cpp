// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/diag.h"
#include "base/pause.h"
#include "cli/firmware_update.h"
#include "cli/module_check.h"
#include "cli/terminal.h"
#include "cli/tool_settings.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"

namespace {

constexpr int CUSTOM_CONFIG_PAUSE_MS = 1000;

// A zeroed BATCH_BUFFER_SIZE buffer made once and kept for the rest of the
// process; nullptr when there is no memory for it.
uint8_t* kept_buffer(std::unique_ptr<uint8_t[]>* buffer) {
    if (!*buffer) buffer->reset(new (std::nothrow) uint8_t[BATCH_BUFFER_SIZE]);
    if (*buffer) std::memset(buffer->get(), 0, BATCH_BUFFER_SIZE);
    return buffer->get();
}

uint8_t* data_buffer() {
    static std::unique_ptr<uint8_t[]> buffer;
    return kept_buffer(&buffer);
}

// The reader's output never lands on an input that is still needed: the
// module check sends the image again after the transfer.
uint8_t* output_buffer() {
    static std::unique_ptr<uint8_t[]> buffer;
    return kept_buffer(&buffer);
}

bool sends_input(const ToolSettings& s) {
    return s.update_firmware || s.update_service_firmware || s.send_config ||
           s.send_custom_config || s.module_check || s.raw_function != 0;
}

bool fetches_output(const ToolSettings& s) {
    return s.get_config || s.get_log || s.raw_function != 0;
}

// Standard output carries the fetched data, so it must hold nothing else.
bool data_on_stdout(const ToolSettings& s) {
    return fetches_output(s) && !s.has_output_path;
}

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

Reader* select_reader(int32_t index, const char* serial) {
    Reader* r = tool_settings.select_by_index ? reader_by_index(index) : reader_first();
    if (tool_settings.select_by_serial) r = reader_by_serial(serial);
    return r;
}

bool permitted(const ReaderModel* model) {
    const ToolSettings& s = tool_settings;
    return !((s.update_firmware && !model->can_update_firmware) ||
             (s.update_service_firmware && !model->can_update_service_firmware) ||
             (s.get_config && !model->can_get_config));
}

int32_t read_input(BatchRun* run) {
    FILE* in = stdin;
    if (tool_settings.has_input_path) {
        in = fopen(tool_settings.input_path, "rb");
        if (in == nullptr) {
            diag(1, "Cannot open %s for reading: %s\n", tool_settings.input_path, strerror(errno));
            return BATCH_FILE_ERROR;
        }
    }
    size_t total = 0;
    while (total < static_cast<size_t>(BATCH_BUFFER_SIZE)) {
        const size_t n = fread(run->data + total, 1, BATCH_BUFFER_SIZE - total, in);
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
    run->input_len = static_cast<int32_t>(total);
    return 0;
}

// An output file the run opened, closed on every way out that does not
// hand it to write_output; standard output is left as it is.
struct OutputCloser {
    void operator()(FILE* f) const {
        if (f != stdout) fclose(f);
    }
};
using OutputFile = std::unique_ptr<FILE, OutputCloser>;

int32_t open_output(OutputFile* out) {
    if (!tool_settings.has_output_path) {
        out->reset(stdout);
        return 0;
    }
    FILE* f = fopen(tool_settings.output_path, "wb");
    if (f == nullptr) {
        diag(1, "Cannot open %s for writing: %s\n", tool_settings.output_path, strerror(errno));
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

// The reader function that carries the operation's data.
uint16_t function_code(const ToolSettings& s) {
    if (s.set_protocol) return FN_SET_CONFIG;
    if (s.raw_function != 0) return static_cast<uint16_t>(s.raw_function);
    if (s.send_custom_config) return FN_SET_CUSTOM_CONFIG;
    if (s.get_log) return FN_GET_LOG;
    if (s.reset_defaults) return FN_SET_DEFAULTS;
    if (s.get_config) return FN_GET_CONFIG;
    if (s.send_config) return FN_SET_CONFIG;
    if (s.update_service_firmware) return FN_UPDATE_SERVICE_FIRMWARE;
    if (s.update_firmware) return FN_UPDATE_FIRMWARE;
    return 0;
}

// -p sends its assignment in place of any input.
void set_protocol_input(BatchRun* run) {
    const int n = snprintf(reinterpret_cast<char*>(run->data), BATCH_BUFFER_SIZE,
                           "READERPROTOCOL=%d", tool_settings.protocol);
    run->input_len = n + 1;
}

// The reader needs a moment before it takes a custom configuration.
void pause_for_custom_config() {
    if (tool_settings.send_custom_config) pause_ms(CUSTOM_CONFIG_PAUSE_MS);
}

// The one exchange that carries the data, with the progress bar around it.
int32_t transfer(BatchRun* run, uint16_t function) {
    Reader* reader = run->reader;
    run->shown = 0;
    if (tool_settings.show_progress) {
        reader->progress = &run->shown;
        reader->progress_from = 0;
        reader->progress_to = tool_settings.update_firmware ? 50 : 100;
        progress_start(&run->shown, run->bar);
    }
    const int32_t result =
        reader_ctl(reader, function, run->input_len, run->data, &run->output_len, run->output);
    if (tool_settings.show_progress) {
        progress_stop(&run->shown);
        reader->progress = nullptr;
    }
    return result;
}

// Shared ending: line end after the bar, -k reset whatever the result, close.
int32_t finish(BatchRun* run, int32_t result) {
    if (tool_settings.show_progress && !(run->bar == stdout && run->stdout_closed)) {
        fputc('\n', run->bar);
        fflush(run->bar);
    }
    if (tool_settings.reset_after) reader_reset(run->reader);
    reader_close(run->reader);
    return result;
}

// Enumerates, selects and opens the reader; for -u also settles how it is
// found again after its restarts, before anything is sent to it.
int32_t select_and_open(BatchRun* run, int32_t index, const char* serial, int* count) {
    *count = readers_enumerate();
    if (*count == 0) {
        diag(1, "No configurable readers found\n");
        return BATCH_NO_READER;
    }
    if (tool_settings.list_readers) return 0;
    run->reader = select_reader(index, serial);
    if (run->reader == nullptr) {
        diag(1, "Reader could not be selected\n");
        return BATCH_NO_READER;
    }
    const int opened = reader_open(run->reader);
    if (opened < 0) {
        diag(1, "Cannot open cfg interface: %d\n", opened);
        return BATCH_READER_UNUSABLE;
    }
    if (tool_settings.update_firmware) return firmware_identify(run);
    return 0;
}

// Buffers and input. -u reads and checks its image before the reader is
// switched to its service firmware, so a bad file leaves the reader as it
// was; the other operations read theirs once the reader is known to allow
// the operation.
int32_t prepare_input(BatchRun* run, bool early) {
    const ToolSettings& s = tool_settings;
    if (early != (s.update_firmware != 0)) return 0;
    run->data = data_buffer();
    // The module check makes no transfer, so it needs no room for output.
    run->output = sends_input(s) && !s.module_check ? output_buffer() : run->data;
    if (run->data == nullptr || run->output == nullptr) {
        diag(1, "Cannot allocate buffer: %s\n", strerror(ENOMEM));
        return BATCH_FILE_ERROR;
    }
    return sends_input(s) ? read_input(run) : 0;
}

// Writes what the reader returned, when it returned anything and the
// operation keeps it.
int32_t keep_output(BatchRun* run, OutputFile* out, int32_t result) {
    if (run->output_len <= 0 || result < 0 || out->get() == nullptr) return result;
    run->stdout_closed = out->get() == stdout;
    const int32_t w = write_output(out->release(), run->output, run->output_len);
    return w != 0 ? w : result;
}

} // namespace

int32_t batch_run(int32_t reader_index, const char* reader_serial) {
    const ToolSettings& s = tool_settings;
    BatchRun run;
    run.bar = data_on_stdout(s) ? stderr : stdout;
    int count = 0;
    int32_t r = select_and_open(&run, reader_index, reader_serial, &count);
    if (r != 0) return r;
    if (s.list_readers) return list_readers(count);
    if ((r = prepare_input(&run, true)) != 0) return r;
    if (s.update_firmware && !run.reader->model->can_update_firmware) {
        if ((r = firmware_switch_phase(&run)) != 0) return r;
    }
    if (!permitted(run.reader->model)) {
        diag(1, "Operation not supported on given reader.\n");
        return BATCH_NOT_SUPPORTED;
    }
    if ((r = prepare_input(&run, false)) != 0) return r;
    OutputFile out;
    if (fetches_output(s) && (r = open_output(&out)) != 0) return r;
    const uint16_t function = function_code(s);
    if (s.set_protocol) set_protocol_input(&run);
    pause_for_custom_config();
    if (s.module_check) return finish(&run, module_check_run(&run));

    int32_t result = keep_output(&run, &out, transfer(&run, function));
    if (s.update_firmware) {
        // The reader goes back to its normal firmware whatever the transfer
        // gave, but a refused or broken transfer stays the run's result.
        if ((r = firmware_restart_phase(&run)) != 0) return r;
        const int32_t module = module_check_run(&run);
        result = result != 0 ? result : module;
    }
    return finish(&run, result);
}
