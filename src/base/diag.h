// SPDX-License-Identifier: GPL-2.0-or-later
// Diagnostics: messages to standard error, shown by verbosity level
// (errors at 1, protocol and progress traces at 2).
#pragma once

#include <atomic>
#include <cstdint>

// 0 at start, one more per -v; set once before any thread starts.
extern int32_t diag_verbosity;

// Messages written so far, counted after each is written. Whatever shares
// standard error's terminal (a full-screen display) compares it with the
// count it saw last to learn that something was written over it.
extern std::atomic<uint32_t> diag_written;

// Called after each message is written, when set: such a display learns
// of it at once instead of looking on a clock. Must not write diagnostics.
extern std::atomic<void (*)()> diag_written_hook;

// printf-style message to standard error when diag_verbosity >= level.
void diag(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
