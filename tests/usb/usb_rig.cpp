// SPDX-License-Identifier: GPL-2.0-or-later
#include "usb_rig.h"

#include "cli/tool_settings.h"
#include "discovery/reader.h"

void UsbReaders::SetUp() {
    std::string why;
    if (!emu::usb::usb_mock_active(why)) GTEST_SKIP() << "umockdev cannot run here: " << why;
    tool_settings = ToolSettings{};
    diag_verbosity = 0;
}

void UsbReaders::TearDown() {
    if (bus == nullptr) return;
    readers_exit();
    emu::usb::usb_bus_stop(bus);
    bus = nullptr;
    tool_settings = ToolSettings{};
    diag_verbosity = 0;
}

void UsbReaders::start(std::string_view scenario) {
    std::string err;
    bus = emu::usb::usb_bus_start(scenario, err);
    ASSERT_NE(bus, nullptr) << err;
    readers_init();
}
