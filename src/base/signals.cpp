// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "base/console_wake.h"
#include "base/diag.h"

// Process-wide because signal handlers set it; the work under way polls it.
std::atomic<int32_t> quit_requested{0};

namespace {

// "Received signal %d\n" with write(2) alone: stdio is not safe in a signal
// handler, so the number is formatted by hand.
void write_signal_trace(int signal_number) {
    static constexpr char PREFIX[] = "Received signal ";
    char text[sizeof PREFIX + 16];
    std::memcpy(text, PREFIX, sizeof PREFIX - 1);
    size_t n = sizeof PREFIX - 1;
    char digits[12];
    int count = 0;
    unsigned value = signal_number < 0 ? 0u : static_cast<unsigned>(signal_number);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < static_cast<int>(sizeof digits));
    while (count > 0)
        text[n++] = digits[--count];
    text[n++] = '\n';
    const ssize_t written = write(STDERR_FILENO, text, n);
    (void)written;
}

void on_card_test_interrupt(int signal_number) {
    if (diag_verbosity >= 2) write_signal_trace(signal_number);
    quit_requested.store(1);
    console_wake();
}

// A new terminal size is repaired at once.
void on_resize(int) {
    console_wake();
}

void on_batch_interrupt(int) {
    quit_requested.store(1);
}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | flags;
    sigaction(signal_number, &action, nullptr);
}

} // namespace

void signals_watch(SignalWatch watch) {
    const bool batch = watch == SignalWatch::batch;
    const bool card_test = watch == SignalWatch::card_test;
    install(SIGINT,
            batch       ? on_batch_interrupt
            : card_test ? on_card_test_interrupt
                        : SIG_DFL,
            batch ? static_cast<int>(SA_RESETHAND) : 0);
    if (!batch) install(SIGWINCH, card_test ? on_resize : SIG_DFL, 0);
}
