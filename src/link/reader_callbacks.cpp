// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/reader_callbacks.h"

#include <memory>
#include <mutex>
#include <new>

#include "base/diag.h"
#include "link/callback_queue.h"
#include "link/reader.h"
#include "link/reader_link.h"

namespace {

constexpr int CB_POLL_WAIT_MS = 10;
constexpr int CB_DATA_WAIT_MS = 1990; // per report of callback data
constexpr int32_t CB_NO_MEMORY = -2;

void dispatch_queue(Reader* reader, reader_callback_fn handler) {
    uint16_t code;
    uint32_t length;
    uint8_t* data;
    while (cb_queue_peek(reader, &code, &length, &data) == 0) {
        if (handler != nullptr) {
            const int32_t r = handler(reader, code, length, length != 0 ? data : nullptr);
            diag(2, "Callback processed, retval: %d\n", r);
        }
        cb_queue_pop(reader, nullptr, nullptr, nullptr);
    }
}

} // namespace

int reader_receive_callback(Reader* reader, uint16_t code, uint32_t length) {
    CtlHeader header;
    ctl_header_clear(&header);
    ctl_header_set_type(&header, CB_ACK);
    std::unique_ptr<uint8_t[]> buffer;
    if (length != 0) {
        if (length <= CB_MAX_LENGTH) buffer.reset(new (std::nothrow) uint8_t[length]());
        if (buffer == nullptr) {
            diag(1, "Not enough memory\n");
            ctl_header_set_type(&header, CB_ERROR);
            ctl_header_set_value(&header, CB_NO_MEMORY);
        }
    }
    int r = reader_write_header(reader, header);
    if (r < 0) {
        diag(1, "Cannot Ack data: %d\n", r);
        return r;
    }
    if (ctl_header_type(header) == CB_ERROR) return code;
    if (length != 0) {
        r = reader_read_block(reader, buffer.get(), static_cast<int32_t>(length), CB_DATA_WAIT_MS,
                              false);
        if (r < 0) {
            diag(1, "Cannot read output data: %d\n", r);
            return r;
        }
    }
    const int queued = cb_queue_push(reader, code, length, buffer.get());
    ctl_header_clear(&header);
    ctl_header_set_type(&header, CB_DONE);
    ctl_header_set_value(&header, queued);
    r = reader_write_header(reader, header);
    if (r < 0) {
        diag(1, "Cannot write header to reader: %d\n", r);
        return r;
    }
    return code;
}

int reader_poll_callbacks(Reader* reader, reader_callback_fn handler) {
    return reader_poll_callbacks_wait(reader, handler, CB_POLL_WAIT_MS);
}

int reader_poll_callbacks_wait(Reader* reader, reader_callback_fn handler, int wait_ms) {
    int result = 0;
    if (reader->in_ctl == 0) {
        std::lock_guard<std::mutex> lock(reader->ctl_lock);
        CtlHeader header;
        const int r = reader_read_header(reader, &header, wait_ms);
        if (r < 0) return r;
        if (ctl_header_type(header) != CB_REQUEST) {
            diag(1, "Not a callback header: %d", ctl_header_type(header));
            return LINK_ERROR;
        }
        const uint16_t code = ctl_header_code(header);
        const uint32_t length = static_cast<uint32_t>(ctl_header_value(header));
        diag(2, "Callback: %d, len: %d\n", code, static_cast<int32_t>(length));
        result = reader_receive_callback(reader, code, length);
    } else {
        reader->in_ctl = 0;
    }
    dispatch_queue(reader, handler);
    return result;
}
