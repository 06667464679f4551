// SPDX-License-Identifier: GPL-2.0-or-later
#include <hidapi.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "base/result.h"
#include "discovery/reader_list.h"
#include "link/hid_guard.h"
#include "link/reader_link.h"

std::mutex list_lock;

namespace {

// The readers in the order they were found, and how many there are.
struct ReaderListState {
    Reader* head = nullptr;
    int count = 0;
};
ReaderListState list;

Reader* list_tail() {
    Reader* r = list.head;
    while (r != nullptr && r->next != nullptr)
        r = r->next;
    return r;
}

Reader* find_by_path(const char* path) {
    for (Reader* r = list.head; r != nullptr; r = r->next)
        if (std::strcmp(r->path, path) == 0) return r;
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

void fill_new(Reader* r, const hid_device_info* dev, const ReaderModel* model) {
    r->out_report_size = REPORT_SIZE;
    r->in_report_size = REPORT_SIZE;
    r->seen = 1;
    r->model = model;
    copy_serial(r->serial, dev->serial_number);
    std::snprintf(r->path, sizeof r->path, "%s", dev->path);
}

} // namespace

// The USB library may start a thread of its own here, to watch the bus; it
// is made with every signal blocked, so that the program's handlers (Ctrl+C
// in the card test and under -a, a new terminal size) run on the program's
// own threads.
void readers_init() {
    list.head = nullptr;
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
    readers_free_all();
    std::lock_guard<std::mutex> hid(hid_library_lock);
    hid_exit();
}

int readers_enumerate() {
    for (Reader* r = list.head; r != nullptr; r = r->next)
        r->seen = 0;
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        hid_device_info* devices = hid_enumerate(0, 0);
        for (hid_device_info* dev = devices; dev != nullptr; dev = dev->next) {
            const ReaderModel* model =
                reader_model_find(dev->vendor_id, dev->product_id, dev->interface_number);
            // A path that does not fit the field could never be opened again.
            if (model == nullptr || dev->path == nullptr ||
                std::strlen(dev->path) >= READER_PATH_SIZE)
                continue;
            if (Reader* known = find_by_path(dev->path)) {
                known->seen = 1;
                // The device on a known path may not be the one the record
                // was made for: a personality on interface 0 restarts into
                // the service firmware (also interface 0) on the same path,
                // and a reader swapped for another on the same hub port
                // takes its path. A closed record takes what the device on
                // its path is now, model and serial number alike, or an
                // update would keep asking it to switch and its cards would
                // be shown under another reader's serial. Open records keep
                // theirs while their connection lasts.
                if (!reader_is_open(known)) {
                    known->model = model;
                    copy_serial(known->serial, dev->serial_number);
                }
                continue;
            }
            Reader* fresh = reader_alloc();
            if (fresh == nullptr) continue;
            fill_new(fresh, dev, model);
        }
        hid_free_enumeration(devices);
    }
    Reader* r = list.head;
    while (r != nullptr) {
        Reader* next = r->next;
        if (r->seen == 0 && !reader_is_open(r)) reader_free(r);
        r = next;
    }
    return list.count;
}

Reader* reader_first() {
    return list.head;
}

Reader* reader_by_index(int index) {
    if (index < 0) return nullptr;
    Reader* r = list.head;
    for (int i = 0; r != nullptr && i < index; ++i)
        r = r->next;
    return r;
}

Reader* reader_by_serial(const char* serial) {
    for (Reader* r = list.head; r != nullptr; r = r->next)
        if (strcasecmp(r->serial, serial) == 0) return r;
    return nullptr;
}

int reader_count() {
    return list.count;
}

int reader_open(Reader* reader) {
    return reader_open_path(reader, reader != nullptr ? reader->path : nullptr);
}

Reader* reader_alloc() {
    if (list.count >= READER_LIST_MAX) return nullptr;
    Reader* r = new (std::nothrow) Reader();
    if (r == nullptr) return nullptr;
    Reader* tail = list_tail();
    if (tail != nullptr) {
        tail->next = r;
        r->prev = tail;
    } else {
        list.head = r;
    }
    ++list.count;
    return r;
}

int reader_free(Reader* reader) {
    if (reader == nullptr) return LINK_ERROR;
    if (reader_is_open(reader)) reader_close(reader);
    if (reader->prev != nullptr)
        reader->prev->next = reader->next;
    else
        list.head = reader->next;
    if (reader->next != nullptr) reader->next->prev = reader->prev;
    delete reader;
    --list.count;
    return 0;
}

void readers_free_all() {
    while (list.head != nullptr)
        reader_free(list.head);
    list.head = nullptr;
    list.count = 0;
}
