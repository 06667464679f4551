// SPDX-License-Identifier: GPL-2.0-or-later
// Program entry: options, the reader layer, one of the three modes.
#pragma once

inline constexpr int ERROR_PAUSE_MS = 4000;

// Parses the arguments, runs the chosen mode and returns the exit status.
int tool_main(int argc, char** argv);
