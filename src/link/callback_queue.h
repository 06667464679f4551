// SPDX-License-Identifier: GPL-2.0-or-later
// First-in, first-out queue of the callbacks a reader has announced and the
// host has taken in. Exists while the link is open.
#pragma once

#include <cstdint>

struct ReaderLink;

// One queued callback; the data bytes follow the record in one allocation.
struct ReaderCallback {
    ReaderCallback* next; // newer
    ReaderCallback* prev; // older
    ReaderLink* link;
    uint16_t code;
    uint32_t length;
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// Empties the queue. Never fails.
void cb_queue_init(ReaderLink* link);
// Frees every record unseen and empties the queue. Never fails.
void cb_queue_destroy(ReaderLink* link);
// Appends a copy of the callback. 0, or LINK_NO_MEMORY.
int cb_queue_push(ReaderLink* link, uint16_t code, uint32_t length, const uint8_t* data);
// 0 and the oldest record's fields (data points into the record), or 1 when
// the queue is empty (outputs untouched).
int cb_queue_peek(ReaderLink* link, uint16_t* code, uint32_t* length, uint8_t** data);
// Removes the oldest record, first copying code, length and data when all
// three outputs are given (data must hold length bytes). 0, or 1 when empty.
int cb_queue_pop(ReaderLink* link, uint16_t* code, uint32_t* length, uint8_t* data);
