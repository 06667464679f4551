// SPDX-License-Identifier: GPL-2.0-or-later
// Finding readers, CTL exchanges and callbacks through hidapi-libusb and
// libusb on the emulated bus.
#include <chrono>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>

#include "base/result.h"
#include "cardtest/card_test_table.h"
#include "cardtest/card_test_worker.h"
#include "cardtest/reader_test_state.h"
#include "emu.h"
#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#include "usb_rig.h"

namespace {

CardTestSession card_session;

using emu::usb::usb_counters;
using namespace std::chrono_literals;

class UsbLink : public UsbReaders {};

TEST_F(UsbLink, EveryReaderIsFoundOnItsConfigurationInterfaceAndOnlyThatIsClaimed) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
          "device ser 0x0204\n  serial RD2S008812\n  port 1-4.3\n"
          "device svc 0x0200\n  serial RD2V001234\n  port 1-5\n"
          "device bare 0x0204\n  serial none\n  port 1-6\n"
          "device mouse 0xC077\n  vendor 0x046D\n  port 1-2\n");
    ASSERT_EQ(readers_enumerate(), 4) << "the composite is one reader, the mouse none";
    std::set<std::string> found; // libusb lists devices in its own order
    ReaderSnapshot listed;
    readers_snapshot(&listed);
    for (const Reader* r : std::span(listed.readers, static_cast<size_t>(listed.count)))
        found.insert(std::string(r->serial) + " " + r->path + " " +
                     std::to_string(r->model->product_id) + " " +
                     std::to_string(r->model->interface_number));
    EXPECT_EQ(found,
              (std::set<std::string>{" 1-6:1.1 516 1", "RD2K004711 1-4.2:1.1 514 1",
                                     "RD2S008812 1-4.3:1.1 516 1", "RD2V001234 1-5:1.0 512 0"}));
    Reader* r = reader_by_serial("RD2K004711");
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

// What the handler saw, "code:data".
std::string seen;

int32_t record(void*, ReaderLink*, uint16_t code, uint32_t length, const uint8_t* data) {
    seen = std::to_string(code) + ":" + std::string(reinterpret_cast<const char*>(data), length);
    return 0;
}

// An exchange with input and output, a card callback polled as the card
// test does it, then an unplug.
TEST_F(UsbLink, ExchangeCardCallbackAndUnplug) {
    start("device r1 0x0202\n  extra 0\n  serial RDUSB0002\n"
          "  card \"04A1B2C3\" carddata \"MIFARE\" after 562 delay 0.2\n");
    ASSERT_EQ(readers_enumerate(), 1);
    Reader* r = reader_first();
    ASSERT_EQ(reader_open(r), 0);
    char value[PARAM_VALUE_SIZE] = {};
    ASSERT_EQ(reader_get_param(r, PARAM_FWVERSION, value, sizeof value), 0);
    EXPECT_STREQ(value, "2.14.0");
    EXPECT_EQ(reader_register_callback(r, 1, 2), 0);
    int32_t len = 0, got = 0;
    EXPECT_EQ(reader_ctl(r, FN_TEST_WAIT_CARD, 0, nullptr, &len, nullptr), 0);
    const auto until = std::chrono::steady_clock::now() + 8s; // for the card and the unplug
    while ((got == 0 || got == LINK_TIMEOUT) && std::chrono::steady_clock::now() < until)
        got = reader_poll_callbacks(r, record);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(seen, std::string("1:04A1B2C3", 11));
    ASSERT_EQ(emu::unplug("r1"), 0);
    uint8_t status[4];
    for (got = 0; got != LINK_IO_ERROR && std::chrono::steady_clock::now() < until;) {
        len = sizeof status;
        got = reader_ctl(r, FN_GET_STATUS, 0, nullptr, &len, status);
    }
    EXPECT_EQ(got, LINK_IO_ERROR);
    EXPECT_EQ(reader_close(r), 0);
    EXPECT_EQ(readers_enumerate(), 0) << "the device left sysfs too";
    const auto c = usb_counters(bus, "r1");
    EXPECT_EQ(c.releases, 1) << "hid_close let go of the interface";
    EXPECT_EQ(c.claimed_config, 0);
}

// A card test worker waits long for its idle reader's next report inside
// hidapi-libusb; unplugging the reader ends that wait at once, not when
// it runs out.
TEST_F(UsbLink, CardTestWorkerSeesAnUnplugDuringItsLongWait) {
    start("device r1 0x0202\n  serial RDUSB0003\n  features 1\n");
    ASSERT_EQ(readers_enumerate(), 1);
    Reader* r = reader_first();
    {
        std::lock_guard<std::mutex> lock(card_session.lock);
        ASSERT_EQ(card_test_start_reader(&card_session, r, card_test_worker), 0);
        card_session.workers.fetch_add(1);
    }
    const auto ready = [r] {
        std::lock_guard<std::mutex> lock(card_session.lock);
        const ReaderTestState* s = card_test_state(&card_session, r);
        return s != nullptr && s->ready != 0;
    };
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!ready() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(ready());
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * WORKER_WAIT_MAX_MS + 200));
    const auto unplugged = std::chrono::steady_clock::now();
    ASSERT_EQ(emu::unplug("r1"), 0);
    while (reader_is_open(r) && std::chrono::steady_clock::now() < until + 5s)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(reader_is_open(r));
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged,
              std::chrono::milliseconds(WORKER_WAIT_MAX_MS) / 2);
    card_test_join_all(&card_session);
    EXPECT_EQ(card_session.workers.load(), 0);
    EXPECT_EQ(usb_counters(bus, "r1").claimed_config, 0) << "the worker closed its reader";
}

} // namespace
