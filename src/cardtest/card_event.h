// SPDX-License-Identifier: GPL-2.0-or-later
// Card events a reader under test announces as callbacks, turned into the
// texts the card test console shows.
#pragma once

#include <cstdint>

struct ReaderLink;

// Callback codes the reader registers for in card test mode.
inline constexpr uint16_t CARD_EVENT_READ = 1;    // data: the card number as text
inline constexpr uint16_t CARD_EVENT_ERROR = 2;   // card read error
inline constexpr uint16_t CARD_EVENT_REFUSED = 3; // card refused
inline constexpr uint16_t CARD_EVENT_REMOVED = 4; // card removed

// Handler for reader_poll_callbacks (reader_callback_fn), its context the
// CardTestSession: records the event
// in the Reader's test state, wakes the console to show it, traces it at
// verbosity 2 and writes it to the bench record, a card number once the
// worker knows its data. A card number
// without data empties card_text (nothing readable was reported). Other
// codes, and a Reader without a test state, change nothing. Always 0.
// Runs on the Reader's worker thread with no lock held; takes text_lock.
int32_t card_test_on_event(void* context, ReaderLink* link, uint16_t code, uint32_t length,
                           const uint8_t* data);
