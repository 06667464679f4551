// SPDX-License-Identifier: GPL-2.0-or-later
// The bench record of card test mode (-t -o FILE): one tab-separated line
// per reader event, "time serial event card data", each line written whole
// and at once, so that tail -f follows the bench as it happens.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct Reader;
struct ReaderTestState;

enum class CardRecordEvent : uint8_t {
    ready,   // set-up done, polling started
    card,    // a card number read, with the data shown beside it
    error,   // card read error
    refused, // card refused
    removed, // card removed
    timeout, // a shown card ended by time on a reader without removal events
    gone,    // the reader's worker ended
};

// The bench record of one card test session. lock guards fd and error
// (every thread that records takes it); on is written by the main thread
// before the workers start and after they end, and read by any thread
// (sequentially consistent) to skip everything when there is no record.
struct CardRecord {
    std::mutex lock;
    int fd = -1;
    int error = 0;
    std::atomic<bool> on{false};
};

// Creates or empties path and writes the header line. 0; SYSTEM_FAILED with errno set
// when the file cannot be opened (a failed header write is reported by
// card_record_close). Main thread, before any worker starts.
int32_t card_record_open(CardRecord* record, const char* path);

// Closes the record. 0; SYSTEM_FAILED with errno set to that of the first
// write that failed (later events were not written). Main thread, after every worker ended.
int32_t card_record_close(CardRecord* record);

// Appends one line for the Reader with empty card and data texts. 0, also
// without a record; SYSTEM_FAILED when the write failed. Any thread; takes the
// record's lock (never while another lock is held by the record).
int32_t card_record_event(CardRecord* record, const Reader* reader, CardRecordEvent event);

// Marks the card number just shown for the Reader as not yet recorded.
// Worker thread of the Reader.
void card_record_card_shown(ReaderTestState* state);

// Records the card marked by card_record_card_shown, once: its number and,
// when with_data is set, the card data the screen shows beside it (else
// empty: the number came without a data fetch). 0 also when nothing is
// marked; SYSTEM_FAILED when the write failed. Worker thread; takes text_lock, then
// the record's lock.
int32_t card_record_card(CardRecord* record, const Reader* reader, ReaderTestState* state,
                         bool with_data);
