// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_test_table.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/result.h"
#include "cardtest/reader_test_state.h"

namespace {

void copy_text(char (&dest)[TEST_TEXT_SIZE], const char (&src)[TEST_TEXT_SIZE]) {
    std::memcpy(dest, src, TEST_TEXT_SIZE);
    dest[TEST_TEXT_SIZE - 1] = '\0';
}

TestEntry* entry_of(CardTestSession* session, const Reader* reader) {
    for (TestEntry& e : session->entries)
        if (reader != nullptr && e.reader.load() == reader) return &e;
    return nullptr;
}

// An entry of the Reader, else one whose state is released (or was never
// set); nullptr when all belong to Readers under test.
TestEntry* entry_for(CardTestSession* session, const Reader* reader) {
    if (TestEntry* own = entry_of(session, reader))
        return own->state.load() == nullptr ? own : nullptr;
    for (TestEntry& e : session->entries)
        if (e.state.load() == nullptr) return &e;
    return nullptr;
}

} // namespace

ReaderTestState* card_test_state(CardTestSession* session, const Reader* reader) {
    const TestEntry* e = entry_of(session, reader);
    return e != nullptr ? e->state.load() : nullptr;
}

int card_test_attach(CardTestSession* session, Reader* reader, ReaderTestState* state) {
    TestEntry* e = entry_for(session, reader);
    if (e == nullptr || state == nullptr) return CARD_TEST_NOT_STARTED;
    if (e->worker.joinable()) e->worker.join();
    e->state = state;
    e->reader = reader;
    return 0;
}

void card_test_keep_thread(CardTestSession* session, const Reader* reader, std::thread worker) {
    if (TestEntry* e = entry_of(session, reader)) e->worker = std::move(worker);
}

ReaderTestState* card_test_detach(CardTestSession* session, const Reader* reader) {
    TestEntry* e = entry_of(session, reader);
    return e != nullptr ? e->state.exchange(nullptr) : nullptr;
}

int card_test_reap(CardTestSession* session) {
    int joined = 0;
    for (TestEntry& e : session->entries) {
        if (e.state.load() != nullptr) continue;
        if (e.worker.joinable()) {
            e.worker.join();
            ++joined;
        }
        e.reader = nullptr;
    }
    return joined;
}

int card_test_join_all(CardTestSession* session) {
    int joined = 0;
    for (TestEntry& e : session->entries) {
        if (e.worker.joinable()) {
            e.worker.join();
            ++joined;
        }
        if (e.state.load() == nullptr) e.reader = nullptr;
    }
    return joined;
}

void card_view_take(CardTestSession* session, const Reader* reader, ReaderView* view) {
    *view = ReaderView{};
    std::snprintf(view->serial, sizeof view->serial, "%s", reader->serial);
    view->tag = reader->model != nullptr ? reader->model->tag : "";
    ReaderTestState* state = card_test_state(session, reader);
    if (state == nullptr) return;
    view->ready = state->ready;
    view->status = state->status;
    view->usb_mode = state->usb_mode;
    view->km_mode = state->km_mode;
    view->features = state->features;
    std::lock_guard<std::mutex> lock(state->text_lock);
    copy_text(view->module_text, state->module_text);
    copy_text(view->protocol_text, state->protocol_text);
    copy_text(view->card_text, state->card_text);
    copy_text(view->card_data, state->card_data);
}
