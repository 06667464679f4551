// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/reader_link.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>

#include "base/diag.h"
#include "link/callback_queue.h"
#include "link/hid_guard.h"
#include "link/reader.h"

std::mutex hid_library_lock;

namespace {

// Report sizes are 64 when a Reader is created; the buffers below never
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

int reader_open(Reader* reader) {
    if (reader == nullptr) return LINK_ERROR;
    if (reader->is_open) return LINK_WRONG_STATE;
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        reader->hid = hid_open_path(reader->path);
    }
    if (reader->hid == nullptr) {
        diag(1, "Cannot open device\n");
        return LINK_ERROR;
    }
    cb_queue_init(reader);
    reader->is_open = 1;
    return 0;
}

int reader_close(Reader* reader) {
    if (reader == nullptr) return LINK_ERROR;
    if (!reader->is_open) return LINK_WRONG_STATE;
    {
        std::lock_guard<std::mutex> hid(hid_library_lock);
        hid_close(reader->hid);
    }
    reader->hid = nullptr;
    cb_queue_destroy(reader);
    reader->is_open = 0;
    return 0;
}

int reader_write_block(Reader* reader, const uint8_t* bytes, int32_t length, bool header,
                       const ProgressSink* progress) {
    uint8_t report[REPORT_SIZE + 1];
    const int room = payload_room(reader->out_report_size);
    int32_t sent = 0;
    int result = 0;
    while (sent < length) {
        progress_advance(progress, sent, length);
        std::memset(report, 0, sizeof report);
        const int chunk = std::min<int32_t>(length - sent, room);
        std::memcpy(report + 2, bytes + sent, static_cast<size_t>(chunk));
        report[1] = static_cast<uint8_t>(chunk | (header ? PACKET_HEADER_FLAG : 0));
        const int r = hid_write(reader->hid, report, static_cast<size_t>(room + 2));
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

int reader_read_block(Reader* reader, uint8_t* dest, int32_t length, int timeout_ms, bool header) {
    uint8_t report[REPORT_SIZE + 1];
    const int report_len = payload_room(reader->in_report_size) + 2;
    int64_t got = 0;
    int result = 0;
    while (got < length) {
        std::memset(report, 0, sizeof report);
        const int r =
            hid_read_timeout(reader->hid, report, static_cast<size_t>(report_len), timeout_ms);
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

int reader_write_header(Reader* reader, const CtlHeader& header) {
    return reader_write_block(reader, header.bytes, CTL_HEADER_SIZE, true);
}

int reader_read_header(Reader* reader, CtlHeader* header, int timeout_ms) {
    const int r = reader_read_block(reader, header->bytes, CTL_HEADER_SIZE, timeout_ms, true);
    if (r < 0) return r;
    if (r != CTL_HEADER_SIZE) return LINK_BAD_HEADER;
    return CTL_HEADER_SIZE;
}
