// SPDX-License-Identifier: GPL-2.0-or-later
// -a -l: the inventory of the bench, one tab-separated line per reader
// with what it tells of itself.
#pragma once

#include <cstdint>

#include "cli/tool_settings.h"

// Asks every reader chosen (all listed, or those -s names, separated by
// commas) side by side, each opened, read and closed; nothing is written to
// any reader. Prints the header and a line per reader in list order.
// Returns 0 when every reader could be opened and asked, else the result
// of the first that could not; 4 when no reader is found (after the header)
// or a name matches none (before any reader is opened); 2 when the
// inventory cannot be written.
int32_t inventory_run(const ToolSettings& settings, const char* serials);
