// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/terminal.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "base/diag.h"

namespace {
std::thread progress_thread;
std::atomic<bool> progress_stop_flag{false};
FILE* progress_out = stdout; // set before the thread starts, read by it

void progress_loop(std::atomic<int32_t>* shown) {
    while (shown->load() <= 99 && !progress_stop_flag.load()) {
        progress_draw(shown->load(), progress_out);
        std::this_thread::sleep_for(std::chrono::milliseconds(PROGRESS_REDRAW_MS));
    }
}
} // namespace

void progress_draw(int32_t value, FILE* out) {
    char cells[PROGRESS_CELLS + 1];
    const int64_t filled = int64_t{value} * PROGRESS_CELLS / 100;
    for (int i = 0; i < PROGRESS_CELLS; ++i)
        cells[i] = filled > i ? '=' : '-';
    cells[PROGRESS_CELLS] = '\0';
    fputc('\r', out);
    fflush(out);
    fprintf(out, "%3d%%[%s]", value, cells);
    fflush(out);
}

int progress_start(std::atomic<int32_t>* shown, FILE* out) {
    progress_stop_flag = false;
    progress_out = out;
    // std::thread reports a failure to start by throwing; a thread that
    // cannot be made only costs the redraws.
    try {
        progress_thread = std::thread(progress_loop, shown);
    } catch (const std::system_error& e) {
        diag(1, "Cannot create thread: %s", e.code().message().c_str());
        return -1;
    }
    return 0;
}

int progress_stop(std::atomic<int32_t>* shown) {
    progress_stop_flag = true;
    if (progress_thread.joinable()) progress_thread.join();
    progress_draw(shown->load(), progress_out);
    return 0;
}
