// The Reader record and the process-wide reader list.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "discovery/reader_model.h"

struct hid_device_;
typedef struct hid_device_ hid_device;
struct ReaderCallback;
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
    std::thread test_thread;
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
    // The last exchange got as far as CTL_DONE, so its output length is the
    // reader's (else it still holds the capacity). Written under ctl_lock.
    uint8_t ctl_done_seen = 0;
    std::atomic<int32_t>* progress = nullptr;
    int32_t progress_from = 0;
    int32_t progress_to = 0;
    std::atomic<int32_t>* extfw_progress = nullptr;
    std::atomic<ReaderTestState*> test_ctx{nullptr};
};

// Process-wide mutex: held by the card test console around enumeration and
// drawing, and by a test worker around its final steps (see card_test_worker).
extern std::mutex list_lock;

// Empties the list and starts the HID library. 0 (cannot fail).
int readers_init();
// Frees every Reader (closing open ones) and stops the HID library. 0.
int readers_exit();
// Matches attached HID devices against the model table; keeps records of
// devices still present and of open readers. Returns the count, 0 to 32.
int readers_enumerate();
// List access; nullptr when there is no such reader.
Reader* reader_first();
Reader* reader_by_index(int index);
Reader* reader_by_serial(const char* serial); // ASCII case-insensitive
int reader_count();
int reader_is_open(const Reader* reader);
// A new zero-filled record at the tail; nullptr when 32 records exist.
Reader* reader_alloc();
// Closes (if open), unlinks and frees. -1 for nullptr, else 0.
int reader_free(Reader* reader);
int readers_free_all();
