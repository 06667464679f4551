// SPDX-License-Identifier: GPL-2.0-or-later
// The Reader record and the process-wide list of attached readers.
#pragma once

#include <cstdint>
#include <mutex>

#include "discovery/reader_model.h"
#include "link/reader_link.h"

inline constexpr int READER_PATH_SIZE = 512;
inline constexpr int READER_SERIAL_SIZE = 32;
inline constexpr int READER_LIST_MAX = 32;

// One attached reader: its link, and its identity and place in the list.
// Owned by the reader list; created closed by the enumeration that first
// finds its device.
struct Reader : ReaderLink {
    Reader* next = nullptr;
    Reader* prev = nullptr;
    uint8_t seen = 0;
    char path[READER_PATH_SIZE] = {};
    const ReaderModel* model = nullptr;
    char serial[READER_SERIAL_SIZE] = {};
};

// Process-wide mutex: held by the card test console around enumeration and
// drawing, and by a test worker around its final steps (see card_test_worker).
extern std::mutex list_lock;

// Empties the list and starts the HID library. Never fails.
void readers_init();
// Frees every Reader (closing open ones) and stops the HID library. Never
// fails.
void readers_exit();
// Matches attached HID devices against the model table; keeps records of
// devices still present and of open readers. Returns the count, 0 to 32.
int readers_enumerate();
// List access; nullptr when there is no such reader.
Reader* reader_first();
Reader* reader_by_index(int index);
Reader* reader_by_serial(const char* serial); // ASCII case-insensitive
int reader_count();
// Opens the link to the device at the reader's path: as reader_open_path.
int reader_open(Reader* reader);
// A new zero-filled record at the tail; nullptr when 32 records exist.
Reader* reader_alloc();
// Closes (if open), unlinks and frees. 0; LINK_ERROR for nullptr.
int reader_free(Reader* reader);
// reader_free on every Reader. Never fails.
void readers_free_all();
