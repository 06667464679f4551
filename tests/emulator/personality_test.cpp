// Restarts and firmware personalities: the reader leaves the bus and comes
// back, possibly as another product on another interface.
#include "host.h"

using namespace host;

namespace {

// Enumerates until the device's presence is as wanted, or 2 s pass.
bool wait_presence(const char* name, bool want) {
    for (int i = 0; i < 200; ++i) {
        hid_free_enumeration(hid_enumerate(0, 0));
        if (emu::present(name) == want) return true;
        sleep_ms(10);
    }
    return false;
}

} // namespace

class Personality : public EmuTest {};

TEST_F(Personality, ResetLeavesTheBusAndReturns) {
    load("device r 0x0204\n  serial S9\n  reset_delay 0.1\n");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 506, {}, 0).result, 0);
    ASSERT_TRUE(wait_presence("r", false));
    int rc;
    recv(h, 10, &rc);
    EXPECT_EQ(rc, -1);
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::product("r"), 0x0204);
    EXPECT_EQ(emu::path("r"), "1-1:1.1");
    EXPECT_EQ(emu::restarts("r"), 1);
    auto n = emu::notes("r");
    EXPECT_NE(std::find(n.begin(), n.end(), "unplug reason=reset"), n.end());
}

TEST_F(Personality, ResetTakesThePersonalityOfUsbmode) {
    load("device r 0x0202\n  extra 0\n  reset_delay 0.05\n");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 502, text("USBMODE=3"), 255).result, 0);
    ctl(h, 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::product("r"), 0x0204);
    EXPECT_EQ(emu::path("r"), "1-1:1.1");
    hid_device_info* l = hid_enumerate(0, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->next, nullptr); // the keyboard interface went with the keyboard personality
    hid_free_enumeration(l);
}

TEST_F(Personality, EnterServiceComesBackAsServiceFirmware) {
    load("device r 0x0202\n  extra 0\n  serial RD7\n  port 1-4.2\n  service_delay 0.05\n"
         "  reset_delay 0.05\n");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 511, {}, 0).result, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    hid_device_info* l = hid_enumerate(0, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->product_id, 0x0200);
    EXPECT_EQ(l->interface_number, 0);
    EXPECT_STREQ(l->path, "1-4.2:1.0");
    EXPECT_EQ(std::wstring(l->serial_number), L"RD7");
    EXPECT_EQ(l->next, nullptr);
    hid_free_enumeration(l);
    // In the service firmware the standard image is taken.
    hid_device* s = open("r");
    Bytes img(777, 0x5A);
    EXPECT_EQ(ctl(s, 510, img, 8000000).result, 0);
    EXPECT_EQ(emu::firmware("r", 510), img);
    // And a reset brings the normal firmware back.
    ctl(s, 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::product("r"), 0x0202);
    EXPECT_EQ(emu::path("r"), "1-4.2:1.1");
}

TEST_F(Personality, ServicePortGivesAnotherPath) {
    load("device r 0x0201\n  service_port 2-1\n  service_delay 0.05\n");
    hid_device* h = open("r");
    ctl(h, 511, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::path("r"), "2-1:1.0");
}

TEST_F(Personality, ServiceNeverReturns) {
    load("device r 0x0204\n  service never\n  service_delay 0.05\n");
    hid_device* h = open("r");
    ctl(h, 511, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    sleep_ms(150);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_FALSE(emu::present("r"));
}

TEST_F(Personality, ServiceStayReturnsInTheNormalFirmware) {
    load("device r 0x0204\n  service stay\n  service_delay 0.05\n");
    hid_device* h = open("r");
    ctl(h, 511, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::product("r"), 0x0204);
}

TEST_F(Personality, ServiceFirmwareResetsIntoItsNormalPersonality) {
    load("device r 0x0200\n  normal 0x0201\n  param USBMODE 0\n  reset_delay 0.05\n");
    EXPECT_EQ(emu::path("r"), "1-1:1.0");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 512, Bytes{1}, 0).result, -4);
    ctl(h, 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::product("r"), 0x0201);
}

TEST_F(Personality, ResetToOverridesEverything) {
    load("device r 0x0204\n  reset_to 0x0203\n  reset_delay 0.05\n");
    ctl(open("r"), 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::product("r"), 0x0203);
}

TEST_F(Personality, ResetNeverReturns) {
    load("device r 0x0204\n  reset_delay 0.05\n  reset never\n");
    ctl(open("r"), 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    sleep_ms(150);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_FALSE(emu::present("r"));
    EXPECT_EQ(emu::plug("r"), 0); // an operator plugs it in again
    EXPECT_TRUE(emu::present("r"));
}

TEST_F(Personality, StatusAfterReset) {
    load("device r 0x0204\n  reset_delay 0.05\n  status_after_reset busy 2 1\n");
    hid_device* h = open("r");
    ctl(h, 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    h = open("r");
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -25);
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 2}));
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 1}));
}

TEST_F(Personality, PlugDuringARestartUsesTheComingPersonality) {
    load("device r 0x0204\n  service_delay 5\n");
    ctl(open("r"), 511, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_EQ(emu::plug("r"), 0);
    EXPECT_EQ(emu::product("r"), 0x0200);
}

TEST_F(Personality, ParametersSurviveARestart) {
    load("device r 0x0204\n  reset_delay 0.05\n  param READERPROTOCOLTMP 3\n");
    hid_device* h = open("r");
    ctl(h, 502, text("SOUND=1"), 255);
    ctl(h, 506, {}, 0);
    ASSERT_TRUE(wait_presence("r", false));
    ASSERT_TRUE(wait_presence("r", true));
    EXPECT_EQ(emu::param("r", "SOUND"), "1");
    EXPECT_EQ(emu::param("r", "READERPROTOCOLTMP"), "1"); // volatile: back to the stored one
}
