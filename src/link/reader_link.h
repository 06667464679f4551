// SPDX-License-Identifier: GPL-2.0-or-later
// Connection to one reader and the framing of blocks into 64-byte HID
// reports: a control byte (bit 7 header packet, bits 5..0 payload length)
// and up to 63 payload bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/callback_queue.h"
#include "link/ctl_header.h"

struct hid_device_;
typedef struct hid_device_ hid_device;

inline constexpr int REPORT_SIZE = 64; // bytes per HID report, report ID not counted

// The connection to one reader: what the link needs while it is open. Closed
// when created; the reader list's record holds one.
struct ReaderLink {
    // Written by the thread that opens or closes the link, while no other
    // thread uses it; read under ctl_lock by whoever exchanges.
    hid_device* hid = nullptr;
    uint16_t in_report_size = 0;
    uint16_t out_report_size = 0;
    std::mutex ctl_lock; // serialises every exchange and poll on the link
    // Written by open and close; read by any thread (the card test console,
    // the reader list), sequentially consistent.
    std::atomic<uint8_t> is_open{0};
    CallbackQueue callbacks; // its own lock (cb_lock)
    // A CTL exchange ran since the last callback poll: under ctl_lock.
    uint8_t in_ctl = 0;
};

inline constexpr uint8_t PACKET_HEADER_FLAG = 0x80;
inline constexpr uint8_t PACKET_LENGTH_MASK = 0x3F;

// Opens the HID device at path. 0; LINK_ERROR when it cannot be opened or
// no link is given; LINK_WRONG_STATE when already open.
int reader_open_path(ReaderLink* link, const char* path);
// Closes the device and discards queued callbacks. 0; LINK_ERROR for no
// link; LINK_WRONG_STATE when not open. No other thread may use the link meanwhile.
int reader_close(ReaderLink* link);
// The link's is_open, 0 or 1. Never fails.
int reader_is_open(const ReaderLink* link);

// Where a transfer shows how far it has come: *shown moves from `from` to
// `to` as the data goes out. The caller owns it; the link only stores.
struct ProgressSink {
    std::atomic<int32_t>* shown = nullptr;
    int32_t from = 0;
    int32_t to = 100;
};

// Sends length bytes as header (header=true) or data packets, moving
// progress (when given) along. Returns length, or LINK_IO_ERROR when
// hid_write fails. Caller holds ctl_lock.
int reader_write_block(ReaderLink* link, const uint8_t* bytes, int32_t length, bool header,
                       const ProgressSink* progress = nullptr);
// Receives at least length payload bytes into dest (nothing stored past
// dest[length-1]); timeout_ms applies to each report. Returns the payload
// bytes received; LINK_ERROR for a short report or (header=true) a data
// packet; LINK_TIMEOUT; LINK_IO_ERROR for a hidapi failure. Caller holds ctl_lock.
int reader_read_block(ReaderLink* link, uint8_t* dest, int32_t length, int timeout_ms, bool header);

// One header as one header packet. 11, or a negative link result.
int reader_write_header(ReaderLink* link, const CtlHeader& header);
// 11; LINK_BAD_HEADER when the block was not 11 bytes; other link results
// passed on.
int reader_read_header(ReaderLink* link, CtlHeader* header, int timeout_ms);

// Moves the sink's value (nothing without a sink) to done/total of the way
// from its start to its end: the value a progress bar draws.
void progress_advance(const ProgressSink* progress, int64_t done, int64_t total);
