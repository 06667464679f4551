// SPDX-License-Identifier: GPL-2.0-or-later
// The terminal while the card test screen is up: no echo of typed keys,
// the settings given back also when a signal ends the program, and the
// signals that end card test mode or the program kept away from the
// worker threads.
#pragma once

#include <signal.h>
#include <termios.h>

struct TerminalGuard {
    termios saved;     // the settings before
    bool echo_stopped; // whether saved is to be put back
};

// Stops the echo of a terminal on standard input when this process is in
// its foreground, and restores the settings when SIGTERM, SIGHUP or SIGQUIT
// ends the program. 0, also when there is nothing to guard. Main thread.
int terminal_guard_on(TerminalGuard* guard);

// Puts the settings back and gives the ending signals their default
// action again. 0. Main thread, after terminal_guard_on.
int terminal_guard_off(TerminalGuard* guard);

// Blocks on the calling thread SIGINT, SIGTERM, SIGHUP, SIGQUIT and
// SIGWINCH, keeping the mask before in *before; threads started meanwhile
// inherit it. 0, or the pthread_sigmask error.
int terminal_guard_block_signals(sigset_t* before);

// Sets the calling thread's mask back to *before. 0, or the error.
int terminal_guard_restore_signals(const sigset_t* before);
