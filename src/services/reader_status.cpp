// SPDX-License-Identifier: GPL-2.0-or-later
#include "services/reader_status.h"

#include "base/diag.h"
#include "base/pause.h"
#include "discovery/reader_list.h"
#include "link/ctl_exchange.h"
#include "link/ctl_header.h"
#include "services/reader_functions.h"

const char* reader_status_text(int32_t code) {
    switch (code) {
    case 0:
        return "unknown reader status";
    case 1:
        return "reader operating ok";
    case 2:
        return "reader initializing";
    case 3:
        return "reader init error";
    case 4:
        return "reader firmware update in progress";
    case 5:
        return "reader fw update error";
    case 6:
        return "reader firmware update needed";
    case 7:
        return "reader selftest error";
    case 100:
        return "USB firmware not compatible with reader";
    case 101:
        return "no reader connected";
    case -1:
        return "reader rebooting";
    default:
        return "undefined reader status";
    }
}

int32_t reader_status_code(Reader* reader, int32_t* code) {
    uint8_t status[4] = {};
    int32_t delivered = sizeof status;
    const int32_t r = reader_ctl(reader, FN_GET_STATUS, 0, nullptr, &delivered, status);
    if (r != 0) return r;
    if (delivered < static_cast<int32_t>(sizeof status)) return PARAM_NOT_DELIVERED;
    *code = static_cast<int32_t>(be32_load(status));
    return 0;
}

namespace {

void show(const ReadyWatch& watch, int32_t status) {
    if (watch.status != nullptr) *watch.status = status;
    if (watch.stored != nullptr) watch.stored();
}

bool stopping(const ReadyWatch& watch) {
    return watch.stop != nullptr && *watch.stop != 0;
}

} // namespace

int reader_wait_ready(Reader* reader, const ReadyWatch& watch) {
    int zero_count = 0;
    for (;;) {
        uint8_t status_bytes[4] = {};
        int32_t capacity = sizeof status_bytes;
        const int32_t r = reader_ctl(reader, FN_GET_STATUS, 0, nullptr, &capacity, status_bytes);
        if (r == RDR_BUSY) {
            show(watch, STATUS_REBOOTING);
            diag(2, "Busy: %d\n", r);
            pause_ms(STATUS_BUSY_PAUSE_MS);
            // A reader that stays busy must not keep a stopping test worker.
            if (stopping(watch)) return READY_WAIT_STOPPED;
            continue;
        }
        if (r != 0) {
            diag(2, "Cannot get status: %d\n", r);
            pause_ms(STATUS_FAILURE_PAUSE_MS);
            return r;
        }
        const auto s = static_cast<int32_t>(be32_load(status_bytes));
        show(watch, s);
        if (s == STATUS_OK || s == STATUS_UPDATE_NEEDED) return 0;
        if (s == STATUS_UNKNOWN && ++zero_count > STATUS_ZERO_TOLERATED) return 0;
        diag(2, "Reader not ready: %d\n", s);
        pause_ms(STATUS_NOT_READY_PAUSE_MS);
        if (stopping(watch)) return READY_WAIT_STOPPED;
    }
}
