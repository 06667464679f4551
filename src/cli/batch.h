// SPDX-License-Identifier: GPL-2.0-or-later
// The batch operations: one operation on one reader, chosen by the command
// line, ending with a result that becomes the exit status.
#pragma once

#include <cstdint>

#include "cli/tool_settings.h"

struct BatchRun;
struct BatchSpace;

// Reads the input (-i or standard input) into space. 0; BATCH_FILE_ERROR
// when it cannot be read or there is no memory for it; BATCH_INPUT_TOO_LARGE.
int32_t batch_read_input(const ToolSettings& settings, BatchSpace* space, int32_t* length);

// Runs the operation on run->reader, which the caller opened (and, for -u,
// identified with firmware_identify), up to closing it. Returns 0, a BATCH_*
// result, the reader's own result, or a LINK_* failure; the reader stays
// open when the run ended before the operation began, unless -u's switch
// into the service firmware had closed it.
int32_t batch_run_opened(BatchRun* run);

// Runs the operation the settings ask for on the reader they choose (-r,
// -s, or the first one), or lists the readers (-l). Returns as
// batch_run_opened; BATCH_NO_READER when no reader is found or selected;
// BATCH_READER_UNUSABLE when it cannot be opened or (-u) told apart from
// another; BATCH_FILE_ERROR when the list cannot be written.
int32_t batch_run(const ToolSettings& settings, const ReaderChoice& choice);
