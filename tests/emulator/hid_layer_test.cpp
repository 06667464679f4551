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

const char* const THREE_DEVICES = "device kbd 0x0202\n  extra 0\n  serial RD1\n"
                                  "device ser 0x0204\n  serial none\n"
                                  "device mouse 0xC077\n  vendor 0x046D\n";

// "PATH VID:PID IF SERIAL USAGE_PAGE/USAGE|" per interface; SERIAL "-" for NULL.
std::string enumerate(unsigned short vid = 0, unsigned short pid = 0) {
    std::string out;
    hid_device_info* list = hid_enumerate(vid, pid);
    char buf[300];
    for (hid_device_info* d = list; d != nullptr; d = d->next) {
        std::snprintf(buf, sizeof buf, "%s %04x:%04x %d %ls %u/%u|", d->path, d->vendor_id,
                      d->product_id, d->interface_number,
                      d->serial_number ? d->serial_number : L"-", d->usage_page, d->usage);
        out += buf;
    }
    hid_free_enumeration(list);
    return out;
}

int read_rc(hid_device* h, int ms) {
    int rc = 0;
    recv(h, ms, &rc);
    return rc;
}

class HidLayer : public EmuTest<> {};

// Every interface in scenario order; each opens by its exact path, once at
// a time.
TEST_F(HidLayer, EnumerationAndOpening) {
    load(THREE_DEVICES);
    EXPECT_EQ(enumerate(), "1-1:1.0 f1e0:0202 0 RD1 0/0|1-1:1.1 f1e0:0202 1 RD1 0/0|"
                           "1-2:1.1 f1e0:0204 1 - 0/0|1-3:1.0 046d:c077 0  0/0|");
    EXPECT_EQ(enumerate(0xF1E0, 0x0204), "1-2:1.1 f1e0:0204 1 - 0/0|");
    hid_device* h = hid_open_path("1-1:1.1");
    ASSERT_NE(h, nullptr);
    for (const char* p : {"1-1:1.1", "1-1:1.9", "1-1:1.1 "})
        EXPECT_EQ(hid_open_path(p), nullptr) << p;
    hid_device* keyboard = hid_open_path("1-1:1.0"); // a separate interface
    EXPECT_NE(keyboard, nullptr);
    hid_close(keyboard);
    hid_close(h);
    EXPECT_FALSE(emu::is_open("kbd"));
    h = hid_open(0xF1E0, 0x0202, L"RD1");
    EXPECT_TRUE(emu::is_open("kbd"));
    hid_close(h);
    wchar_t buf[32];
    EXPECT_EQ(hid_get_serial_number_string(open("ser"), buf, 32), -1);
}

TEST_F(HidLayer, ReadsWaitForTheTimeOutAndCutTheReportToTheBuffer) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    const auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(read_rc(h, 60), 0);
    EXPECT_GE(ms_since(t), 59);
    EXPECT_LT(ms_since(t), 300);
    unsigned char b[65];
    ASSERT_EQ(hid_set_nonblocking(h, 1), 0);
    EXPECT_EQ(hid_read(h, b, sizeof b), 0);
    send(h, request(562, 0, 0));
    EXPECT_EQ(recv(h, 500, nullptr, 5), (Bytes{0x8B, 2, 0, 0, 0}));
    EXPECT_EQ(hid_read(h, b, sizeof b), 64);
}

TEST_F(HidLayer, UnplugHandsOutQueuedReportsThenFailsAndResetKillsHandles) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    send(h, request(562, 0, 0)); // CTL_ACK and CTL_DONE are queued
    ASSERT_EQ(emu::unplug("kbd"), 0);
    EXPECT_FALSE(emu::present("kbd"));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 0));
    EXPECT_EQ(read_rc(h, 100), -1);
    EXPECT_EQ(send(h, request(562, 0, 0)), -1);
    ASSERT_EQ(emu::plug("kbd"), 0);
    EXPECT_EQ(read_rc(h, 10), -1); // the old handle stays dead
    EXPECT_EQ(ctl(h = open("kbd"), 562).result, 0);
    emu::reset();
    EXPECT_EQ(read_rc(h, 10), -1);
    EXPECT_EQ(send(h, request(562, 0, 0)), -1);
    EXPECT_TRUE(enumerate().empty());
}

