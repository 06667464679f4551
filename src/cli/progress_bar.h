// SPDX-License-Identifier: GPL-2.0-or-later
// The one-line progress bar of batch operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

inline constexpr int PROGRESS_CELLS = 60;
inline constexpr int PROGRESS_REDRAW_MS = 100;

// One bar being drawn: the thread that redraws it and what it draws. The
// starting thread writes everything before the redrawing thread starts and
// joins it before it writes again; between the two it writes only stop,
// which the redrawing thread reads (atomic). *shown is the transfer's.
struct ProgressBar {
    std::thread thread;
    std::atomic<bool> stop{false};
    const std::atomic<int32_t>* shown = nullptr;
    FILE* out = stdout;
};

// "\r%3d%%[" then 60 cells ('=' while value*60/100 > cell) and "]" on out,
// flushed.
void progress_draw(int32_t value, FILE* out = stdout);
// Starts the thread that redraws *shown on out every 100 ms while it is
// below 100. 0, or SYSTEM_FAILED when the thread cannot be started.
int progress_start(ProgressBar* bar, const std::atomic<int32_t>* shown, FILE* out);
// Stops and joins the thread, then draws *shown once more on the same
// stream. Does nothing for a bar that was not started.
void progress_stop(ProgressBar* bar);
