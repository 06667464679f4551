// SPDX-License-Identifier: GPL-2.0-or-later
// Program entry: options, the reader layer, one of the three modes.
#pragma once

#include <cstdint>

inline constexpr int ERROR_PAUSE_MS = 4000;

// Maps a mode's result to the process exit status: the low 8 bits, except
// that a non-zero result whose low 8 bits are 0 gives 255, so that no
// failure ever exits 0.
int exit_status(int32_t result);

// Parses the arguments, runs the chosen mode and returns the exit status.
int tool_main(int argc, char** argv);
