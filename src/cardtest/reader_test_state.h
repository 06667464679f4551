// SPDX-License-Identifier: GPL-2.0-or-later
// The per-reader record of card test mode, shared by the reader's worker
// (writer) and the card test console (reader of what is shown).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

inline constexpr int TEST_TEXT_SIZE = 256;
inline constexpr uint32_t FEATURE_REMOVAL_EVENTS = 0x1; // reader reports card removal (code 4)

// Made by the console when it starts the worker, released by the worker
// at its end under the session's lock (card_test_table).
struct ReaderTestState {
    // The four texts: written by the worker (and its card event handler,
    // which runs on it), copied by the console; text_lock makes every copy
    // whole and terminated.
    std::mutex text_lock;
    char card_text[TEST_TEXT_SIZE] = {};
    char card_data[TEST_TEXT_SIZE] = {};
    char protocol_text[TEST_TEXT_SIZE] = {};
    char module_text[TEST_TEXT_SIZE] = {};
    // Written by the worker, read by the console as it draws: each alone,
    // atomic (sequentially consistent); the console wakes after a change.
    std::atomic<uint32_t> features{0};
    std::atomic<uint8_t> usb_mode{0};
    std::atomic<uint8_t> km_mode{0};
    std::atomic<uint8_t> ready{0};
    std::atomic<int32_t> status{0};
    // Worker thread only (its card event handler included).
    uint8_t card_present = 0;
    time_t card_time = 0;
    int32_t saved_protocol = 0;
    int32_t volatile_protocol = 0;
    int32_t has_volatile_protocol = 0;
    // Written by the console (and a test) to ask the worker to end, read by
    // the worker between its waits; atomic.
    std::atomic<uint8_t> stop_requested{0};
    // Set by the console with stop_requested when it ends card test mode,
    // cleared by it under the session's lock with session->changed
    // notified: the worker then closes its Reader, so that the Readers
    // close one after another in list order.
    std::atomic<uint8_t> close_held{0};
    // Worker thread only: card_text holds a card number that the bench
    // record (card_record) has not been given yet.
    uint8_t card_unrecorded = 0;
};
