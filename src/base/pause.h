// SPDX-License-Identifier: GPL-2.0-or-later
// The one place where the program sleeps, so that a fuzzing build can make
// every protocol wait instant.
#pragma once

// Sleeps ms milliseconds (nothing for ms <= 0).
void pause_ms(int ms);
