// SPDX-License-Identifier: GPL-2.0-or-later
// Finding readers through hidapi-libusb and libusb on the emulated bus.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "discovery/reader.h"
#include "emu.h"
#include "link/reader_link.h"
#include "usb_rig.h"

namespace {

using emu::usb::usb_counters;

class UsbDiscovery : public UsbReaders {};

TEST_F(UsbDiscovery, EveryReaderIsFoundOnItsConfigurationInterfaceAndNothingElse) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
          "device ser 0x0204\n  serial RD2S008812\n  port 1-4.3\n"
          "device svc 0x0200\n  serial RD2V001234\n  port 1-5\n"
          "device bare 0x0204\n  serial none\n  port 1-6\n"
          "device mouse 0xC077\n  vendor 0x046D\n  port 1-2\n");
    ASSERT_EQ(readers_enumerate(), 4) << "the composite is one reader, the mouse none";
    // libusb lists devices in its own order, not in port order.
    std::set<std::string> found;
    for (int i = 0; i < reader_count(); ++i) {
        const Reader* r = reader_by_index(i);
        found.insert(std::string(r->serial) + " " + r->path + " " +
                     std::to_string(r->model->product_id) + " " +
                     std::to_string(r->model->interface_number));
    }
    EXPECT_EQ(found,
              (std::set<std::string>{" 1-6:1.1 516 1", "RD2K004711 1-4.2:1.1 514 1",
                                     "RD2S008812 1-4.3:1.1 516 1", "RD2V001234 1-5:1.0 512 0"}));
}

TEST_F(UsbDiscovery, CompositeReaderClaimsOnlyItsConfigurationInterface) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n");
    ASSERT_EQ(readers_enumerate(), 1);
    Reader* r = reader_first();
    ASSERT_EQ(reader_open(r), 0);
    auto c = usb_counters(bus, "kbd");
    EXPECT_EQ(c.claimed_config, 1);
    EXPECT_EQ(c.driver_on_config, 0) << "the HID driver was detached from interface 1";
    EXPECT_EQ(c.driver_on_others, 1) << "the keyboard on interface 0 keeps its driver";
    EXPECT_EQ(c.claims, 1) << "only the configuration interface is claimed";
    ASSERT_EQ(reader_close(r), 0);
    c = usb_counters(bus, "kbd");
    EXPECT_EQ(c.claimed_config, 0);
    EXPECT_EQ(c.driver_on_config, 1) << "the driver is given back at close";
    EXPECT_EQ(c.releases, 1);
}

} // namespace
