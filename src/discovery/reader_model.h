// SPDX-License-Identifier: GPL-2.0-or-later
// The table of reader personalities the program accepts.
#pragma once

#include <cstdint>
#include <iterator>

// Vendor ID that every reader presents on USB, whatever its personality.
inline constexpr uint16_t READER_VENDOR_ID = 0xF1E0;

// One personality (product ID) of the reader; constant, never copied.
struct ReaderModel {
    uint16_t vendor_id = READER_VENDOR_ID;
    uint16_t product_id;
    uint8_t interface_number; // HID interface that carries the configuration link
    int32_t mode;
    const char* name;
    const char* description;
    const char* tag;
    uint8_t can_get_config = 0;
    uint8_t can_update_firmware = 0;
    uint8_t can_update_service_firmware = 0;
    uint8_t can_test_cards = 0;
};

// Rows in the order enumeration tries them; flags not given are 0.
// clang-format off
inline constexpr ReaderModel reader_models[] = {
    {.product_id = 0x0200, .interface_number = 0, .mode = -1, .name = "USB service firmware",
     .description = "USB reader v2/v3 (service fw)", .tag = "service",
     .can_update_firmware = 1},
    {.product_id = 0x0201, .interface_number = 0, .mode = 0, .name = "RS232 reader",
     .description = "USB reader v2/v3 (serial output)", .tag = "serial",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x0202, .interface_number = 1, .mode = 1, .name = "USB keyboard",
     .description = "USB reader v2/v3 (usb keyboard class)", .tag = "usb KBD",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x0203, .interface_number = 1, .mode = 2, .name = "KM USB reader",
     .description = "USB reader v2/v3 (usb km embedded class)", .tag = "usb KM",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x0204, .interface_number = 1, .mode = 3, .name = "USB COM port",
     .description = "USB reader v2/v3 (usb serial class)", .tag = "usb SER.",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x0205, .interface_number = 1, .mode = 4, .name = "USB Sharp reader",
     .description = "USB reader v2/v3 (usb sharp embedded class)", .tag = "usb SHARP",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x0206, .interface_number = 1, .mode = 5, .name = "USB SmartCard CCID",
     .description = "USB reader v2/v3 (usb CCID class)", .tag = "usb CCID",
     .can_get_config = 1, .can_update_service_firmware = 1},
    {.product_id = 0x0207, .interface_number = 0, .mode = 6, .name = "FX EPA reader",
     .description = "USB reader v2 (FX EPA Reader)", .tag = "EPA",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x0309, .interface_number = 0, .mode = 7, .name = "USB HP reader",
     .description = "USB reader v3 (usb hp class)", .tag = "usb HP",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x030A, .interface_number = 1, .mode = 8, .name = "USB reader tester",
     .description = "USB reader v3 (usb rdtester class)", .tag = "usb rdtester",
     .can_get_config = 1, .can_update_service_firmware = 1},
    {.product_id = 0x020B, .interface_number = 1, .mode = 9, .name = "reader module serial bridge",
     .description = "USB reader v2/v3 (usb reader bridge)", .tag = "usb SERBR.",
     .can_get_config = 1, .can_update_service_firmware = 1},
    {.product_id = 0x020C, .interface_number = 1, .mode = 10, .name = "USB HIDRAW reader",
     .description = "USB reader v2/v3 (usb hidraw class)", .tag = "usb HIDRAW",
     .can_get_config = 1, .can_update_service_firmware = 1, .can_test_cards = 1},
    {.product_id = 0x030B, .interface_number = 1, .mode = 11, .name = "USB BLE test server",
     .description = "USB reader v3 (usb ble test server class)", .tag = "ble server",
     .can_get_config = 1, .can_update_service_firmware = 1},
    {.product_id = 0x02FE, .interface_number = 0, .mode = -2, .name = "EPA tester",
     .description = "USB reader v2 (EPA tester)", .tag = "EPAtst",
     .can_update_service_firmware = 1},
    {.product_id = 0x02FF, .interface_number = 0, .mode = -1, .name = "production flasher",
     .description = "USB reader v2/v3 (production flasher)", .tag = "flasher",
     .can_update_service_firmware = 1},
};
// clang-format on
inline constexpr int READER_MODEL_COUNT = static_cast<int>(std::size(reader_models));

// The first row matching all three identifiers, or nullptr.
const ReaderModel* reader_model_find(uint16_t vendor_id, uint16_t product_id, int interface_number);
