// SPDX-License-Identifier: GPL-2.0-or-later
// -a: one batch operation on every attached reader, or on those -s names,
// each reader in a run of its own, all side by side; a summary line per
// reader on standard output at the end.
#pragma once

#include <cstdint>

#include "cli/tool_settings.h"

// Runs the settings' operation on the readers chosen. serials: -s's value,
// names separated by commas, or nullptr for every reader. Returns 0 when
// every reader run succeeded (skipped ones aside), else the result of the
// first failed reader in list order (BATCH_INTERRUPTED for a reader not
// started after Ctrl+C); BATCH_FILE_ERROR, BATCH_INPUT_TOO_LARGE,
// BATCH_NO_READER or BATCH_NOT_SUPPORTED when the command cannot run
// (before any exchange); BATCH_FILE_ERROR when the summary cannot be written.
int32_t batch_run_all(const ToolSettings& settings, const char* serials);
