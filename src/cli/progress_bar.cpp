// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/progress_bar.h"

#include <chrono>
#include <system_error>

#include "base/diag.h"
#include "base/result.h"

namespace {
void progress_loop(ProgressBar* bar) {
    while (bar->shown->load() <= 99 && !bar->stop.load()) {
        progress_draw(bar->shown->load(), bar->out);
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

int progress_start(ProgressBar* bar, const std::atomic<int32_t>* shown, FILE* out) {
    bar->stop = false;
    bar->shown = shown;
    bar->out = out;
    // std::thread reports a failure to start by throwing; a thread that
    // cannot be made only costs the redraws.
    try {
        bar->thread = std::thread(progress_loop, bar);
    } catch (const std::system_error& e) {
        diag(1, "Cannot create thread: %s", e.code().message().c_str());
        return SYSTEM_FAILED;
    }
    return 0;
}

void progress_stop(ProgressBar* bar) {
    if (bar->shown == nullptr) return;
    bar->stop = true;
    if (bar->thread.joinable()) bar->thread.join();
    progress_draw(bar->shown->load(), bar->out);
    bar->shown = nullptr;
}
