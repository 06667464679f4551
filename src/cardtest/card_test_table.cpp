// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_test_table.h"

#include <atomic>

#include "base/result.h"
#include "discovery/reader_list.h"

namespace {

// Only the console thread touches worker; reader and state are read by
// every thread, so they are atomic.
struct TestEntry {
    std::atomic<const Reader*> reader{nullptr};
    std::atomic<ReaderTestState*> state{nullptr};
    std::thread worker;
};

TestEntry entries[READER_LIST_MAX];

TestEntry* entry_of(const Reader* reader) {
    for (TestEntry& e : entries)
        if (reader != nullptr && e.reader.load() == reader) return &e;
    return nullptr;
}

// An entry of the Reader, else one whose state is released (or was never
// set); nullptr when all belong to Readers under test.
TestEntry* entry_for(const Reader* reader) {
    if (TestEntry* own = entry_of(reader)) return own->state.load() == nullptr ? own : nullptr;
    for (TestEntry& e : entries)
        if (e.state.load() == nullptr) return &e;
    return nullptr;
}

} // namespace

ReaderTestState* card_test_state(const Reader* reader) {
    const TestEntry* e = entry_of(reader);
    return e != nullptr ? e->state.load() : nullptr;
}

int card_test_attach(Reader* reader, ReaderTestState* state) {
    TestEntry* e = entry_for(reader);
    if (e == nullptr || state == nullptr) return CARD_TEST_NOT_STARTED;
    if (e->worker.joinable()) e->worker.join();
    e->state = state;
    e->reader = reader;
    return 0;
}

void card_test_keep_thread(const Reader* reader, std::thread worker) {
    if (TestEntry* e = entry_of(reader)) e->worker = std::move(worker);
}

ReaderTestState* card_test_detach(const Reader* reader) {
    TestEntry* e = entry_of(reader);
    return e != nullptr ? e->state.exchange(nullptr) : nullptr;
}

int card_test_reap() {
    int joined = 0;
    for (TestEntry& e : entries) {
        if (e.state.load() != nullptr) continue;
        if (e.worker.joinable()) {
            e.worker.join();
            ++joined;
        }
        e.reader = nullptr;
    }
    return joined;
}

int card_test_join_all() {
    int joined = 0;
    for (TestEntry& e : entries) {
        if (e.worker.joinable()) {
            e.worker.join();
            ++joined;
        }
        if (e.state.load() == nullptr) e.reader = nullptr;
    }
    return joined;
}
