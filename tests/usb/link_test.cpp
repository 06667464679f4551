// SPDX-License-Identifier: GPL-2.0-or-later
// CTL exchanges and callbacks through hidapi-libusb's interrupt transfers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/reader.h"
#include "emu.h"
#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#include "usb_rig.h"

namespace {

using emu::usb::usb_counters;

const char* const SERIAL_READER = "device r1 0x0204\n  serial RDUSB0001\n";

class UsbLink : public UsbReaders {
  protected:
    Reader* open_first(std::string_view scenario) {
        start(scenario);
        if (readers_enumerate() < 1) return nullptr;
        Reader* r = reader_first();
        return reader_open(r) == 0 ? r : nullptr;
    }
};

TEST_F(UsbLink, InputAndOutputOfManyReportsAndManyExchangesArriveWhole) {
    Reader* r = open_first(SERIAL_READER);
    ASSERT_NE(r, nullptr);
    char value[PARAM_VALUE_SIZE] = {};
    ASSERT_EQ(reader_get_param(r, PARAM_FWVERSION, value, sizeof value), 0);
    EXPECT_STREQ(value, "2.14.0") << "input and output in one exchange";
    std::string cfg;
    for (int i = 0; cfg.size() < 5000; ++i)
        cfg += "LINE" + std::to_string(i) + "=" + std::string(i % 50, 'x') + "\n";
    int32_t len = 0;
    ASSERT_EQ(reader_ctl(r, FN_SET_CONFIG, static_cast<int32_t>(cfg.size()),
                         reinterpret_cast<const uint8_t*>(cfg.data()), &len, nullptr),
              0);
    const auto stored = emu::config_file("r1");
    EXPECT_EQ(std::string(stored.begin(), stored.end()), cfg);
    std::vector<uint8_t> back(8192);
    len = static_cast<int32_t>(back.size());
    ASSERT_EQ(reader_ctl(r, FN_GET_CONFIG, 0, nullptr, &len, back.data()), 0);
    EXPECT_EQ(std::string(back.begin(), back.begin() + len), cfg);
    for (int i = 0; i < 50; ++i) {
        uint8_t status[4];
        len = sizeof status;
        ASSERT_EQ(reader_ctl(r, FN_GET_STATUS, 0, nullptr, &len, status), 0) << "exchange " << i;
        ASSERT_EQ(len, 4);
    }
    EXPECT_EQ(emu::exchanges("r1").size(), 53u);
}

// What the handler saw, "code:data".
std::string seen;

int32_t record(Reader*, uint16_t code, uint32_t length, const uint8_t* data) {
    seen = std::to_string(code) + ":" +
           (data ? std::string(reinterpret_cast<const char*>(data), length) : "");
    return 0;
}

TEST_F(UsbLink, CardCallbackIsPolledAsTheCardTestDoes) {
    Reader* r = open_first("device r1 0x0202\n  extra 0\n  serial RDUSB0002\n"
                           "  card \"04A1B2C3\" carddata \"MIFARE\" after 562 delay 0.2\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(reader_register_callback(r, 1, 2), 0);
    int32_t len = 0;
    EXPECT_EQ(reader_ctl(r, FN_TEST_WAIT_CARD, 0, nullptr, &len, nullptr), 0);
    int32_t got = 0;
    const double until = usb_now_ms() + 3000;
    while (got <= 0 && usb_now_ms() < until) {
        got = reader_poll_callbacks(r, record);
        if (got == LINK_TIMEOUT) got = 0;
        ASSERT_GE(got, 0);
    }
    EXPECT_EQ(got, 1);
    EXPECT_EQ(seen, std::string("1:04A1B2C3", 11));
    const auto cbs = emu::callbacks("r1");
    ASSERT_EQ(cbs.size(), 1u);
    EXPECT_EQ(cbs[0].outcome, "done");
}

TEST_F(UsbLink, UnpluggedReaderFailsWithUsbErrorAndClosesCleanly) {
    Reader* r = open_first(SERIAL_READER);
    ASSERT_NE(r, nullptr);
    uint8_t status[4];
    int32_t len = sizeof status;
    ASSERT_EQ(reader_ctl(r, FN_GET_STATUS, 0, nullptr, &len, status), 0);
    ASSERT_EQ(emu::unplug("r1"), 0);
    const double start = usb_now_ms();
    int32_t result = 0;
    while (result != LINK_IO_ERROR && usb_now_ms() - start < 5000) {
        len = sizeof status;
        result = reader_ctl(r, FN_GET_STATUS, 0, nullptr, &len, status);
    }
    EXPECT_EQ(result, LINK_IO_ERROR);
    EXPECT_EQ(reader_close(r), 0);
    EXPECT_EQ(readers_enumerate(), 0) << "the device left sysfs too";
    const auto c = usb_counters(bus, "r1");
    EXPECT_EQ(c.releases, 1) << "hid_close let go of the interface";
    EXPECT_EQ(c.claimed_config, 0);
}

} // namespace
