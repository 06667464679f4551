// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/terminal_guard.h"

#include <pthread.h>
#include <unistd.h>

#include <initializer_list>

namespace {

// The settings from before the echo was stopped, for a signal that ends the
// program while the screen is up: the shell gets its echo back all the
// same. Process-wide because only a signal handler reads it; written by
// the main thread before that handler is installed.
termios terminal_before;
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGQUIT};

void restore_terminal_and_end(int signal_number) {
    tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before);
    raise(signal_number); // the default action, restored by SA_RESETHAND
}

void handle_ending_signals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    for (int signal_number : ENDING_SIGNALS)
        sigaction(signal_number, &action, nullptr);
}

// Keys typed while the screen is up would be echoed where the cursor waits,
// over the drawing. The console reads no key until its final prompt (Ctrl+C
// comes as a signal), so the terminal echoes none until then. Only a
// foreground process may change its terminal without being stopped.
// Whether the settings in *saved are to be put back.
bool stop_echo(termios* saved) {
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
    if (tcgetattr(STDIN_FILENO, saved) != 0 || (saved->c_lflag & (ECHO | ECHONL)) == 0)
        return false;
    termios quiet = *saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    return tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
}

} // namespace

int terminal_guard_on(TerminalGuard* guard) {
    guard->saved = {};
    guard->echo_stopped = stop_echo(&guard->saved);
    if (!guard->echo_stopped) return 0;
    terminal_before = guard->saved;
    handle_ending_signals(restore_terminal_and_end);
    return 0;
}

int terminal_guard_off(TerminalGuard* guard) {
    if (!guard->echo_stopped) return 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &guard->saved);
    handle_ending_signals(SIG_DFL);
    guard->echo_stopped = false;
    return 0;
}

// Workers, and whatever thread the USB library starts for a Reader they
// open, never take these signals, so they always reach the console's
// thread. Otherwise the kernel may give them to any thread.
int terminal_guard_block_signals(sigset_t* before) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH})
        sigaddset(&set, signal_number);
    return pthread_sigmask(SIG_BLOCK, &set, before);
}

int terminal_guard_restore_signals(const sigset_t* before) {
    return pthread_sigmask(SIG_SETMASK, before, nullptr);
}