TEST_F(HidLayer, ScheduledAppearAndDisappear) {
    load("device a 0x0204\n  appear 0.5\n  disappear 2.0\ndevice b 0x0204\n");
    EXPECT_EQ(enumerate(), "1-2:1.1 f1e0:0204 1  0/0|");
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(enumerate(), "1-1:1.1 f1e0:0204 1  0/0|1-2:1.1 f1e0:0204 1  0/0|");
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(enumerate(), "1-2:1.1 f1e0:0204 1  0/0|");
}

// A read waiting without time-out wakes for a scheduled callback and when
// another thread unplugs the reader.
TEST_F(HidLayer, WaitingReadWakesForACallbackAndForAnUnplug) {
    load("device a 0x0204\n  callback 7 x:0102 at 0.1\n");
    hid_device* h = open("a");
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(h, 3000), header(T_CB_REQUEST, 2, 7));
    EXPECT_GT(ms_since(t), 50);
    EXPECT_LT(ms_since(t), 1000);
    std::thread unplug([] {
        std::this_thread::sleep_for(50ms);
        emu::unplug("a");
    });
    t = std::chrono::steady_clock::now();
    EXPECT_EQ(read_rc(h, -1), -1);
    unplug.join();
    EXPECT_LT(ms_since(t), 1000);
}

// A 40-packet output block read by a host that comes late: hidapi's queue
// keeps 30 reports, the oldest dropped. Paced, the reader sends only while
// there is room.
TEST_F(HidLayer, QueueOfThirtyReports) {
    std::string hex = "x:";
    for (int p = 0; p < 40 * 63; ++p) // the payload bytes are the packet's number
        hex += std::string{"0123"[p / 63 / 16], "0123456789abcdef"[p / 63 % 16]};
    for (const bool pace : {true, false}) {
        SCOPED_TRACE(pace ? "paced" : "not paced");
        emu::reset();
        load(std::string("device a 0x0204\n  pace ") + (pace ? "on" : "off") + "\n  fn 503 out " +
             hex + "\n");
        hid_device* h = open("a");
        send(h, request(503, 0, 8000000));
        EXPECT_EQ(recv(h), ack());
        EXPECT_EQ(recv(h), done(0, 40 * 63));
        send(h, header(T_FETCH));
        std::this_thread::sleep_for(20ms);
        int n = 0;
        for (Bytes r = recv(h, 50); !r.empty(); r = recv(h, 50), ++n)
            EXPECT_EQ(r[1], (pace ? 0 : 10) + n);
        EXPECT_EQ(n, pace ? 40 : 30);
        const auto notes = emu::notes("a");
        EXPECT_EQ(std::count(notes.begin(), notes.end(), "host queue full: oldest report dropped"),
                  40 - n);
    }
}

// Three hosts on their own readers while another thread replugs a fourth.
TEST_F(HidLayer, SeveralDevicesFromSeveralThreadsWithAControlThread) {
    load("device r1 0x0204\ndevice r2 0x0202\ndevice r3 0x0201\ndevice r4 0x0204\n");
    std::atomic<int> good{0}, working{3};
    auto exchanges = [&](hid_device* h) {
        for (int i = 0; i < 40; ++i) {
            const Ctl c = ctl(h, 504, text("FWVERSION"));
            good += c.result == 0 && c.out == text("2.14.0");
        }
        --working;
    };
    std::thread a(exchanges, open("r1")), b(exchanges, open("r2")), c(exchanges, open("r3"));
    for (; working > 0; hid_free_enumeration(hid_enumerate(0, 0))) {
        emu::unplug("r4");
        std::this_thread::sleep_for(300us);
        emu::plug("r4");
    }
    for (std::thread* t : {&a, &b, &c})
        t->join();
    EXPECT_EQ(good.load(), 120);
    EXPECT_EQ(emu::exchanges("r1").size(), 40u);
}

} // namespace
