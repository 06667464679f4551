// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/callback_queue.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/result.h"

void cb_queue_init(CallbackQueue* queue) {
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->head = nullptr;
    queue->tail = nullptr;
}

void cb_queue_destroy(CallbackQueue* queue) {
    while (cb_queue_pop(queue, nullptr, nullptr, nullptr) == 0) {
    }
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->head = nullptr;
    queue->tail = nullptr;
}

static_assert(sizeof(size_t) > sizeof(uint32_t), "a callback's size always fits size_t");

int cb_queue_push(CallbackQueue* queue, uint16_t code, uint32_t length, const uint8_t* data) {
    void* block = std::malloc(sizeof(ReaderCallback) + length);
    if (block == nullptr) return LINK_NO_MEMORY;
    auto* record = static_cast<ReaderCallback*>(block);
    record->code = code;
    record->length = length;
    if (length != 0) std::memcpy(record->data(), data, length);
    std::lock_guard<std::mutex> lock(queue->lock);
    record->next = nullptr;
    record->prev = queue->tail;
    if (queue->tail != nullptr)
        queue->tail->next = record;
    else
        queue->head = record;
    queue->tail = record;
    return 0;
}

int cb_queue_peek(CallbackQueue* queue, uint16_t* code, uint32_t* length, uint8_t** data) {
    std::lock_guard<std::mutex> lock(queue->lock);
    ReaderCallback* head = queue->head;
    if (head == nullptr) return 1;
    *code = head->code;
    *length = head->length;
    *data = head->data();
    return 0;
}

int cb_queue_pop(CallbackQueue* queue, uint16_t* code, uint32_t* length, uint8_t* data) {
    ReaderCallback* head;
    {
        std::lock_guard<std::mutex> lock(queue->lock);
        head = queue->head;
        if (head == nullptr) return 1;
        if (head->next != nullptr)
            head->next->prev = nullptr;
        else
            queue->tail = nullptr;
        queue->head = head->next;
    }
    if (code != nullptr && length != nullptr && data != nullptr) {
        *code = head->code;
        *length = head->length;
        if (head->length != 0) std::memcpy(data, head->data(), head->length);
    }
    std::free(head);
    return 0;
}
