// SPDX-License-Identifier: GPL-2.0-or-later
// The card test console: live card reads on every testable reader.
#pragma once

#include <cstdint>

inline constexpr int CONSOLE_ENUMERATE_MS = 2500;  // between enumerations (and whole redraws)
inline constexpr int CONSOLE_REDRAW_PAUSE_MS = 20; // at least between repairs after diagnostics
inline constexpr int CONSOLE_STOP_POLL_MS = 20;    // while waiting for a worker to close
inline constexpr int CONSOLE_ANSWER_SIZE = 20;     // the final Enter: at most 19 characters read

// Takes over the terminal: starts a worker for every testable reader,
// redraws their lines when they change until Ctrl+C, then asks every
// worker to stop, lets them close their readers one by one in list order
// and waits for Enter (or the end of standard input). Always 0. Main
// thread; takes list_lock (never while sleeping or writing).
int32_t card_test_run();

// SIGINT handler while the console runs: traces "Received signal %d\n" at
// verbosity 2 with write(2), sets quit_requested and wakes the console;
// async-signal-safe.
void card_test_on_signal(int signal_number);
