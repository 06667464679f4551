// SPDX-License-Identifier: GPL-2.0-or-later
// The per-reader record of card test mode, shared by the reader's worker
// (writer) and the card test console (reader of what is shown).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

inline constexpr int TEST_TEXT_SIZE = 256;

struct ReaderTestState {
    // The four texts are written by the worker thread and copied by the
    // console; text_lock makes every copy whole and terminated.
    std::mutex text_lock;
    char card_text[TEST_TEXT_SIZE] = {};
    uint8_t card_present = 0;
    char card_data[TEST_TEXT_SIZE] = {};
    char protocol_text[TEST_TEXT_SIZE] = {};
    char module_text[TEST_TEXT_SIZE] = {};
    std::atomic<uint32_t> features{0};
    time_t card_time = 0;
    std::atomic<uint8_t> usb_mode{0};
    std::atomic<uint8_t> km_mode{0};
    int32_t saved_protocol = 0;
    int32_t volatile_protocol = 0;
    int32_t has_volatile_protocol = 0;
    std::atomic<uint8_t> stop_requested{0};
    // Set by the console with stop_requested when it ends card test mode:
    // the worker then closes its Reader only once the console clears it,
    // so that the Readers close one after another in list order.
    std::atomic<uint8_t> close_held{0};
    std::atomic<uint8_t> ready{0};
    std::atomic<int32_t> status{0};
    // Worker thread only: card_text holds a card number that the bench
    // record (card_record) has not been given yet.
    uint8_t card_unrecorded = 0;
};
