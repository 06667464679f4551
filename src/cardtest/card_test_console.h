// SPDX-License-Identifier: GPL-2.0-or-later
// The card test console: live card reads on every testable reader.
#pragma once

#include <cstdint>

struct CardTestSession;

inline constexpr int CONSOLE_ENUMERATE_MS = 2500;  // between enumerations (and whole redraws)
inline constexpr int CONSOLE_REDRAW_PAUSE_MS = 20; // at least between repairs after diagnostics
inline constexpr int CONSOLE_ANSWER_SIZE = 20;     // the final Enter: at most 19 characters read

// Takes over the terminal: starts a worker for every testable reader,
// redraws their lines when they change until Ctrl+C, then asks every
// worker to stop, lets them close their readers one by one in list order
// and waits for Enter (or the end of standard input). session is fresh or
// from an earlier run; its bench record may be open. Always 0. Main thread;
// takes the session's lock (never while sleeping or writing).
int32_t card_test_run(CardTestSession* session);
