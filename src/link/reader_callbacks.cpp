// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/reader_callbacks.h"

#include <memory>
#include <mutex>
#include <new>

#include "base/diag.h"
#include "base/result.h"
#include "link/callback_queue.h"
#include "link/reader_link.h"

namespace {

constexpr int CB_POLL_WAIT_MS = 10;
constexpr int CB_DATA_WAIT_MS = 1990; // per report of callback data

void dispatch_queue(ReaderLink* link, reader_callback_fn handler, void* context) {
    uint16_t code;
    uint32_t length;
    uint8_t* data;
    while (cb_queue_peek(&link->callbacks, &code, &length, &data) == 0) {
        if (handler != nullptr) {
            const int32_t r = handler(context, link, code, length, length != 0 ? data : nullptr);
            diag(2, "Callback processed, retval: %d\n", r);
        }
        cb_queue_pop(&link->callbacks, nullptr, nullptr, nullptr);
    }
}

} // namespace

int reader_receive_callback(ReaderLink* link, uint16_t code, uint32_t length) {
    CtlHeader header;
    ctl_header_clear(&header);
    ctl_header_set_type(&header, CB_ACK);
    std::unique_ptr<uint8_t[]> buffer;
    if (length != 0) {
        if (length <= CB_MAX_LENGTH) buffer.reset(new (std::nothrow) uint8_t[length]());
        if (buffer == nullptr) {
            diag(1, "Not enough memory\n");
            ctl_header_set_type(&header, CB_ERROR);
            ctl_header_set_value(&header, WIRE_HOST_NO_MEMORY);
        }
    }
    int r = reader_write_header(link, header);
    if (r < 0) {
        diag(1, "Cannot Ack data: %d\n", r);
        return r;
    }
    if (ctl_header_type(header) == CB_ERROR) return code;
    if (length != 0) {
        r = reader_read_block(link, buffer.get(), static_cast<int32_t>(length), CB_DATA_WAIT_MS,
                              false);
        if (r < 0) {
            diag(1, "Cannot read output data: %d\n", r);
            return r;
        }
    }
    const int queued = cb_queue_push(&link->callbacks, code, length, buffer.get());
    ctl_header_clear(&header);
    ctl_header_set_type(&header, CB_DONE);
    ctl_header_set_value(&header, queued == 0 ? 0 : WIRE_HOST_NO_MEMORY);
    r = reader_write_header(link, header);
    if (r < 0) {
        diag(1, "Cannot write header to reader: %d\n", r);
        return r;
    }
    return code;
}

int reader_poll_callbacks(ReaderLink* link, reader_callback_fn handler, void* context) {
    return reader_poll_callbacks_wait(link, handler, CB_POLL_WAIT_MS, context);
}

int reader_poll_callbacks_wait(ReaderLink* link, reader_callback_fn handler, int wait_ms,
                               void* context) {
    int result = 0;
    if (link->in_ctl == 0) {
        std::lock_guard<std::mutex> lock(link->ctl_lock);
        CtlHeader header;
        const int r = reader_read_header(link, &header, wait_ms);
        if (r < 0) return r;
        if (ctl_header_type(header) != CB_REQUEST) {
            diag(1, "Not a callback header: %d", ctl_header_type(header));
            return LINK_ERROR;
        }
        const uint16_t code = ctl_header_code(header);
        const uint32_t length = static_cast<uint32_t>(ctl_header_value(header));
        diag(2, "Callback: %d, len: %d\n", code, static_cast<int32_t>(length));
        result = reader_receive_callback(link, code, length);
    } else {
        link->in_ctl = 0;
    }
    dispatch_queue(link, handler, context);
    return result;
}
