// SPDX-License-Identifier: GPL-2.0-or-later
// The Reader record: one attached reader, shared by the link (its open
// connection) and the reader list (its identity and place in the list).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

struct hid_device_;
typedef struct hid_device_ hid_device;
struct ReaderCallback;
struct ReaderModel;
struct ReaderTestState;

inline constexpr int READER_PATH_SIZE = 512;
inline constexpr int READER_SERIAL_SIZE = 32;
inline constexpr int READER_LIST_MAX = 32;
inline constexpr int REPORT_SIZE = 64; // bytes per HID report, report ID not counted

// One attached reader. Owned by the reader list; created closed by the
// enumeration that first finds its device.
struct Reader {
    Reader* next = nullptr;
    Reader* prev = nullptr;
    uint8_t seen = 0;
    char path[READER_PATH_SIZE] = {};
    hid_device* hid = nullptr;
    std::mutex ctl_lock; // serialises every exchange and poll on the link
    const ReaderModel* model = nullptr;
    char serial[READER_SERIAL_SIZE] = {};
    std::atomic<uint8_t> is_open{0}; // read by the card test console
    uint16_t in_report_size = 0;
    uint16_t out_report_size = 0;
    std::mutex cb_lock; // guards cb_head, cb_tail and the record links
    ReaderCallback* cb_tail = nullptr;
    ReaderCallback* cb_head = nullptr;
    uint8_t in_ctl = 0;
    uint8_t in_data = 0;
    std::atomic<int32_t>* progress = nullptr;
    int32_t progress_from = 0;
    int32_t progress_to = 0;
    std::atomic<int32_t>* extfw_progress = nullptr;
};
