// ANSI terminal control and the one-line progress bar of batch operations.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int PROGRESS_CELLS = 60;
inline constexpr int PROGRESS_REDRAW_MS = 100;

// ESC[2J ESC[0;0H on standard output: erase the screen, cursor home. No flush.
void term_clear();
// ESC[row+1;column+1H on standard output (both counted from 0).
void term_goto(int16_t column, int16_t row);

// "\r%3d%%[" then 60 cells ('=' while value*60/100 > cell) and "]", flushed.
void progress_draw(int32_t value);
// Starts the thread that redraws the bar every 100 ms while *shown < 100.
// 0, or -1 when the thread cannot be started.
int progress_start(std::atomic<int32_t>* shown);
// Stops and joins the thread, then draws *shown once more. 0.
int progress_stop(std::atomic<int32_t>* shown);
