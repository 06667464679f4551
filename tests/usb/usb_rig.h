// SPDX-License-Identifier: GPL-2.0-or-later
// Test fixture: the program's reader layer, the system's hidapi-libusb and
// libusb, and emulated readers on umockdev's fake USB bus, in one process.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "discovery/reader_list.h"
#include "usb_bus.h"

class UsbReaders : public ::testing::Test {
  protected:
    // Skips the test when umockdev's preload library is not active.
    void SetUp() override {
        std::string why;
        if (!emu::usb::usb_mock_active(why)) GTEST_SKIP() << "umockdev cannot run here: " << why;
    }
    // Ends the HID library (libusb with it) before the bus goes, so that the
    // next test's libusb scans the next bus afresh.
    void TearDown() override {
        if (bus == nullptr) return;
        readers_exit();
        emu::usb::usb_bus_stop(bus);
        bus = nullptr;
    }
    // Puts the scenario's readers on the bus; fails the test when it cannot.
    void start(std::string_view scenario) {
        std::string err;
        bus = emu::usb::usb_bus_start(scenario, err);
        ASSERT_NE(bus, nullptr) << err;
        readers_init();
    }
    emu::usb::UsbBus* bus = nullptr;
};
