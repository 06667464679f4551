// SPDX-License-Identifier: GPL-2.0-or-later
// First-in, first-out queue of the callbacks a reader has announced and the
// host has taken in. Emptied when the link opens and when it closes.
#pragma once

#include <cstdint>
#include <mutex>

// One queued callback; the data bytes follow the record in one allocation.
struct ReaderCallback {
    ReaderCallback* next; // newer
    ReaderCallback* prev; // older
    uint16_t code;
    uint32_t length;
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// The queue of one link. The thread polling the link pushes, peeks and
// pops; lock makes each of those whole against any other thread.
struct CallbackQueue {
    std::mutex lock; // guards head, tail and the records' links
    ReaderCallback* tail = nullptr;
    ReaderCallback* head = nullptr;
};

// Empties the queue. Never fails.
void cb_queue_init(CallbackQueue* queue);
// Frees every record unseen and empties the queue. Never fails.
void cb_queue_destroy(CallbackQueue* queue);
// Appends a copy of the callback. 0, or LINK_NO_MEMORY.
int cb_queue_push(CallbackQueue* queue, uint16_t code, uint32_t length, const uint8_t* data);
// 0 and the oldest record's fields (data points into the record), or 1 when
// the queue is empty (outputs untouched).
int cb_queue_peek(CallbackQueue* queue, uint16_t* code, uint32_t* length, uint8_t** data);
// Removes the oldest record, first copying code, length and data when all
// three outputs are given (data must hold length bytes). 0, or 1 when empty.
int cb_queue_pop(CallbackQueue* queue, uint16_t* code, uint32_t* length, uint8_t* data);
