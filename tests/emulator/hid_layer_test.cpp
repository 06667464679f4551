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

struct Entry {
    std::string path;
    unsigned vendor, product;
    int iface;
    std::wstring serial;
    bool has_serial;
    unsigned usage_page, usage;
};

std::vector<Entry> enumerate(unsigned short vid = 0, unsigned short pid = 0) {
    std::vector<Entry> out;
    hid_device_info* list = hid_enumerate(vid, pid);
    for (hid_device_info* d = list; d != nullptr; d = d->next)
        out.push_back({d->path, d->vendor_id, d->product_id, d->interface_number,
                       d->serial_number ? d->serial_number : L"", d->serial_number != nullptr,
                       d->usage_page, d->usage});
    hid_free_enumeration(list);
    return out;
}

} // namespace

class HidLayer : public EmuTest<> {};

TEST_F(HidLayer, NoScenarioMeansNoDevices) {
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(hid_open_path("1-1:1.1"), nullptr);
}

TEST_F(HidLayer, EnumerationListsEveryInterfaceInScenarioOrder) {
    load(THREE_DEVICES);
    auto e = enumerate();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].path, "1-1:1.0");
    EXPECT_EQ(e[0].iface, 0);
    EXPECT_EQ(e[1].path, "1-1:1.1");
    EXPECT_EQ(e[1].iface, 1);
    for (int i : {0, 1}) {
        EXPECT_EQ(e[i].vendor, 0xF1E0u);
        EXPECT_EQ(e[i].product, 0x0202u);
        EXPECT_TRUE(e[i].has_serial);
        EXPECT_EQ(e[i].serial, L"RD1");
    }
    EXPECT_EQ(e[2].path, "1-2:1.1");
    EXPECT_EQ(e[2].product, 0x0204u);
    EXPECT_FALSE(e[2].has_serial);
    EXPECT_EQ(e[3].path, "1-3:1.0");
    EXPECT_EQ(e[3].vendor, 0x046Du);
    for (auto& x : e) {
        EXPECT_EQ(x.usage_page, 0u);
        EXPECT_EQ(x.usage, 0u);
    }
}

TEST_F(HidLayer, InterfaceOpensByExactPathOnceAtATime) {
    load(THREE_DEVICES);
    hid_device* h = open_path("1-1:1.1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(hid_open_path("1-1:1.1"), nullptr);
    EXPECT_EQ(hid_open_path("1-1:1.9"), nullptr);
    EXPECT_EQ(hid_open_path("1-1:1.1 "), nullptr);
    EXPECT_EQ(hid_open_path(nullptr), nullptr);
    hid_device* kbd = open_path("1-1:1.0"); // the keyboard interface is separate
    ASSERT_NE(kbd, nullptr);
    EXPECT_TRUE(emu::is_open("kbd"));
    close(h);
    EXPECT_FALSE(emu::is_open("kbd"));
    EXPECT_NE(open_path("1-1:1.1"), nullptr);
}

TEST_F(HidLayer, SerialNumberString) {
    load(THREE_DEVICES);
    wchar_t buf[32];
    hid_device* kbd = open("kbd");
    ASSERT_EQ(hid_get_serial_number_string(kbd, buf, 32), 0);
    EXPECT_EQ(std::wstring(buf), L"RD1");
    hid_device* ser = open("ser");
    EXPECT_EQ(hid_get_serial_number_string(ser, buf, 32), -1);
}

TEST_F(HidLayer, ReadTimeoutIsHonoured) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    auto t = std::chrono::steady_clock::now();
    int rc = 1;
    EXPECT_TRUE(recv(h, 60, &rc).empty());
    EXPECT_EQ(rc, 0);
    double ms = ms_since(t);
    EXPECT_GE(ms, 59);
    EXPECT_LT(ms, 300);
    t = std::chrono::steady_clock::now();
    recv(h, 0, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_LT(ms_since(t), 50);
}

TEST_F(HidLayer, ReadCutsTheReportToTheBuffer) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    send(h, request(562, 0, 0));
    int rc;
    Bytes r = recv(h, 500, &rc, 5);
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(r, (Bytes{0x8B, 2, 0, 0, 0}));
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
    auto e = enumerate();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].path, "1-1:1.1");
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

namespace {

// 40 data packets whose first payload byte is the packet's number.
std::string numbered_output() {
    std::string hex = "x:";
    char buf[3];
    for (int p = 0; p < 40; ++p)
        for (int i = 0; i < 63; ++i) {
            std::snprintf(buf, sizeof buf, "%02x", p);
            hex += buf;
        }
    return hex;
}

} // namespace

TEST_F(HidLayer, QueueKeepsTheNewestThirtyReportsWithoutPacing) {
    load("device a 0x0204\n  pace off\n  fn 503 out " + numbered_output() + "\n");
    hid_device* h = open("a");
    send(h, request(503, 0, 8000000));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 40 * 63));
    send(h, header(T_FETCH));
    std::vector<Bytes> got;
    for (;;) {
        Bytes r = recv(h, 50);
        if (r.empty()) break;
        got.push_back(r);
    }
    ASSERT_EQ(got.size(), 30u);
    EXPECT_EQ(got.front()[1], 10); // packets 0-9 were dropped
    EXPECT_EQ(got.back()[1], 39);
    auto notes = emu::notes("a");
    EXPECT_NE(std::find(notes.begin(), notes.end(), "host queue full: oldest report dropped"),
              notes.end());
}

TEST_F(HidLayer, PacedOutputLosesNothingForASlowHost) {
    load("device a 0x0204\n  fn 503 out " + numbered_output() + "\n");
    hid_device* h = open("a");
    send(h, request(503, 0, 8000000));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 40 * 63));
    send(h, header(T_FETCH));
    sleep_ms(20);
    for (int p = 0; p < 40; ++p) {
        Bytes r = recv(h, 100);
        ASSERT_EQ(r.size(), 64u);
        EXPECT_EQ(r[0], 63);
        EXPECT_EQ(r[1], p);
    }
    EXPECT_TRUE(recv(h, 20).empty());
}

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

TEST_F(HidLayer, NonblockingRead) {
    load(THREE_DEVICES);
    hid_device* h = open("kbd");
    ASSERT_EQ(hid_set_nonblocking(h, 1), 0);
    unsigned char b[65];
    EXPECT_EQ(hid_read(h, b, sizeof b), 0);
    send(h, request(562, 0, 0));
    EXPECT_EQ(hid_read(h, b, sizeof b), 64);
}
