// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_test_worker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "base/bytes.h"
#include "base/console_wake.h"
#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "base/text.h"
#include "cardtest/card_event.h"
#include "cardtest/card_record.h"
#include "cardtest/card_test_table.h"
#include "cardtest/module_info.h"
#include "cardtest/reader_test_state.h"
#include "cardtest/terminal_guard.h"
#include "discovery/reader_list.h"
#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

constexpr int32_t EXTFW_UPDATE_NEEDED = 0; // function 1500: the module wants new firmware
constexpr int EXTFW_CHECK_CAPACITY = 256;
constexpr int CARD_QUERY_BYTES = 2;
constexpr int CARD_DETAIL_CAPACITY = 256;
constexpr int ASSIGNMENT_SIZE = 64;

// The readiness wait shows its status on the screen and ends on a stop request.
ReadyWatch watch(ReaderTestState* state) {
    return {&state->status, &state->stop_requested, console_wake};
}

// Wall-clock time in milliseconds; its seconds are those of card_time.
int64_t wall_ms() {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int32_t call_plain(Reader* reader, uint16_t function) {
    int32_t capacity = 0;
    return reader_ctl(reader, function, 0, nullptr, &capacity, nullptr);
}

// Function 2100; features stay as they were when the reader refuses.
int32_t read_features(Reader* reader, ReaderTestState* state) {
    uint8_t bytes[4] = {};
    int32_t capacity = sizeof bytes;
    const int32_t r = reader_ctl(reader, FN_GET_FEATURES, 0, nullptr, &capacity, bytes);
    if (r == 0) state->features = be32_load(bytes);
    return r;
}

// Reads a numeric parameter; false (value untouched) when none was delivered.
bool read_number(Reader* reader, const char* key, int32_t* value) {
    char text[PARAM_VALUE_SIZE];
    if (reader_get_param(reader, key, text, sizeof text) != 0) return false;
    *value = text_number(text);
    return true;
}

void release_state(CardTestSession* session, Reader* reader) {
    delete card_test_detach(session, reader);
}

void check_module_firmware(Reader* reader, ReaderTestState* state) {
    uint8_t scratch[EXTFW_CHECK_CAPACITY];
    int32_t capacity = sizeof scratch;
    if (reader_ctl(reader, FN_EXTFW_CHECK, 0, nullptr, &capacity, scratch) == EXTFW_UPDATE_NEEDED) {
        state->status = STATUS_UPDATE_NEEDED;
        console_wake();
        diag(2, "External reader firmware update needed");
    }
}

void read_protocols(CardTestSession* session, Reader* reader, ReaderTestState* state) {
    int32_t value = 0;
    if (!read_number(reader, PARAM_READERPROTOCOLTMP, &value)) return;
    state->has_volatile_protocol = 1;
    state->volatile_protocol = value;
    if (value == state->saved_protocol) return;
    diag(2, "Current protocol not set to saved protocol");
    card_test_restore_protocol(session, reader, state->saved_protocol);
}

void read_usb_mode(Reader* reader, ReaderTestState* state) {
    int32_t value = 0;
    if (read_number(reader, PARAM_USBMODE, &value)) state->usb_mode = static_cast<uint8_t>(value);
    if (state->usb_mode != USB_MODE_KM) return;
    if (read_number(reader, PARAM_KMMODE, &value)) state->km_mode = static_cast<uint8_t>(value);
    console_wake();
}

// 0 when the reader is registered for card events and may be polled.
int32_t set_up(CardTestSession* session, Reader* reader, ReaderTestState* state) {
    reader_wait_ready(reader, watch(state));
    check_module_firmware(reader, state);
    read_features(reader, state);
    read_number(reader, PARAM_READERPROTOCOL, &state->saved_protocol);
    const int32_t r = reader_register_callback(reader, CARD_EVENT_READ, CARD_EVENT_REMOVED);
    if (r != 0) {
        diag(2, "Cannot register callback: %d\n", r);
        return r;
    }
    read_protocols(session, reader, state);
    read_usb_mode(reader, state);
    reader_get_module_info(session, reader);
    return 0;
}

// Fetches the new card's data and tells the reader the card was taken.
int32_t answer_card_read(CardTestSession* session, Reader* reader, ReaderTestState* state) {
    uint8_t query[CARD_QUERY_BYTES] = {};
    int32_t query_len = sizeof query;
    int32_t r = reader_ctl(reader, FN_CARD_QUERY, 0, nullptr, &query_len, query);
    if (r == 0) {
        uint8_t detail[CARD_DETAIL_CAPACITY];
        int32_t detail_len = sizeof detail;
        r = reader_ctl(reader, FN_CARD_DETAIL, sizeof query, query, &detail_len, detail);
        if (r == 0) {
            std::lock_guard<std::mutex> lock(state->text_lock);
            text_copy(state->card_data, sizeof state->card_data, detail, detail_len);
        }
        console_wake();
    }
    // Fetched or not: the data the screen now shows beside the number.
    card_record_card(&session->record, reader, state, true);
    call_plain(reader, FN_TEST_CARD_OK);
    r = call_plain(reader, FN_TEST_CARD_DONE);
    state->card_present = 1;
    return r;
}

// The exchange a polled event needs; r passes through when it needs none.
int32_t answer_event(CardTestSession* session, Reader* reader, ReaderTestState* state, int32_t r) {
    switch (r) {
    case CARD_EVENT_READ:
        return answer_card_read(session, reader, state);
    case CARD_EVENT_ERROR:
    case CARD_EVENT_REFUSED:
        return call_plain(reader, FN_TEST_CARD_BAD);
    case CARD_EVENT_REMOVED:
        r = call_plain(reader, FN_TEST_WAIT_CARD);
        state->card_present = 0;
        return r;
    default:
        return r;
    }
}

// A reader without removal events never says the card is gone: the card
// is taken away from the screen after CARD_SHOWN_S seconds.
bool card_times_out(const ReaderTestState* state) {
    return (state->features & FEATURE_REMOVAL_EVENTS) == 0 && state->card_present != 0;
}

int32_t expire_card(CardTestSession* session, Reader* reader, ReaderTestState* state, int32_t r) {
    if (!card_times_out(state) || wall_ms() / 1000 < state->card_time + CARD_SHOWN_S) return r;
    r = call_plain(reader, FN_TEST_WAIT_CARD);
    state->card_present = 0;
    {
        std::lock_guard<std::mutex> lock(state->text_lock);
        state->card_text[0] = '\0';
        state->card_data[0] = '\0';
    }
    console_wake();
    card_record_event(&session->record, reader, CardRecordEvent::timeout);
    return r;
}

// How long the next poll may wait for a report: until the shown card's
// time-out on a reader without removal events, else as long as a stop
// request may wait. A report, or the reader leaving, ends it earlier.
int poll_wait_ms(const ReaderTestState* state) {
    if (!card_times_out(state)) return WORKER_WAIT_MAX_MS;
    const int64_t due_ms = (int64_t{state->card_time} + CARD_SHOWN_S) * 1000;
    return static_cast<int>(std::clamp<int64_t>(due_ms - wall_ms(), 0, WORKER_WAIT_MAX_MS));
}

void poll_cards(CardTestSession* session, Reader* reader, ReaderTestState* state) {
    state->ready = 1;
    console_wake();
    card_record_event(&session->record, reader, CardRecordEvent::ready);
    int32_t r = call_plain(reader, FN_TEST_WAIT_CARD);
    state->card_time = std::time(nullptr);
    while (state->stop_requested == 0 && r != LINK_IO_ERROR && reader_is_open(reader)) {
        r = reader_poll_callbacks_wait(reader, card_test_on_event, poll_wait_ms(state), session);
        if (r == LINK_IO_ERROR) break;
        r = answer_event(session, reader, state, r);
        // A number the poll handed over without announcing it (it came
        // during an exchange) is shown without a data fetch.
        card_record_card(&session->record, reader, state, false);
        r = expire_card(session, reader, state, r);
    }
}

// Waits while the console holds the close (see close_held).
void wait_close_turn(CardTestSession* session, ReaderTestState* state) {
    std::unique_lock<std::mutex> lock(session->lock);
    session->changed.wait(lock, [state] { return state->close_held.load() == 0; });
}

// The worker's last steps run under the session's lock, which the console
// holds while it enumerates, starts workers and copies the test states it
// draws. So the console never copies a released state and sees every open
// Reader with its state: the close and the release happen in one critical
// section, and after it the worker touches the state no more. The Reader
// stays valid through the worker's reference, which the thread drops last
// (see card_test_start_reader); the thread is left to the console, which
// joins it.
void finish(CardTestSession* session, Reader* reader, ReaderTestState* state) {
    {
        std::lock_guard<std::mutex> lock(session->lock);
        if (state != nullptr) state->ready = 0;
        session->workers.fetch_sub(1);
        reader_close(reader);
        release_state(session, reader);
    }
    session->changed.notify_all();
    console_wake();
}

// Opens the Reader and starts body on it, keeping the thread in the card
// test table. The caller blocks the signals that end card test mode
// meanwhile: the new thread, and the USB library's threads for the Reader,
// inherit the mask. 0, or CARD_TEST_NOT_STARTED with everything undone but the state.
int32_t open_and_run(CardTestSession* session, Reader* reader, card_test_body_fn body) {
    const int r = reader_open(reader);
    if (r != 0) {
        diag(2, "Cfg open: cannot open reader: %d\n", r);
        return CARD_TEST_NOT_STARTED;
    }
    // std::thread reports a failure to start only by throwing.
    try {
        reader_ref(reader); // the worker's, dropped when its body has returned
        card_test_keep_thread(session, reader, std::thread([session, reader, body] {
                                  body(session, reader);
                                  reader_unref(reader);
                              }));
        return 0;
    } catch (const std::system_error& e) {
        diag(1, "Cannot create thread: %s", e.code().message().c_str());
    } catch (const std::bad_alloc&) {
        diag(1, "Cannot create thread: %s", std::strerror(ENOMEM));
    }
    reader_unref(reader);
    reader_close(reader);
    return CARD_TEST_NOT_STARTED;
}

} // namespace

