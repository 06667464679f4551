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
// Control characters in the message (a reader's text in a trace) are shown
// as '?', line ends excepted. Message texts are matched by users' scripts:
// they stay exactly as they are, misspellings included ("occured",
// "attepts"), and must not be corrected.
void diag(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Where one thread's messages go in place of standard error: take gets each
// message (terminal-safe, as written) of a level up to max(verbosity, 1),
// so that the first error is known even when it is not shown.
struct DiagTarget {
    void (*take)(void* context, int level, const char* text) = nullptr;
    void* context = nullptr;
};
// Sends the calling thread's messages to target; nullptr: standard error.
void diag_redirect(const DiagTarget* target);
// Writes text to standard error as one piece, counted in diag_written.
void diag_write(const char* text);
