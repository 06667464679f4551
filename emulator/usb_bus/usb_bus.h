// SPDX-License-Identifier: GPL-2.0-or-later
// The emulated readers as USB devices under umockdev: each reader of the
// loaded scenario appears in a fake sysfs with its device, configuration,
// interface, HID, endpoint and string descriptors, and its usbdevfs node
// answers the ioctls libusb sends. Behind the interrupt endpoints runs the
// reader emulator's own protocol engine and model (device.h), so a program
// using the real hidapi-libusb and libusb talks to the same reader the
// hidapi-level emulator offers.
//
// The process must run with libumockdev-preload.so in LD_PRELOAD
// (umockdev-wrapper); child processes started with the same environment
// see the same bus. The emu.h control interface steers and inspects the
// readers as usual (emu::unplug, emu::exchanges, ...).
#pragma once

#include <string>
#include <string_view>

namespace emu::usb {

struct UsbBus;

// What the host did to one reader at the USB level since it was plugged.
struct UsbCounters {
    int claims = 0;           // CLAIMINTERFACE, any interface
    int releases = 0;         // RELEASEINTERFACE
    int string_requests = 0;  // GET_DESCRIPTOR for a string
    int reports_out = 0;      // interrupt OUT transfers on the configuration interface
    int claimed_config = 0;   // 1 while the configuration interface is claimed
    int driver_on_config = 0; // 1 while the kernel's HID driver holds it
    int driver_on_others = 0; // interfaces other than the configuration one still bound
};

// Loads the scenario into the reader emulator and starts the bus with the
// readers present at the start. nullptr with the reason in err when the
// scenario does not load, the process is not under umockdev's preload
// library, or the testbed cannot be built.
UsbBus* usb_bus_start(std::string_view scenario, std::string& err);
// Removes every device and the testbed. Open handles in this process must
// be closed first. Accepts nullptr.
void usb_bus_stop(UsbBus* bus);
// Counters of the reader named in the scenario in its current (or last)
// appearance on the bus; all zero for an unknown name.
UsbCounters usb_counters(UsbBus* bus, std::string_view device);
// true when libumockdev-preload.so is active in this process; else false
// with the reason in why.
bool usb_mock_active(std::string& why);

// Owns a bus for one scope.
struct UsbBusScope {
    UsbBus* bus = nullptr;
    UsbBusScope() = default;
    explicit UsbBusScope(UsbBus* started) : bus(started) {}
    UsbBusScope(const UsbBusScope&) = delete;
    UsbBusScope& operator=(const UsbBusScope&) = delete;
    ~UsbBusScope() { usb_bus_stop(bus); }
};

} // namespace emu::usb
