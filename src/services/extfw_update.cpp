// SPDX-License-Identifier: GPL-2.0-or-later
#include "services/extfw_update.h"
#include "base/bytes.h"

#include <algorithm>

#include "base/diag.h"
#include "base/pause.h"
#include "discovery/reader_list.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"

namespace {

int32_t call(Reader* reader, uint16_t function, uint32_t input_len, const uint8_t* input) {
    int32_t capacity = 0;
    return reader_ctl(reader, function, static_cast<int32_t>(input_len), input, &capacity, nullptr);
}

// Sends one step until it is not answered busy; returns that answer.
// trace_busy: "Extfw busy" at level 2 for each busy answer.
int32_t send_until_not_busy(Reader* reader, uint16_t function, uint32_t length,
                            const uint8_t* input, bool trace_busy) {
    int wait = EXTFW_FIRST_WAIT_MS;
    int32_t r;
    while ((r = call(reader, function, length, input)) == RDR_BUSY) {
        if (trace_busy) diag(2, "Extfw busy\n");
        pause_ms(wait);
        wait = extfw_next_wait(wait);
    }
    return r;
}

int32_t start_phase(Reader* reader, uint32_t length) {
    uint8_t input[4];
    be32_store(input, length);
    int wait = EXTFW_FIRST_WAIT_MS;
    int closes = 0;
    for (;;) {
        const int32_t r = call(reader, FN_EXTFW_START, sizeof input, input);
        if (r == 0) return 0;
        if (r == RDR_BUSY) {
            diag(2, "Extfw busy\n");
        } else if (r == RDR_SEQUENCE_ERROR && closes < EXTFW_SEQUENCE_CLOSES_MAX) {
            diag(2, "Extfw seq error\n");
            // The module cannot take pieces of an image whose length it was
            // never told, so Start is always sent again after the close.
            send_until_not_busy(reader, FN_EXTFW_FINISH, 0, nullptr, false);
            ++closes;
            wait = EXTFW_FIRST_WAIT_MS;
        } else {
            diag(1, "Cannot start Extfw update: %d\n", r);
            return r;
        }
        pause_ms(wait);
        wait = extfw_next_wait(wait);
    }
}

} // namespace

int extfw_next_wait(int wait_ms) {
    return std::min(wait_ms * 3 / 2, EXTFW_MAX_WAIT_MS);
}

int32_t reader_extfw_update(Reader* reader, const uint8_t* image, uint32_t length,
                            const ProgressSink* progress) {
    progress_advance(progress, 0, 1);
    int32_t r = start_phase(reader, length);
    if (r != 0) return r;
    for (uint32_t offset = 0; offset < length; offset += EXTFW_PIECE_BYTES) {
        progress_advance(progress, offset, length);
        const uint32_t piece = std::min(EXTFW_PIECE_BYTES, length - offset);
        r = send_until_not_busy(reader, FN_EXTFW_DATA, piece, image + offset, true);
        if (r != 0) {
            diag(1, "Cannot send Extfw data: %d\n", r);
            return r;
        }
    }
    r = send_until_not_busy(reader, FN_EXTFW_FINISH, 0, nullptr, true);
    if (r != 0) {
        diag(1, "Cannot finalize Extfw update: %d\n", r);
        return r;
    }
    progress_advance(progress, 1, 1);
    return 0;
}
