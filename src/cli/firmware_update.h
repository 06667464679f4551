// SPDX-License-Identifier: GPL-2.0-or-later
// Standard firmware update (-u): switch into the service firmware, send the
// image, restart into the normal firmware, then the module check.
#pragma once

#include <cstdint>

struct BatchRun;

inline constexpr int FIND_AGAIN_ATTEMPTS = 60;
inline constexpr int FIND_AGAIN_PAUSE_MS = 1000;

// Before any exchange: notes how the selected reader is found again after
// a restart (serial number and USB port). 0, or BATCH_READER_UNUSABLE when
// no such rule can tell it from another listed reader (empty or shared
// serial number on a shared or unknown port).
int32_t firmware_identify(BatchRun* run);

// While the selected reader's model refuses a standard firmware update:
// function 511, close, find it again. 0 with run->reader replaced by the
// reader found; BATCH_READER_UNUSABLE when 511 was refused;
// BATCH_READER_LOST when the reader did not come back within the run's 60
// attempts.
int32_t firmware_switch_phase(BatchRun* run);

// After the transfer: function 506, close, find the reader again in its
// normal firmware and wait until it is ready. 0 with run->reader replaced;
// BATCH_READER_UNUSABLE when it did not become ready, or when it was still
// (or again) in its service firmware at the last attempt; BATCH_READER_LOST
// when it did not come back within 60 attempts.
int32_t firmware_restart_phase(BatchRun* run);
