// Finding readers through hidapi-libusb and libusb on the emulated bus.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "discovery/reader.h"
#include "emu.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#include "usb_rig.h"

namespace {

using emu::usb::usb_counters;

class UsbDiscovery : public UsbReaders {};

TEST_F(UsbDiscovery, SerialReaderIsFoundWithInterfaceSerialAndPortPath) {
    start("device ser 0x0204\n  serial RD2S008812\n  port 1-4.3\n");
    ASSERT_EQ(readers_enumerate(), 1);
    Reader* r = reader_first();
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->path, "1-4.3:1.1");
    EXPECT_STREQ(r->serial, "RD2S008812");
    ASSERT_NE(r->model, nullptr);
    EXPECT_EQ(r->model->product_id, 0x0204);
    EXPECT_EQ(r->model->interface_number, 1);
    EXPECT_GE(usb_counters(bus, "ser").string_requests, 2) << "hidapi read the strings";
}

TEST_F(UsbDiscovery, ServiceFirmwareIsFoundOnInterfaceZero) {
    start("device svc 0x0200\n  serial RD2V001234\n  port 1-5\n");
    ASSERT_EQ(readers_enumerate(), 1);
    EXPECT_STREQ(reader_first()->path, "1-5:1.0");
    EXPECT_EQ(reader_first()->model->interface_number, 0);
}

TEST_F(UsbDiscovery, CompositeKeyboardReaderYieldsOneReaderOnItsConfigurationInterface) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n");
    ASSERT_EQ(readers_enumerate(), 1);
    Reader* r = reader_first();
    EXPECT_STREQ(r->path, "1-4.2:1.1");
    EXPECT_STREQ(r->serial, "RD2K004711");
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

TEST_F(UsbDiscovery, ReaderWithoutSerialStringIsListedWithAnEmptySerial) {
    start("device ser 0x0204\n  serial none\n");
    ASSERT_EQ(readers_enumerate(), 1);
    EXPECT_STREQ(reader_first()->serial, "");
    EXPECT_STREQ(reader_first()->path, "1-1:1.1");
}

TEST_F(UsbDiscovery, OtherVendorsAndHubsAreNotReaders) {
    start("device mouse 0xC077\n  vendor 0x046D\n  port 1-2\n"
          "device ser 0x0204\n  serial RD2S1\n  port 1-3\n");
    ASSERT_EQ(readers_enumerate(), 1);
    EXPECT_STREQ(reader_first()->serial, "RD2S1");
}

TEST_F(UsbDiscovery, ThreeReadersOnOneHubAreAllListed) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
          "device ser 0x0204\n  serial RD2S008812\n  port 1-4.3\n"
          "device svc 0x0200\n  serial RD2V001234\n  port 1-5\n");
    ASSERT_EQ(readers_enumerate(), 3);
    // libusb lists devices in its own order, not in port order.
    std::set<std::string> found;
    for (int i = 0; i < 3; ++i)
        found.insert(std::string(reader_by_index(i)->serial) + " " + reader_by_index(i)->path);
    EXPECT_EQ(found, (std::set<std::string>{"RD2K004711 1-4.2:1.1", "RD2S008812 1-4.3:1.1",
                                            "RD2V001234 1-5:1.0"}));
}

} // namespace

namespace {

class UsbRestart : public UsbReaders {};

// Polls the enumeration until a reader with this path shows up.
Reader* wait_for_path(const char* path, double timeout_ms) {
    const double until = usb_now_ms() + timeout_ms;
    while (usb_now_ms() < until) {
        readers_enumerate();
        for (int i = 0; i < reader_count(); ++i)
            if (std::string(reader_by_index(i)->path) == path) return reader_by_index(i);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

TEST_F(UsbRestart, ReaderReturnsInServiceFirmwareOnInterfaceZeroWithTheSameSerial) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
          "  service_delay 0.3\n");
    ASSERT_EQ(readers_enumerate(), 1);
    Reader* r = reader_first();
    ASSERT_EQ(reader_open(r), 0);
    int32_t len = 0;
    ASSERT_EQ(reader_ctl(r, FN_ENTER_SERVICE, 0, nullptr, &len, nullptr), 0);
    ASSERT_EQ(reader_close(r), 0);
    Reader* back = wait_for_path("1-4.2:1.0", 5000);
    ASSERT_NE(back, nullptr) << "libusb saw the device leave and come back";
    EXPECT_STREQ(back->serial, "RD2K004711");
    EXPECT_EQ(back->model->product_id, 0x0200);
    ASSERT_EQ(reader_open(back), 0);
    uint8_t status[4];
    len = sizeof status;
    EXPECT_EQ(reader_ctl(back, FN_GET_STATUS, 0, nullptr, &len, status), 0);
    EXPECT_EQ(reader_close(back), 0);
    EXPECT_EQ(emu::restarts("kbd"), 1);
}

} // namespace
