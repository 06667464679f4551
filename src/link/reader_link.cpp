// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/reader_link.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>

#include "base/diag.h"
#include "base/result.h"
#include "link/hid_guard.h"

// Process-wide, as the HID library's own state is (see hid_guard.h).
std::mutex hid_library_lock;

namespace {

// Report sizes are 64 once enumeration has filled them in; the buffers below never
// assume more, whatever the fields hold.
int payload_room(uint16_t report_size) {
    return std::clamp<int>(report_size, 2, REPORT_SIZE) - 1;
}

} // namespace

void progress_advance(const ProgressSink* progress, int64_t done, int64_t total) {
    if (progress == nullptr || progress->shown == nullptr) return;
    const int64_t span = int64_t{progress->to} - progress->from;
    progress->shown->store(
        static_cast<int32_t>(progress->from + span * done / std::max<int64_t>(total, 1)));
}

int reader_open_path(ReaderLink* link, const char* path) {
    if (link == nullptr || path == nullptr) return LINK_ERROR;
    if (link->is_open) return LINK_WRONG_STATE;
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        link->hid = hid_open_path(path);
    }
    if (link->hid == nullptr) {
        diag(1, "Cannot open device\n");
        return LINK_ERROR;
    }
    cb_queue_init(&link->callbacks);
    link->is_open = 1;
    return 0;
}

int reader_close(ReaderLink* link) {
    if (link == nullptr) return LINK_ERROR;
    if (!link->is_open) return LINK_WRONG_STATE;
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        hid_close(link->hid);
    }
    link->hid = nullptr;
    cb_queue_destroy(&link->callbacks);
    link->is_open = 0;
    return 0;
}

int reader_is_open(const ReaderLink* link) {
    return link->is_open.load();
}

int reader_write_block(ReaderLink* link, const uint8_t* bytes, int32_t length, bool header,
                       const ProgressSink* progress) {
    uint8_t report[REPORT_SIZE + 1];
    const int room = payload_room(link->out_report_size);
    int32_t sent = 0;
    int result = 0;
    while (sent < length) {
        progress_advance(progress, sent, length);
        std::memset(report, 0, sizeof report);
        const int chunk = std::min<int32_t>(length - sent, room);
        std::memcpy(report + 2, bytes + sent, static_cast<size_t>(chunk));
        report[1] = static_cast<uint8_t>(chunk | (header ? PACKET_HEADER_FLAG : 0));
        const int r = hid_write(link->hid, report, static_cast<size_t>(room + 2));
        if (r < 0) {
            diag(1, "Write error: %d\n", r);
            result = LINK_IO_ERROR;
            break;
        }
        diag(2, "Bytes written: %d\n", r);
        sent += chunk;
        result = sent;
    }
    if (progress != nullptr && progress->shown != nullptr) progress->shown->store(progress->to);
    return result;
}

int reader_read_block(ReaderLink* link, uint8_t* dest, int32_t length, int timeout_ms,
                      bool header) {
    uint8_t report[REPORT_SIZE + 1];
    const int report_len = payload_room(link->in_report_size) + 2;
    int64_t got = 0;
    int result = 0;
    while (got < length) {
        std::memset(report, 0, sizeof report);
        const int r =
            hid_read_timeout(link->hid, report, static_cast<size_t>(report_len), timeout_ms);
        if (r < 0) {
            diag(1, "Read error: %d\n", r);
            result = LINK_IO_ERROR;
            break;
        }
        if (r == 0) {
            result = LINK_TIMEOUT;
            break;
        }
        const int n = report[0] & PACKET_LENGTH_MASK;
        if (r - 1 < n) {
            diag(1, "Read size invalid\n");
            result = LINK_ERROR;
            break;
        }
        if (header && (report[0] & PACKET_HEADER_FLAG) == 0) {
            diag(1, "Invalid packet type\n");
            result = LINK_ERROR;
            break;
        }
        diag(2, "Bytes read: %d\n", r);
        const int64_t keep = std::clamp<int64_t>(length - got, 0, n);
        if (keep > 0) std::memcpy(dest + got, report + 1, static_cast<size_t>(keep));
        got += n;
        result = static_cast<int>(std::min<int64_t>(got, INT32_MAX));
    }
    return result;
}

int reader_write_header(ReaderLink* link, const CtlHeader& header) {
    return reader_write_block(link, header.bytes, CTL_HEADER_SIZE, true);
}

int reader_read_header(ReaderLink* link, CtlHeader* header, int timeout_ms) {
    const int r = reader_read_block(link, header->bytes, CTL_HEADER_SIZE, timeout_ms, true);
    if (r < 0) return r;
    if (r != CTL_HEADER_SIZE) return LINK_BAD_HEADER;
    return CTL_HEADER_SIZE;
}
