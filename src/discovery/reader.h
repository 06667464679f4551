// SPDX-License-Identifier: GPL-2.0-or-later
// The process-wide reader list.
#pragma once

#include <mutex>

#include "discovery/reader_model.h"
#include "link/reader.h"

// Process-wide mutex: held by the card test console around enumeration and
// drawing, and by a test worker around its final steps (see card_test_worker).
extern std::mutex list_lock;

// Empties the list and starts the HID library. 0 (cannot fail).
int readers_init();
// Frees every Reader (closing open ones) and stops the HID library. 0.
int readers_exit();
// Matches attached HID devices against the model table; keeps records of
// devices still present and of open readers. Returns the count, 0 to 32.
int readers_enumerate();
// List access; nullptr when there is no such reader.
Reader* reader_first();
Reader* reader_by_index(int index);
Reader* reader_by_serial(const char* serial); // ASCII case-insensitive
int reader_count();
int reader_is_open(const Reader* reader);
// A new zero-filled record at the tail; nullptr when 32 records exist.
Reader* reader_alloc();
// Closes (if open), unlinks and frees. -1 for nullptr, else 0.
int reader_free(Reader* reader);
int readers_free_all();
