// SPDX-License-Identifier: GPL-2.0-or-later
// Ctrl+C and a new terminal size, for the card test console and for runs
// over many readers: each handler only sets quit_requested and wakes the
// console, and the work under way looks at them.
#pragma once

#include <cstdint>

#include "base/quit.h"

enum class SignalWatch : uint8_t {
    none,      // SIGINT and SIGWINCH take their default actions
    card_test, // every Ctrl+C: "Received signal %d\n" at verbosity 2 (write(2) alone),
               // quit_requested, console_wake; a new terminal size: console_wake
    batch,     // the first Ctrl+C sets quit_requested; its handler is then reset,
               // so that a second one ends the program
};

// Installs the handlers of watch (with SA_RESTART). Main thread.
void signals_watch(SignalWatch watch);
