// SPDX-License-Identifier: GPL-2.0-or-later
// The one-line progress bar of batch operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

inline constexpr int PROGRESS_CELLS = 60;
inline constexpr int PROGRESS_REDRAW_MS = 100;

// "\r%3d%%[" then 60 cells ('=' while value*60/100 > cell) and "]" on out,
// flushed.
void progress_draw(int32_t value, FILE* out = stdout);
// Starts the thread that redraws the bar on out every 100 ms while
// *shown < 100. 0, or -1 when the thread cannot be started.
int progress_start(std::atomic<int32_t>* shown, FILE* out = stdout);
// Stops and joins the thread, then draws *shown once more on the same
// stream. 0.
int progress_stop(std::atomic<int32_t>* shown);
