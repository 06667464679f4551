// SPDX-License-Identifier: GPL-2.0-or-later
// What wakes the card test console: a worker that changed what a row
// shows, a diagnostic written over the screen, a signal. The console
// sleeps until then (or a time-out) instead of redrawing on a clock.
#pragma once

inline constexpr int WAKE_FALLBACK_MS = 20;

// Makes the wake-up channel (an eventfd). 0, or SYSTEM_FAILED with errno when it
// cannot be made: every wait then ends within WAKE_FALLBACK_MS, as a redraw
// clock. Console thread, before the workers start.
int console_wake_open();

// Closes the channel. Console thread, after every worker ended.
void console_wake_close();

// Wakes the console, or has its next wait return at once; many calls before
// that wake it once. Any thread, also a signal handler: async-signal-safe.
void console_wake();

// Waits until console_wake was called since the last return, or timeout_ms
// passed (at once for 0 or less). 1 when woken (always, without a channel),
// 0 on time-out. Console thread.
int console_wake_wait(int timeout_ms);
