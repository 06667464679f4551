// SPDX-License-Identifier: GPL-2.0-or-later
// The lines the card test console draws for one reader under test, formed
// from a copy of what the reader's worker has published.
#pragma once

#include <cstdint>

#include "cardtest/reader_test_state.h"
#include "discovery/reader_list.h"

// Every line is formatted into this many bytes, so at most 79 characters
// are shown; the console pads it to 80 columns.
inline constexpr int CARD_LINE_SIZE = 80;
inline constexpr int MFP_DATA_BYTES = 16;

// A consistent copy of one drawn Reader, taken under the session's lock.
struct ReaderView {
    char serial[READER_SERIAL_SIZE];
    const char* tag; // the model's tag, a constant text
    uint8_t ready;
    int32_t status;
    uint8_t usb_mode;
    uint8_t km_mode;
    uint32_t features;
    char module_text[TEST_TEXT_SIZE];
    char protocol_text[TEST_TEXT_SIZE];
    char card_text[TEST_TEXT_SIZE];
    char card_data[TEST_TEXT_SIZE];
};

// Everything the console draws in one iteration: the open Readers in list
// order, copied under the session's lock.
struct ConsoleFrame {
    ReaderView views[READER_LIST_MAX];
    int count;
};

// Serial, tag and status text while setting up; with KM suffix, module and
// protocol texts once ready. Returns the characters in line; never fails.
int card_line_reader(const ReaderView& view, char (&line)[CARD_LINE_SIZE]);
// Empty while setting up; else the CARD line with the time-out mark, the
// card text (or "none") and the card data.
int card_line_card(const ReaderView& view, char (&line)[CARD_LINE_SIZE]);
// Whether the reader gets the MFP DATA line (KM USB readers only).
bool card_line_has_data(const ReaderView& view);
// "  MFP DATA: " and, with a card shown, its 16 data bytes in hex.
int card_line_data(const ReaderView& view, char (&line)[CARD_LINE_SIZE]);
// The 16 data bytes of card_text: hex digits (KM modes 1 and 2, the last
// 32 characters, a non-digit counting as F) or character codes (the last
// 16 characters); 0xFF where the text ends. 0; never fails.
int card_mfp_bytes(const char* card_text, uint8_t km_mode, uint8_t (&bytes)[MFP_DATA_BYTES]);
