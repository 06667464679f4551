// SPDX-License-Identifier: GPL-2.0-or-later
// The process's quit flag: Ctrl+C asks the work under way to end (the card
// test screen to close, a run over many readers to start no more).
#pragma once

#include <atomic>
#include <cstdint>

// Set by a SIGINT handler, cleared by whoever installs one.
extern std::atomic<int32_t> quit_requested;
static_assert(std::atomic<int32_t>::is_always_lock_free,
              "quit_requested is set in a signal handler");
