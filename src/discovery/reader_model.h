// SPDX-License-Identifier: GPL-2.0-or-later
// The table of reader personalities the program accepts.
#pragma once

#include <cstdint>

// Vendor ID that every reader presents on USB, whatever its personality.
inline constexpr uint16_t READER_VENDOR_ID = 0xF1E0;
inline constexpr int READER_MODEL_COUNT = 15;

// One personality (product ID) of the reader; constant, never copied.
struct ReaderModel {
    uint16_t vendor_id;
    uint16_t product_id;
    int32_t mode;
    const char* name;
    const char* description;
    const char* tag;
    uint8_t interface_number; // HID interface that carries the configuration link
    uint8_t can_get_config;
    uint8_t can_update_firmware;
    uint8_t can_update_service_firmware;
    uint8_t can_test_cards;
};

extern const ReaderModel reader_models[READER_MODEL_COUNT];

// The first row matching all three identifiers, or nullptr.
const ReaderModel* reader_model_find(uint16_t vendor_id, uint16_t product_id, int interface_number);
