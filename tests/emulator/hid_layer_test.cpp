// SPDX-License-Identifier: GPL-2.0-or-later
// The hidapi behaviour of the emulated bus: enumeration, opening, reading,
// writing, unplugging, queue limits and threads.
#include <atomic>
#include <cwchar>
#include <string>
#include <thread>

#include "host.h"

using namespace host;

namespace {

const char* const THREE_DEVICES = R"(
device kbd 0x0202
  extra 0
  serial RD1
device ser 0x0204
  serial none
device mouse 0xC077
  vendor 0x046D
)";

// "PATH VID:PID IF SERIAL" per interface; SERIAL "-" for NULL.
std::vector<std::string> enumerate(unsigned short vid = 0, unsigned short pid = 0) {
    std::vector<std::string> out;
    hid_device_info* list = hid_enumerate(vid, pid);
    char buf[300];
    for (hid_device_info* d = list; d != nullptr; d = d->next) {
        std::snprintf(buf, sizeof buf, "%s %04x:%04x %d %ls %u/%u", d->path, d->vendor_id,
                      d->product_id, d->interface_number,
                      d->serial_number ? d->serial_number : L"-", d->usage_page, d->usage);
        out.push_back(buf);
    }
    hid_free_enumeration(list);
    return out;
}

} // namespace

class HidLayer : public EmuTest<> {};

TEST_F(HidLayer, EnumerationListsEveryInterfaceInScenarioOrder) {
    EXPECT_TRUE(enumerate().empty());
    load(THREE_DEVICES);
    EXPECT_EQ(enumerate(), (std::vector<std::string>{
                               "1-1:1.0 f1e0:0202 0 RD1 0/0", "1-1:1.1 f1e0:0202 1 RD1 0/0",
                               "1-2:1.1 f1e0:0204 1 - 0/0", "1-3:1.0 046d:c077 0  0/0"}));
    EXPECT_EQ(enumerate(0xF1E0, 0x0204), (std::vector<std::string>{"1-2:1.1 f1e0:0204 1 - 0/0"}));
}

TEST_F(HidLayer, InterfaceOpensByExactPathOnceAtATime) {
    load(THREE_DEVICES);
    hid_device* h = open_path("1-1:1.1");
    ASSERT_NE(h, nullptr);
    for (const char* p : {"1-1:1.1", "1-1:1.9", "1-1:1.1 "})
        EXPECT_EQ(hid_open_path(p), nullptr) << p;
    EXPECT_NE(open_path("1-1:1.0"), nullptr); // the keyboard interface is separate
    close(h);
    EXPECT_FALSE(emu::is_open("kbd"));
    hid_device* by_serial = hid_open(0xF1E0, 0x0202, L"RD1");
    EXPECT_TRUE(emu::is_open("kbd"));
    hid_close(by_serial);
    wchar_t buf[32];
    EXPECT_EQ(hid_get_serial_number_string(open("ser"), buf, 32), -1);
}

TEST_F(HidLayer, ReadsWaitForTheTimeOutAndCutTheReportToTheBuffer) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    auto t = std::chrono::steady_clock::now();
    int rc = 1;
    recv(h, 60, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_GE(ms_since(t), 59);
    EXPECT_LT(ms_since(t), 300);
    unsigned char b[65];
    ASSERT_EQ(hid_set_nonblocking(h, 1), 0);
    EXPECT_EQ(hid_read(h, b, sizeof b), 0);
    send(h, request(562, 0, 0));
    EXPECT_EQ(recv(h, 500, &rc, 5), (Bytes{0x8B, 2, 0, 0, 0}));
    EXPECT_EQ(hid_read(h, b, sizeof b), 64);
}

TEST_F(HidLayer, UnplugHandsOutQueuedReportsThenFails) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    send(h, request(562, 0, 0)); // CTL_ACK and CTL_DONE are queued
    ASSERT_EQ(emu::unplug("kbd"), 0);
    EXPECT_FALSE(emu::present("kbd"));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 0));
    int rc = 0;
    recv(h, 100, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(send(h, request(562, 0, 0)), -1);
    EXPECT_EQ(enumerate().size(), 2u);
    ASSERT_EQ(emu::plug("kbd"), 0);
    EXPECT_EQ(enumerate().size(), 4u);
    recv(h, 10, &rc);
    EXPECT_EQ(rc, -1); // the old handle stays dead
    hid_device* again = open("kbd");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ctl(again, 562).result, 0);
}

