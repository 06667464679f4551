// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/callback_queue.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "link/reader_link.h"

void cb_queue_init(ReaderLink* link) {
    std::lock_guard<std::mutex> lock(link->cb_lock);
    link->cb_head = nullptr;
    link->cb_tail = nullptr;
}

void cb_queue_destroy(ReaderLink* link) {
    while (cb_queue_pop(link, nullptr, nullptr, nullptr) == 0) {
    }
    std::lock_guard<std::mutex> lock(link->cb_lock);
    link->cb_head = nullptr;
    link->cb_tail = nullptr;
}

static_assert(sizeof(size_t) > sizeof(uint32_t), "a callback's size always fits size_t");

int cb_queue_push(ReaderLink* link, uint16_t code, uint32_t length, const uint8_t* data) {
    void* block = std::malloc(sizeof(ReaderCallback) + length);
    if (block == nullptr) return LINK_NO_MEMORY;
    auto* record = static_cast<ReaderCallback*>(block);
    record->link = link;
    record->code = code;
    record->length = length;
    if (length != 0) std::memcpy(record->data(), data, length);
    std::lock_guard<std::mutex> lock(link->cb_lock);
    record->next = nullptr;
    record->prev = link->cb_tail;
    if (link->cb_tail != nullptr)
        link->cb_tail->next = record;
    else
        link->cb_head = record;
    link->cb_tail = record;
    return 0;
}

int cb_queue_peek(ReaderLink* link, uint16_t* code, uint32_t* length, uint8_t** data) {
    std::lock_guard<std::mutex> lock(link->cb_lock);
    ReaderCallback* head = link->cb_head;
    if (head == nullptr) return 1;
    *code = head->code;
    *length = head->length;
    *data = head->data();
    return 0;
}

int cb_queue_pop(ReaderLink* link, uint16_t* code, uint32_t* length, uint8_t* data) {
    ReaderCallback* head;
    {
        std::lock_guard<std::mutex> lock(link->cb_lock);
        head = link->cb_head;
        if (head == nullptr) return 1;
        if (head->next != nullptr)
            head->next->prev = nullptr;
        else
            link->cb_tail = nullptr;
        link->cb_head = head->next;
    }
    if (code != nullptr && length != nullptr && data != nullptr) {
        *code = head->code;
        *length = head->length;
        if (head->length != 0) std::memcpy(data, head->data(), head->length);
    }
    std::free(head);
    return 0;
}
