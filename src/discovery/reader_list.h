// SPDX-License-Identifier: GPL-2.0-or-later
// The Reader record and the process-wide list of attached readers.
//
// The list guards itself: every function below takes the list's own lock
// for as long as it needs it, and no caller ever holds it. A record is
// kept alive by references: the list holds one while the record is listed,
// and whoever must keep a record past the next enumeration takes one of
// its own (a ReaderSnapshot, or reader_ref). An enumeration drops from the
// list only a record whose device it no longer finds while the record is
// closed; the record is freed when its last reference goes. An open record
// is always listed. Lock order: the list's lock, then hid_library_lock.
#pragma once

#include <cstdint>

#include "discovery/reader_model.h"
#include "link/reader_link.h"

inline constexpr int READER_PATH_SIZE = 512;
inline constexpr int READER_SERIAL_SIZE = 32;
inline constexpr int READER_LIST_MAX = 32;

// One attached reader: its link, and its identity. Created closed by the
// enumeration that first finds its device. path never changes; model and
// serial change only while the record is closed, by an enumeration, so
// they are stable while it is open or while no other thread enumerates.
struct Reader : ReaderLink {
    std::atomic<int32_t> refs{0}; // the list's own while listed, and every reader_ref
    uint8_t seen = 0;             // the list's lock: found by the running enumeration
    char path[READER_PATH_SIZE] = {};
    const ReaderModel* model = nullptr;
    char serial[READER_SERIAL_SIZE] = {};
};

// The listed records at one moment, in list order, each with a reference
// that the destructor drops: they stay valid (though perhaps no longer
// listed) until then. Fill with readers_snapshot.
struct ReaderSnapshot {
    Reader* readers[READER_LIST_MAX] = {};
    int count = 0;
    ReaderSnapshot() = default;
    ReaderSnapshot(const ReaderSnapshot&) = delete;
    ReaderSnapshot& operator=(const ReaderSnapshot&) = delete;
    ~ReaderSnapshot();
};

// Empties the list and starts the HID library. Never fails. Before any
// other thread uses the list.
void readers_init();
// Drops every record from the list (closing open ones) and stops the HID
// library. Never fails. After every other user of the list has ended.
void readers_exit();
// Matches attached HID devices against the model table; keeps records of
// devices still present and of open readers, appends new ones, drops the
// rest. Returns the count listed, 0 to 32. Any thread; concurrent calls
// run one after another.
int readers_enumerate();
// Replaces *snapshot with the records listed now, each referenced. The
// count. Any thread.
int readers_snapshot(ReaderSnapshot* snapshot);
// The first listed record that match accepts, with a reference for the
// caller (reader_unref); nullptr when match accepts none. match runs under
// the list's lock, where no enumeration changes a record, and may copy what
// it needs into context; it must not call into the list. Any thread.
Reader* readers_find(bool (*match)(const Reader& reader, void* context), void* context);
// Lookups, each one consistent look at the list; nullptr when there is no
// such reader. The record returned carries no reference of the caller's:
// it stays valid while it is open, or until an enumeration runs (on this
// thread or another) that drops it.
Reader* reader_first();
Reader* reader_by_index(int index);
Reader* reader_by_serial(const char* serial); // ASCII case-insensitive
// Opens the link to the device at the reader's path (as reader_open_path)
// while the record is still listed: an open record is never dropped.
// LINK_WRONG_STATE for a record an enumeration has dropped, LINK_ERROR for
// nullptr. Any thread.
int reader_open(Reader* reader);
// Another reference to a record the caller already holds one of, or that
// is open. Any thread.
void reader_ref(Reader* reader);
// Drops a reference; the last one of a record no longer listed frees it
// (closing it if open). Any thread.
void reader_unref(Reader* reader);