TEST_F(HidLayer, ScheduledAppearAndDisappear) {
    load("device a 0x0204\n  appear 0.1\n  disappear 0.3\ndevice b 0x0204\n");
    EXPECT_EQ(enumerate().size(), 1u);
    sleep_ms(150);
    EXPECT_EQ(enumerate().front(), "1-1:1.1 f1e0:0204 1  0/0");
    sleep_ms(200);
    EXPECT_EQ(enumerate().size(), 1u);
}

TEST_F(HidLayer, WaitingReadWakesForAScheduledCallback) {
    load("device a 0x0204\n  callback 7 x:0102 at 0.1\n");
    hid_init();
    hid_device* h = open("a");
    auto t = std::chrono::steady_clock::now();
    Bytes r = recv(h, 3000);
    double ms = ms_since(t);
    EXPECT_EQ(r, header(T_CB_REQUEST, 2, 7));
    EXPECT_GT(ms, 50);
    EXPECT_LT(ms, 1000);
}

TEST_F(HidLayer, WaitingReadWakesWhenAnotherThreadUnplugs) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    std::thread t([] {
        sleep_ms(50);
        emu::unplug("kbd");
    });
    auto start = std::chrono::steady_clock::now();
    int rc = 0;
    recv(h, -1, &rc);
    double ms = ms_since(start);
    t.join();
    EXPECT_EQ(rc, -1);
    EXPECT_LT(ms, 1000);
}

// A 40-packet output block read by a host that comes late: hidapi's queue
// keeps 30 reports. Paced, the reader sends only while there is room.
struct QueueCase {
    std::string name;
    bool pace;
    int first, count; // number of the first packet read, packets read
};

void PrintTo(const QueueCase& c, std::ostream* os) {
    *os << c.name;
}

class Queue : public EmuTest<::testing::TestWithParam<QueueCase>> {};

TEST_P(Queue, OfThirtyReports) {
    std::string hex = "x:";
    char buf[3];
    for (int p = 0; p < 40; ++p) { // the first payload byte is the packet's number
        std::snprintf(buf, sizeof buf, "%02x", p);
        for (int i = 0; i < 63; ++i)
            hex += buf;
    }
    load(std::string("device a 0x0204\n  pace ") + (GetParam().pace ? "on" : "off") +
         "\n  fn 503 out " + hex + "\n");
    hid_device* h = open("a");
    send(h, request(503, 0, 8000000));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 40 * 63));
    send(h, header(T_FETCH));
    sleep_ms(20);
    int n = 0;
    for (Bytes r = recv(h, 50); !r.empty(); r = recv(h, 50), ++n)
        EXPECT_EQ(r[1], GetParam().first + n);
    EXPECT_EQ(n, GetParam().count);
    const auto notes = emu::notes("a");
    EXPECT_EQ(std::count(notes.begin(), notes.end(), "host queue full: oldest report dropped"),
              40 - GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(Pace, Queue,
                         ::testing::Values(QueueCase{"OnLosesNothing", true, 0, 40},
                                           QueueCase{"OffDropsTheOldest", false, 10, 30}),
                         CaseName());

TEST_F(HidLayer, SeveralDevicesFromSeveralThreadsWithAControlThread) {
    load("device r1 0x0204\ndevice r2 0x0202\ndevice r3 0x0201\ndevice r4 0x0204\n");
    std::atomic<int> good{0};
    std::atomic<bool> stop{false};
    auto worker = [&](std::string name) {
        hid_device* h = hid_open_path(emu::path(name).c_str());
        ASSERT_NE(h, nullptr);
        for (int i = 0; i < 40; ++i) {
            Ctl c = ctl(h, 504, text("FWVERSION"));
            if (c.ok && c.result == 0 && c.out == text("2.14.0")) ++good;
        }
        hid_close(h);
    };
    std::thread control([&] {
        while (!stop) {
            emu::unplug("r4");
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            emu::plug("r4");
            hid_free_enumeration(hid_enumerate(0, 0));
        }
    });
    std::thread a(worker, "r1"), b(worker, "r2"), c(worker, "r3");
    a.join();
    b.join();
    c.join();
    stop = true;
    control.join();
    EXPECT_EQ(good.load(), 120);
    EXPECT_EQ(emu::exchanges("r1").size(), 40u);
}

TEST_F(HidLayer, ResetKillsOpenHandles) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    emu::reset();
    int rc = 0;
    recv(h, 10, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(send(h, request(562, 0, 0)), -1);
    EXPECT_TRUE(enumerate().empty());
}
