// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>

#include "base/result.h"
#include "base/text.h"
#include "cardtest/reader_test_state.h"
#include "discovery/reader_list.h"

namespace {

constexpr const char* RECORD_HEADER = "time\tserial\tevent\tcard\tdata\n";
constexpr char EVENT_NAMES[][8] = {"ready",   "card",    "error", "refused",
                                   "removed", "timeout", "gone"};
static_assert(std::size(EVENT_NAMES) == static_cast<size_t>(CardRecordEvent::gone) + 1);
constexpr int TIME_SIZE = 32;
// Time, serial, event name, card and data, tabs and newline.
constexpr int RECORD_LINE_SIZE = TIME_SIZE + 3 * TEST_TEXT_SIZE + 16;

// Writes all of text, retrying after interruptions. 0 or the errno.
int write_all(int fd, const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        text += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

// One line at once; after a failed write the record is cut short there, so
// that no later line lands after a partial one.
int32_t write_line(CardRecord* record, const char* line, size_t length) {
    std::lock_guard<std::mutex> lock(record->lock);
    if (record->fd < 0 || record->error != 0) return record->error != 0 ? SYSTEM_FAILED : 0;
    record->error = write_all(record->fd, line, length);
    return record->error != 0 ? SYSTEM_FAILED : 0;
}

// 2026-12-07T10:15:30.123Z: UTC with milliseconds.
void format_now(char (&out)[TIME_SIZE]) {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc = {};
    gmtime_r(&now.tv_sec, &utc);
    const size_t n = std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%S", &utc);
    const unsigned ms = static_cast<unsigned>(now.tv_nsec / 1000000) % 1000u;
    std::snprintf(out + n, sizeof out - n, ".%03uZ", ms);
}

// A text from the reader as the screen would show it: no tab, line break or
// other control can split the line or reach a terminal that shows the file.
void safe_copy(char (&out)[TEST_TEXT_SIZE], const char* text) {
    std::snprintf(out, sizeof out, "%s", text != nullptr ? text : "");
    term_safe(out);
}

int32_t record_line(CardRecord* record, const Reader* reader, CardRecordEvent event,
                    const char* card, const char* data) {
    char time_text[TIME_SIZE];
    format_now(time_text);
    char serial[TEST_TEXT_SIZE], card_text[TEST_TEXT_SIZE], data_text[TEST_TEXT_SIZE];
    safe_copy(serial, reader->serial);
    safe_copy(card_text, card);
    safe_copy(data_text, data);
    char line[RECORD_LINE_SIZE];
    const int n = std::snprintf(line, sizeof line, "%s\t%s\t%s\t%s\t%s\n", time_text, serial,
                                EVENT_NAMES[static_cast<int>(event)], card_text, data_text);
    return write_line(record, line, static_cast<size_t>(n));
}

} // namespace

int32_t card_record_open(CardRecord* record, const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return SYSTEM_FAILED;
    std::lock_guard<std::mutex> lock(record->lock);
    record->fd = fd;
    record->error = write_all(fd, RECORD_HEADER, std::strlen(RECORD_HEADER));
    record->on = true;
    return 0;
}

int32_t card_record_close(CardRecord* record) {
    std::lock_guard<std::mutex> lock(record->lock);
    record->on = false;
    if (record->fd < 0) return 0;
    if (close(record->fd) != 0 && record->error == 0) record->error = errno;
    record->fd = -1;
    errno = record->error;
    record->error = 0;
    return errno != 0 ? SYSTEM_FAILED : 0;
}

int32_t card_record_event(CardRecord* record, const Reader* reader, CardRecordEvent event) {
    if (!record->on.load()) return 0;
    return record_line(record, reader, event, nullptr, nullptr);
}

void card_record_card_shown(ReaderTestState* state) {
    state->card_unrecorded = 1;
}

int32_t card_record_card(CardRecord* record, const Reader* reader, ReaderTestState* state,
                         bool with_data) {
    if (state->card_unrecorded == 0) return 0;
    state->card_unrecorded = 0;
    if (!record->on.load()) return 0;
    char card[TEST_TEXT_SIZE], data[TEST_TEXT_SIZE] = {};
    {
        std::lock_guard<std::mutex> lock(state->text_lock);
        std::memcpy(card, state->card_text, sizeof card);
        if (with_data) std::memcpy(data, state->card_data, sizeof data);
    }
    return record_line(record, reader, CardRecordEvent::card, card, data);
}
