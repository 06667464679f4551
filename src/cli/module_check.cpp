// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/module_check.h"

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "cli/batch_run.h"
#include "cli/progress_bar.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/extfw_update.h"
#include "services/reader_functions.h"

namespace {
int32_t ask_module(Reader* reader) {
    // Receives the check's output, which nothing uses.
    uint8_t check_output[MODULE_CHECK_CAPACITY];
    int32_t r = 0;
    for (int busy_ms = 0; busy_ms <= MODULE_CHECK_BUSY_LIMIT_MS;
         busy_ms += MODULE_CHECK_BUSY_PAUSE_MS) {
        int32_t capacity = MODULE_CHECK_CAPACITY;
        r = reader_ctl(reader, FN_EXTFW_CHECK, 0, nullptr, &capacity, check_output);
        if (r != RDR_BUSY) break;
        diag(2, "Busy: %d\n", r);
        pause_ms(MODULE_CHECK_BUSY_PAUSE_MS);
    }
    return r;
}
} // namespace

int32_t module_check_run(BatchRun* run) {
    Reader* reader = run->reader;
    diag(2, "Starting external reader firmware check\n");
    run->phase = BatchPhase::Module;
    // Nothing may be drawn on a standard output that the fetched data closed.
    const bool show_bar = run->draw_bar && !run->stdout_closed;
    const ProgressSink progress{&run->shown, 50, 100};
    if (show_bar) progress_start(&run->bar_thread, &run->shown, run->bar);
    int32_t result = 0;
    const int32_t answer = ask_module(reader);
    if (answer == 0) {
        diag(2, "External reader firmware update needed");
        result = reader_extfw_update(reader, run->input, static_cast<uint32_t>(run->input_len),
                                     &progress);
    } else if (answer == LINK_IO_ERROR) {
        // The reader is gone: whether its module needed the image is unknown.
        result = answer;
    } else {
        diag(2, "External reader firmware update not needed");
    }
    run->shown = 100;
    progress_stop(&run->bar_thread);
    return result;
}
