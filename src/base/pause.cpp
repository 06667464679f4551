// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/pause.h"

#include <chrono>
#include <thread>

void pause_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
