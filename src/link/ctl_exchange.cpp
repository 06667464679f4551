// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/ctl_exchange.h"

#include <mutex>

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"

namespace {

enum class Ack { Received, Retry, Failed };

// One attempt of the request step. On Failed, *result holds the value to
// return; on Retry, *last is the link result of this attempt.
Ack request_attempt(ReaderLink* link, CtlHeader* header, uint16_t function, int32_t input_len,
                    int32_t capacity, int* last, int32_t* result) {
    ctl_header_clear(header);
    ctl_header_set_value(header, input_len);
    ctl_header_set_capacity(header, static_cast<uint32_t>(capacity));
    ctl_header_set_type(header, CTL_REQUEST);
    ctl_header_set_code(header, function);
    int r = reader_write_header(link, *header);
    if (r < 0) {
        diag(1, "Cannot write CTL to reader: %d\n", r);
        *last = r;
        return Ack::Retry;
    }
    r = reader_read_header(link, header, CTL_ACK_WAIT_MS);
    *last = r;
    if (r < 0) {
        diag(1, "Cannot read CTL response from reader: %d\n", r);
        return Ack::Retry;
    }
    switch (ctl_header_type(*header)) {
    case CTL_ACK:
        diag(2, "CTL ACK\n");
        return Ack::Received;
    case CB_REQUEST: {
        const uint16_t code = ctl_header_code(*header);
        const uint32_t length = static_cast<uint32_t>(ctl_header_value(*header));
        diag(2, "Callback in CTL: %d, len: %d\n", code, static_cast<int32_t>(length));
        reader_receive_callback(link, code, length);
        return Ack::Retry;
    }
    case CTL_ERROR:
        *result = ctl_header_value(*header);
        diag(1, "CTL request error: %d\n", *result);
        return Ack::Failed;
    default:
        diag(1, "Invalid CTL response: %d\n", ctl_header_type(*header));
        return Ack::Retry;
    }
}

// Returns 0 once acknowledged, else the exchange's result.
int32_t request_step(ReaderLink* link, uint16_t function, int32_t input_len, int32_t capacity,
                     bool* acked) {
    CtlHeader header;
    for (int attempt = 1; attempt <= CTL_ATTEMPTS; ++attempt) {
        int last = 0;
        int32_t result = 0;
        switch (request_attempt(link, &header, function, input_len, capacity, &last, &result)) {
        case Ack::Received:
            *acked = true;
            return 0;
        case Ack::Failed:
            return result;
        case Ack::Retry:
            break;
        }
        if (last == LINK_IO_ERROR) return LINK_IO_ERROR;
        diag(2, "CTL not acknowledged, type: %d, retval: %d, attempt: %d\n",
             ctl_header_type(header), ctl_header_value(header), attempt);
        pause_ms(CTL_RETRY_PAUSE_MS);
    }
    diag(1, "CTL send attepts exhausted\n");
    return LINK_ERROR;
}

// Fetches L announced bytes into output, or refuses them when they cannot be
// held. A negative length from the reader is refused like one that does not
// fit. Sets *output_len only once all L bytes arrived.
int output_step(ReaderLink* link, int32_t length, int32_t capacity, int32_t* output_len,
                uint8_t* output) {
    CtlHeader header;
    ctl_header_clear(&header);
    ctl_header_set_type(&header, CTL_FETCH);
    if (length < 0 || capacity < length) {
        diag(1, "Not enough output data buffer: %d\n", length);
        ctl_header_set_type(&header, CTL_ERROR);
        ctl_header_set_value(&header, WIRE_HOST_NO_ROOM);
    }
    int r = reader_write_header(link, header);
    if (r < 0) {
        diag(1, "Cannot write header to reader: %d\n", r);
        return r;
    }
    if (ctl_header_type(header) != CTL_FETCH) return 0;
    diag(2, "Output CTL data size: %d\n", length);
    r = reader_read_block(link, output, length, CTL_OUTPUT_WAIT_MS, false);
    if (r < 0) {
        diag(1, "Cannot read CTL output data: %d\n", r);
        return r;
    }
    *output_len = length;
    diag(2, "Output CTL data OK: %d\n", r);
    return 0;
}

} // namespace

int32_t reader_ctl(ReaderLink* link, uint16_t function, int32_t input_len, const uint8_t* input,
                   int32_t* output_len, uint8_t* output, const ProgressSink* progress) {
    std::lock_guard<std::mutex> lock(link->ctl_lock);
    const int32_t capacity = *output_len;
    *output_len = 0;
    diag(2, "\nInput size: %d, function: %d\n", input_len, function);
    link->in_ctl = 1;

    bool acked = false;
    const int32_t refused = request_step(link, function, input_len, capacity, &acked);
    if (!acked) return refused;
    diag(2, "CTL acknowledged\n");

    if (input_len != 0) {
        diag(2, "Writing input CTL data...\n");
        const int r = reader_write_block(link, input, input_len, false, progress);
        if (r < 0) {
            diag(1, "Cannot write input CTL data to reader: %d\n", r);
            return r;
        }
        diag(2, "Input CTL data written...\n");
    }

    CtlHeader done;
    const int r = reader_read_header(link, &done, CTL_DONE_WAIT_MS);
    if (r < 0) {
        diag(1, "Cannot read header from reader: %d\n", r);
        return r;
    }
    const int32_t length = ctl_header_done_length(done);
    const int32_t value = ctl_header_value(done);
    if (ctl_header_type(done) == CTL_ERROR) {
        diag(1, "CTLDONE fail: %d\n", value);
        return LINK_ERROR;
    }
    if (ctl_header_type(done) != CTL_DONE) {
        diag(1, "Incorrect response: %d\n", ctl_header_type(done));
        return LINK_ERROR;
    }
    if (length != 0) {
        const int out = output_step(link, length, capacity, output_len, output);
        if (out < 0) return out;
    }
    diag(2, "Final return value: %d\n", value);
    return value;
}
