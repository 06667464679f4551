// SPDX-License-Identifier: GPL-2.0-or-later
// The check of the card reader module's firmware (-X, and after -u).
#pragma once

#include <cstdint>

struct BatchRun;

inline constexpr int MODULE_CHECK_CAPACITY = 256;
inline constexpr int MODULE_CHECK_BUSY_PAUSE_MS = 500;
inline constexpr int MODULE_CHECK_BUSY_LIMIT_MS = 30000;

// Asks with function 1500 (busy answers retried every 500 ms for 30 s) and
// sends run's data as the module image when the answer is 0. Returns the
// module update's result, or 0 when no update was needed or possible.
int32_t module_check_run(BatchRun* run);
