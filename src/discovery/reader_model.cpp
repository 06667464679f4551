// SPDX-License-Identifier: GPL-2.0-or-later
#include "discovery/reader_model.h"

// clang-format off
const ReaderModel reader_models[READER_MODEL_COUNT] = {
    {READER_VENDOR_ID, 0x0200, -1, "USB service firmware", "USB reader v2/v3 (service fw)", "service", 0, 0, 1, 0, 0},
    {READER_VENDOR_ID, 0x0201, 0, "RS232 reader", "USB reader v2/v3 (serial output)", "serial", 0, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x0202, 1, "USB keyboard", "USB reader v2/v3 (usb keyboard class)", "usb KBD", 1, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x0203, 2, "KM USB reader", "USB reader v2/v3 (usb km embedded class)", "usb KM", 1, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x0204, 3, "USB COM port", "USB reader v2/v3 (usb serial class)", "usb SER.", 1, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x0205, 4, "USB Sharp reader", "USB reader v2/v3 (usb sharp embedded class)", "usb SHARP", 1, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x0206, 5, "USB SmartCard CCID", "USB reader v2/v3 (usb CCID class)", "usb CCID", 1, 1, 0, 1, 0},
    {READER_VENDOR_ID, 0x0207, 6, "FX EPA reader", "USB reader v2 (FX EPA Reader)", "EPA", 0, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x0309, 7, "USB HP reader", "USB reader v3 (usb hp class)", "usb HP", 0, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x030A, 8, "USB reader tester", "USB reader v3 (usb rdtester class)", "usb rdtester", 1, 1, 0, 1, 0},
    {READER_VENDOR_ID, 0x020B, 9, "reader module serial bridge", "USB reader v2/v3 (usb reader bridge)", "usb SERBR.", 1, 1, 0, 1, 0},
    {READER_VENDOR_ID, 0x020C, 10, "USB HIDRAW reader", "USB reader v2/v3 (usb hidraw class)", "usb HIDRAW", 1, 1, 0, 1, 1},
    {READER_VENDOR_ID, 0x030B, 11, "USB BLE test server", "USB reader v3 (usb ble test server class)", "ble server", 1, 1, 0, 1, 0},
    {READER_VENDOR_ID, 0x02FE, -2, "EPA tester", "USB reader v2 (EPA tester)", "EPAtst", 0, 0, 0, 1, 0},
    {READER_VENDOR_ID, 0x02FF, -1, "production flasher", "USB reader v2/v3 (production flasher)", "flasher", 0, 0, 0, 1, 0},
};
// clang-format on

const ReaderModel* reader_model_find(uint16_t vendor_id, uint16_t product_id,
                                     int interface_number) {
    for (const ReaderModel& row : reader_models) {
        if (row.vendor_id == vendor_id && row.product_id == product_id &&
            row.interface_number == interface_number)
            return &row;
    }
    return nullptr;
}
