// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "cardtest/card_record.h"
#include "cardtest/card_test_console.h"
#include "cardtest/card_test_table.h"
#include "cli/batch.h"
#include "cli/batch_all.h"
#include "cli/exit_status.h"
#include "cli/inventory.h"
#include "cli/tool_settings.h"
#include "console/main_menu.h"
#include "discovery/reader_list.h"

namespace {

// A standard stream that was closed when the program started would be
// reused by the first descriptor the USB library opens, and the program
// would then read or write USB wake-ups as its own data. Each closed one is
// held by /dev/null opened the other way round, so that reading standard
// input or writing standard output still fails as on a closed descriptor.
void hold_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

// A batch run whose output goes into a pipe that the reading end closed
// early (brinlet -g | head -c 10) would be killed by SIGPIPE without a word,
// before it can tell that the data did not arrive. Ignored, the write fails
// with EPIPE and the run ends as every failed write does: status 2.
void fail_writes_to_closed_pipes() {
    signal(SIGPIPE, SIG_IGN);
}

// Card test mode, with its bench record when -o names a file. The record
// cannot be opened: status 2 before the screen starts. A write to it
// failed: the test ran on, and status 2 at its end.
int32_t run_card_test(const ToolSettings& settings) {
    CardTestSession session;
    if (!settings.has_output_path) return card_test_run(&session);
    if (card_record_open(&session.record, settings.output_path) != 0) {
        diag(1, "Cannot open %s for writing: %s\n", settings.output_path, strerror(errno));
        return BATCH_FILE_ERROR;
    }
    card_test_run(&session);
    if (card_record_close(&session.record) == 0) return 0;
    diag(1, "Cannot write output: %s\n", strerror(errno));
    return BATCH_FILE_ERROR;
}

} // namespace

int tool_main(int argc, char** argv) {
    ToolSettings settings;
    ReaderChoice choice;
    settings_parse(argc, argv, &settings, &choice);
    diag_verbosity = settings.verbosity;
    if (settings.show_help) {
        settings_print_usage(argc > 0 ? argv[0] : "brinlet");
        return 1;
    }
    hold_closed_standard_streams();
    readers_init();
    int32_t result = 0;
    if (settings.test_mode) {
        result = run_card_test(settings);
    } else if (settings.operation != nullptr) {
        fail_writes_to_closed_pipes();
        const char* serials = settings.select_by_serial ? choice.serial : nullptr;
        if (settings.all_readers == 0)
            result = batch_run(settings, choice);
        else if (settings.operation->lists)
            result = inventory_run(settings, serials);
        else
            result = batch_run_all(settings, serials);
    } else {
        main_menu();
    }
    if (result != 0) {
        diag(2, "Error occured, sleeping\n");
        pause_ms(ERROR_PAUSE_MS);
    }
    readers_exit();
    return exit_status(result);
}
