// SPDX-License-Identifier: GPL-2.0-or-later
#include <hidapi.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "base/result.h"
#include "discovery/reader_list.h"
#include "link/hid_guard.h"
#include "link/reader_link.h"

namespace {

// The list of the process, as the HID library it enumerates is the
// process's: the records in the order they were found, each holding the
// list's reference, and the lock every function of this file takes around
// them (see the header). A Reader's seen, and its model and serial while
// it is closed, are written only under lock.
struct ReaderListState {
    std::mutex lock;
    Reader* readers[READER_LIST_MAX] = {};
    int count = 0;
};
ReaderListState list;

constexpr int NOT_LISTED = -1;

// The reader's place in the list, or NOT_LISTED. Caller holds list.lock.
int index_of(const Reader* reader) {
    for (int i = 0; i < list.count; ++i)
        if (list.readers[i] == reader) return i;
    return NOT_LISTED;
}

// Caller holds list.lock.
Reader* find_by_path(const char* path) {
    for (int i = 0; i < list.count; ++i)
        if (std::strcmp(list.readers[i]->path, path) == 0) return list.readers[i];
    return nullptr;
}

// hidapi serial numbers are wide strings, possibly absent (no string or no
// permission to read it); an absent one is kept as an empty text. The
// program runs in the C locale, where "%ls" converts only ASCII, so other
// characters become '?' instead of failing the conversion. Control
// characters become '?' too: the serial number is shown on terminals.
void copy_serial(char (&dest)[READER_SERIAL_SIZE], const wchar_t* serial) {
    int n = 0;
    if (serial != nullptr) {
        for (; n < READER_SERIAL_SIZE - 1 && serial[n] != L'\0'; ++n)
            dest[n] = (serial[n] >= 0x20 && serial[n] < 0x7F) ? static_cast<char>(serial[n]) : '?';
    }
    dest[n] = '\0';
}

// A new record at the tail, holding the list's reference, unless 32 are
// listed. Caller holds list.lock.
void append(const hid_device_info* dev, const ReaderModel* model) {
    Reader* r = list.count < READER_LIST_MAX ? new (std::nothrow) Reader() : nullptr;
    if (r == nullptr) return;
    r->out_report_size = REPORT_SIZE;
    r->in_report_size = REPORT_SIZE;
    r->seen = 1;
    r->model = model;
    copy_serial(r->serial, dev->serial_number);
    std::snprintf(r->path, sizeof r->path, "%s", dev->path);
    r->refs = 1;
    list.readers[list.count++] = r;
}

// Takes the record at index out of the list, keeping the order of the
// others, and drops the list's reference. Caller holds list.lock.
void drop(int index) {
    Reader* r = list.readers[index];
    for (int i = index; i + 1 < list.count; ++i)
        list.readers[i] = list.readers[i + 1];
    list.readers[--list.count] = nullptr;
    reader_unref(r);
}

// One device of an enumeration: marks its record seen, or lists a new one.
// Caller holds list.lock and hid_library_lock.
void take_device(const hid_device_info* dev) {
    const ReaderModel* model =
        reader_model_find(dev->vendor_id, dev->product_id, dev->interface_number);
    // A path that does not fit the field could never be opened again.
    if (model == nullptr || dev->path == nullptr || std::strlen(dev->path) >= READER_PATH_SIZE)
        return;
    Reader* known = find_by_path(dev->path);
    if (known == nullptr) {
        append(dev, model);
        return;
    }
    known->seen = 1;
    // The device on a known path may not be the one the record was made
    // for: a personality on interface 0 restarts into the service firmware
    // (also interface 0) on the same path, and a reader swapped for another
    // on the same hub port takes its path. A closed record takes what the
    // device on its path is now, model and serial number alike, or an
    // update would keep asking it to switch and its cards would be shown
    // under another reader's serial. Open records keep theirs while their
    // connection lasts.
    if (!reader_is_open(known)) {
        known->model = model;
        copy_serial(known->serial, dev->serial_number);
    }
}

} // namespace

// The USB library may start a thread of its own here, to watch the bus; it
// is made with every signal blocked, so that the program's handlers (Ctrl+C
// in the card test and under -a, a new terminal size) run on the program's
// own threads.
void readers_init() {
    list.count = 0;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        hid_init();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void readers_exit() {
    {
        std::lock_guard<std::mutex> lock(list.lock);
        while (list.count > 0)
            drop(list.count - 1);
    }
    std::lock_guard<std::mutex> hid(hid_library_lock);
    hid_exit();
}

int readers_enumerate() {
    std::lock_guard<std::mutex> lock(list.lock);
    for (int i = 0; i < list.count; ++i)
        list.readers[i]->seen = 0;
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        hid_device_info* devices = hid_enumerate(0, 0);
        for (hid_device_info* dev = devices; dev != nullptr; dev = dev->next)
            take_device(dev);
        hid_free_enumeration(devices);
    }
    for (int i = list.count - 1; i >= 0; --i)
        if (list.readers[i]->seen == 0 && !reader_is_open(list.readers[i])) drop(i);
    return list.count;
}

ReaderSnapshot::~ReaderSnapshot() {
    for (int i = 0; i < count; ++i)
        reader_unref(readers[i]);
}

int readers_snapshot(ReaderSnapshot* snapshot) {
    for (; snapshot->count > 0; --snapshot->count)
        reader_unref(snapshot->readers[snapshot->count - 1]);
    std::lock_guard<std::mutex> lock(list.lock);
    for (; snapshot->count < list.count; ++snapshot->count) {
        Reader* r = snapshot->readers[snapshot->count] = list.readers[snapshot->count];
        r->refs.fetch_add(1);
    }
    return snapshot->count;
}

Reader* readers_find(bool (*match)(const Reader& reader, void* context), void* context) {
    std::lock_guard<std::mutex> lock(list.lock);
    for (int i = 0; i < list.count; ++i)
        if (match(*list.readers[i], context)) {
            list.readers[i]->refs.fetch_add(1);
            return list.readers[i];
        }
    return nullptr;
}

Reader* reader_first() {
    return reader_by_index(0);
}

Reader* reader_by_index(int index) {
    std::lock_guard<std::mutex> lock(list.lock);
    return index >= 0 && index < list.count ? list.readers[index] : nullptr;
}

Reader* reader_by_serial(const char* serial) {
    std::lock_guard<std::mutex> lock(list.lock);
    for (int i = 0; i < list.count; ++i)
        if (strcasecmp(list.readers[i]->serial, serial) == 0) return list.readers[i];
    return nullptr;
}

int reader_open(Reader* reader) {
    if (reader == nullptr) return LINK_ERROR;
    std::lock_guard<std::mutex> lock(list.lock);
    if (index_of(reader) < 0) return LINK_WRONG_STATE;
    return reader_open_path(reader, reader->path);
}

void reader_ref(Reader* reader) {
    reader->refs.fetch_add(1);
}

void reader_unref(Reader* reader) {
    if (reader->refs.fetch_sub(1) != 1) return;
    if (reader_is_open(reader)) reader_close(reader);
    delete reader;
}
