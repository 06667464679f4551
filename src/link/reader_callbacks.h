// SPDX-License-Identifier: GPL-2.0-or-later
// Callbacks a reader announces on its own (card events): the transfer that
// takes one in, and the poll that hands queued callbacks to a handler.
#pragma once

#include <cstdint>

struct ReaderLink;

// Largest callback data the host takes in. Card events carry at most a few
// hundred bytes; a larger announcement is answered as for no memory.
inline constexpr uint32_t CB_MAX_LENGTH = 65536; // bytes

// Handler: context is the poll's; data is null when length is 0 and valid
// only during the call.
using reader_callback_fn = int32_t (*)(void* context, ReaderLink* link, uint16_t code,
                                       uint32_t length, const uint8_t* data);

// Answers a CB_REQUEST (CB_ACK, data, CB_DONE; CB_ERROR WIRE_HOST_NO_MEMORY when the data
// cannot be held) and queues the callback. Returns code, or a negative link
// result when the reader could not be answered. Caller holds ctl_lock.
int reader_receive_callback(ReaderLink* link, uint16_t code, uint32_t length);

// One poll: unless a CTL exchange ran since the last poll, waits 10 ms for
// a CB_REQUEST and takes it in; then hands every queued callback, oldest
// first, to handler (or drops them when handler is null). Returns the code
// taken in, 0 when nothing was read, or a negative link result
// (LINK_TIMEOUT for an idle reader, LINK_ERROR for a header other than
// CB_REQUEST). Takes ctl_lock.
int reader_poll_callbacks(ReaderLink* link, reader_callback_fn handler, void* context = nullptr);

// The same poll waiting up to wait_ms (0: not at all) for the CB_REQUEST.
// A report, or the end of the link, ends the wait at once; nothing else
// can, and ctl_lock is held throughout. Same results.
int reader_poll_callbacks_wait(ReaderLink* link, reader_callback_fn handler, int wait_ms,
                               void* context = nullptr);
