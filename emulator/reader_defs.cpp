#include "reader_defs.h"

#include <iterator>

namespace emu::detail {

namespace {

// The firmware personalities a reader can present, with the interface its
// configuration link sits on. USB class personalities keep interface 0 for
// the class function and carry the link on interface 1.
constexpr Personality PERSONALITIES[] = {
    {0x0200, 0, -1, "USB service firmware"},
    {0x0201, 0, 0, "RS232 reader"},
    {0x0202, 1, 1, "USB keyboard"},
    {0x0203, 1, 2, "KM USB reader"},
    {0x0204, 1, 3, "USB COM port"},
    {0x0205, 1, 4, "USB Sharp reader"},
    {0x0206, 1, 5, "USB SmartCard CCID"},
    {0x0207, 0, 6, "FX EPA reader"},
    {0x0309, 0, 7, "USB HP reader"},
    {0x030A, 1, 8, "USB reader tester"},
    {0x020B, 1, 9, "reader module serial bridge"},
    {0x020C, 1, 10, "USB HIDRAW reader"},
    {0x030B, 1, 11, "USB BLE test server"},
    {0x02FE, 0, -1, "EPA tester"},
    {0x02FF, 0, -1, "production flasher"},
};

} // namespace

const Personality* find_personality(uint16_t product) {
    for (const Personality& p : PERSONALITIES)
        if (p.product == product) return &p;
    return nullptr;
}

const Personality* personality_for_mode(int usb_mode) {
    if (usb_mode < 0) return nullptr;
    for (const Personality& p : PERSONALITIES)
        if (p.usb_mode == usb_mode) return &p;
    return nullptr;
}

} // namespace emu::detail