int32_t card_test_start_reader(CardTestSession* session, Reader* reader, card_test_body_fn body) {
    if (reader == nullptr || body == nullptr || reader_is_open(reader))
        return CARD_TEST_NOT_STARTED;
    ReaderTestState* state = new (std::nothrow) ReaderTestState();
    if (state == nullptr) {
        diag(2, "Not enough memory\n");
        return CARD_TEST_NOT_STARTED;
    }
    if (card_test_attach(session, reader, state) != 0) {
        delete state;
        return CARD_TEST_NOT_STARTED;
    }
    sigset_t before;
    terminal_guard_block_signals(&before);
    const int32_t r = open_and_run(session, reader, body);
    terminal_guard_restore_signals(&before);
    if (r != 0) release_state(session, reader);
    return r;
}

int32_t card_test_worker(CardTestSession* session, Reader* reader) {
    ReaderTestState* state = card_test_state(session, reader);
    if (state != nullptr) {
        if (set_up(session, reader, state) == 0) poll_cards(session, reader, state);
        wait_close_turn(session, state);
        card_record_card(&session->record, reader, state, false);
    }
    card_record_event(&session->record, reader, CardRecordEvent::gone);
    finish(session, reader, state);
    return 0;
}

int32_t card_test_restore_protocol(CardTestSession* session, Reader* reader, int32_t protocol) {
    ReaderTestState* state = card_test_state(session, reader);
    if (state == nullptr || state->has_volatile_protocol == 0) return WORKER_NO_VOLATILE_PROTOCOL;
    reader_wait_ready(reader, watch(state));
    char assignment[ASSIGNMENT_SIZE];
    std::snprintf(assignment, sizeof assignment, "%s=%d", PARAM_READERPROTOCOLTMP, protocol);
    int32_t r = reader_set_param(reader, assignment);
    if (r < 0) {
        diag(1, "Cannot set volatile protocol");
        return r;
    }
    state->volatile_protocol = protocol;
    std::snprintf(assignment, sizeof assignment, "%s=1", PARAM_RDRNEEDRESTART);
    r = reader_set_param(reader, assignment);
    if (r < 0) {
        diag(1, "Cannot reset reader");
        return r;
    }
    do {
        pause_ms(RESTORE_RETRY_PAUSE_MS);
        reader_wait_ready(reader, watch(state));
        r = reader_register_callback(reader, CARD_EVENT_READ, CARD_EVENT_REMOVED);
        if (r != 0) {
            diag(2, "Cannot register callback: %d\n", r);
            continue;
        }
        r = read_features(reader, state);
        if (r != 0) diag(2, "Cannot get features: %d\n", r);
        if (r != RDR_BUSY) r = reader_get_module_info(session, reader);
    } while (r == RDR_BUSY && state->stop_requested == 0);
    return r;
}
