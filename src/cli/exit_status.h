// SPDX-License-Identifier: GPL-2.0-or-later
// The process exit status of a result, for the program's end and for the
// summary of a run over many readers.
#pragma once

#include <cstdint>

#include "base/result.h"

// The low 8 bits of result, except that a non-zero result whose low 8 bits
// are 0 gives 255, so that no failure ever exits 0. A run that lost its
// reader exits 255, as does every result of that number, the reader's own
// included.
inline int exit_status(int32_t result) {
    if (result == BATCH_READER_LOST) return 255;
    const int status = static_cast<int>(static_cast<uint32_t>(result) & 0xFF);
    return (result != 0 && status == 0) ? 255 : status;
}
