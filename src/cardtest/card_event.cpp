// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_event.h"

#include <cstring>
#include <ctime>
#include <mutex>

#include "base/console_wake.h"
#include "base/diag.h"
#include "base/text.h"
#include "cardtest/card_record.h"
#include "cardtest/card_test_table.h"
#include "cardtest/reader_test_state.h"
#include "discovery/reader_list.h"

namespace {

void show_card_number(ReaderTestState* state, uint32_t length, const uint8_t* data) {
    // The reader's text is neither trusted to be terminated nor to fit.
    char number[TEST_TEXT_SIZE];
    text_copy(number, sizeof number, data, data != nullptr ? length : 0);
    diag(2, "CARDNO: '%s'\n", term_safe_text(number).c_str());
    {
        std::lock_guard<std::mutex> lock(state->text_lock);
        std::memcpy(state->card_text, number, sizeof number);
    }
    console_wake();
    state->card_time = std::time(nullptr);
    card_record_card_shown(state);
}

// The previous card's data belongs to a card that is no longer shown.
void show_event_text(ReaderTestState* state, const char* text) {
    {
        std::lock_guard<std::mutex> lock(state->text_lock);
        std::strcpy(state->card_text, text);
        state->card_data[0] = '\0';
    }
    console_wake();
}

} // namespace

int32_t card_test_on_event(void* context, ReaderLink* link, uint16_t code, uint32_t length,
                           const uint8_t* data) {
    // Only the reader list's records are polled in card test mode.
    Reader* reader = static_cast<Reader*>(link);
    auto* session = static_cast<CardTestSession*>(context);
    CardRecord* record = &session->record;
    ReaderTestState* state = card_test_state(session, reader);
    if (state == nullptr) return 0;
    // A card number still unrecorded here came in an earlier callback of
    // this poll, announced during an exchange: no data is fetched for it.
    if (code >= CARD_EVENT_READ && code <= CARD_EVENT_REMOVED)
        card_record_card(record, reader, state, false);
    switch (code) {
    case CARD_EVENT_READ:
        show_card_number(state, length, data);
        break;
    case CARD_EVENT_ERROR:
        diag(2, "CARD ERROR\n");
        show_event_text(state, "Card read error");
        card_record_event(record, reader, CardRecordEvent::error);
        break;
    case CARD_EVENT_REFUSED:
        diag(2, "CARD REFUSED\n");
        show_event_text(state, "Card refused");
        card_record_event(record, reader, CardRecordEvent::refused);
        break;
    case CARD_EVENT_REMOVED:
        diag(2, "CARD REMOVED\n");
        show_event_text(state, "");
        card_record_event(record, reader, CardRecordEvent::removed);
        break;
    default:
        break;
    }
    return 0;
}
