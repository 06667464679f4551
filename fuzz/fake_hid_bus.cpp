// SPDX-License-Identifier: GPL-2.0-or-later
// The bus behind the scripted hidapi: one reader, whose personality the
// script chooses at each enumeration.
#include <hidapi.h>

#include <algorithm>
#include <cstdio>

#include "discovery/reader_model.h"
#include "fake_hid.h"

namespace {

hid_device_info listed;
char listed_path[32];
wchar_t listed_serial[] = L"FZ0001";

} // namespace

extern "C" {
// One reader whose path carries the interface number, as on a real bus: a
// restart into another personality makes a new path.
hid_device_info* hid_enumerate(unsigned short, unsigned short) {
    const unsigned k = std::min<unsigned>(fake_hid.enumerations++, FAKE_ENUMERATIONS - 1);
    const unsigned index = fake_hid.products[k];
    if (index >= static_cast<unsigned>(READER_MODEL_COUNT)) return nullptr;
    const ReaderModel& model = reader_models[index];
    std::snprintf(listed_path, sizeof listed_path, "1-1:1.%d", model.interface_number);
    listed = hid_device_info{};
    listed.path = listed_path;
    listed.vendor_id = model.vendor_id;
    listed.product_id = model.product_id;
    listed.serial_number = listed_serial;
    listed.interface_number = model.interface_number;
    return &listed;
}
void hid_free_enumeration(hid_device_info*) {}
}
