// The built-in reader: parameters, configuration, status, module data.
#include "host.h"

using namespace host;

class Model : public EmuTest {
  protected:
    void reader(const std::string& statements = "") {
        load("device r 0x0204\n  serial RS77\n" + statements + "\n");
        h = open("r");
        ASSERT_NE(h, nullptr);
    }
    Bytes get(const std::string& key, int32_t* result = nullptr) {
        Ctl c = ctl(h, 504, text(key), 256);
        if (result != nullptr) *result = c.result;
        return c.out;
    }
    hid_device* h = nullptr;
};

TEST_F(Model, GetParamSendsTheValueWithItsNul) {
    reader();
    EXPECT_EQ(get("FWVERSION"), text("2.14.0"));
    EXPECT_EQ(get("USBMODE"), text("3"));
    EXPECT_EQ(get("HWCFG_SERIAL"), text("HWRS77"));
    EXPECT_EQ(get("SERVICE_STATUS"), text("1"));
    EXPECT_EQ(emu::exchanges("r").at(0).input, text("FWVERSION"));
}

TEST_F(Model, UnknownAndRemovedKeys) {
    reader("noparam SOUND\nparam NEWKEY \"abc\"");
    int32_t r = 0;
    EXPECT_TRUE(get("SOUND", &r).empty());
    EXPECT_EQ(r, -2);
    EXPECT_TRUE(get("READERPROTOCOLTMP", &r).empty());
    EXPECT_EQ(r, -2);
    EXPECT_EQ(get("NEWKEY"), text("abc"));
    EXPECT_FALSE(emu::has_param("r", "SOUND"));
}

TEST_F(Model, ValueWithoutNulAndKeyWithoutNul) {
    reader("param RAW r\"xy\"");
    EXPECT_EQ(get("RAW"), (Bytes{'x', 'y'}));
    Ctl c = ctl(h, 504, Bytes{'D', 'E', 'B', 'U', 'G'}, 256);
    EXPECT_EQ(c.out, text("0"));
}

TEST_F(Model, SetParamUpdatesTheStore) {
    reader();
    EXPECT_EQ(ctl(h, 502, text("SOUND=1"), 255).result, 0);
    EXPECT_EQ(get("SOUND"), text("1"));
    EXPECT_EQ(emu::param("r", "SOUND"), "1");
    EXPECT_EQ(ctl(h, 502, text("NOSUCHKEY=1"), 255).result, -2);
    EXPECT_EQ(ctl(h, 502, Bytes{'D', 'E', 'B', 'U', 'G', '=', '2'}, 255).result, 0);
    EXPECT_EQ(emu::param("r", "DEBUG"), "2");
}

TEST_F(Model, ConfigurationFileIsStoredAndReturned) {
    reader();
    Bytes file = {'[', 'c', 'f', 'g', ']', '\n', 'A', '=', '1', '\n', 0, 0xFF};
    EXPECT_EQ(ctl(h, 502, file, 255).result, 0);
    EXPECT_EQ(emu::config_file("r"), file);
    EXPECT_EQ(ctl(h, 503, {}, 8000000).out, file);
}

TEST_F(Model, DefaultConfigurationListsTheParameters) {
    reader();
    std::string cfg = str(ctl(h, 503, {}, 8000000).out);
    EXPECT_NE(cfg.find("FWVERSION=2.14.0\n"), std::string::npos);
    EXPECT_NE(cfg.find("USBMODE=3\n"), std::string::npos);
}

TEST_F(Model, ScenarioBlobs) {
    reader("config_blob r\"CFG\"\nlog_blob x:010203");
    EXPECT_EQ(ctl(h, 503, {}, 100).out, (Bytes{'C', 'F', 'G'}));
    EXPECT_EQ(ctl(h, 501, {}, 100).out, (Bytes{1, 2, 3}));
}

TEST_F(Model, SetDefaultsRestoresParameters) {
    reader("param SOUND 1");
    ctl(h, 502, text("SOUND=0"), 255);
    ctl(h, 502, text("DEBUG=2"), 255);
    ctl(h, 2403, Bytes{1, 2, 3}, 8000000);
    EXPECT_EQ(ctl(h, 505, {}, 256).result, 0);
    EXPECT_EQ(emu::param("r", "SOUND"), "1");
    EXPECT_EQ(emu::param("r", "DEBUG"), "0");
    EXPECT_TRUE(emu::custom_config("r").empty());
}

TEST_F(Model, CustomConfigurationMarksTheProtocol) {
    reader();
    Bytes cc = {0x10, 0x20, 0x30};
    EXPECT_EQ(ctl(h, 2403, cc, 8000000).result, 0);
    EXPECT_EQ(emu::custom_config("r"), cc);
    EXPECT_EQ(emu::param("r", "READERPROTOCOL"), "999");
    EXPECT_EQ(get("RDRCFG_CSUM"), text("0060"));
    ctl(h, 502, text("READERPROTOCOL=2"), 255);
    EXPECT_TRUE(emu::custom_config("r").empty());
    EXPECT_FALSE(emu::has_param("r", "RDRCFG_CSUM"));
}

TEST_F(Model, StatusDefaultsToOperatingOk) {
    reader();
    Ctl c = ctl(h, 2107, {}, 4);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out, (Bytes{0, 0, 0, 1}));
}

TEST_F(Model, StatusSequenceBusyThenOk) {
    reader("status busy:2 1");
    Ctl c = ctl(h, 2107, {}, 4);
    EXPECT_EQ(c.result, -25);
    EXPECT_EQ(c.out_len, 0);
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -25);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 1}));
}

TEST_F(Model, StatusCycle) {
    reader("status cycle 0 2");
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, static_cast<uint8_t>(i % 2 ? 2 : 0)}));
}

TEST_F(Model, StatusErrorsAndForever) {
    reader("status error=-110:1 4:* 1");
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -110);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 4}));
}

TEST_F(Model, StatusChangedAtRuntime) {
    reader();
    emu::script("r", "status 100");
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 100}));
}

TEST_F(Model, ModuleFunctions) {
    reader("features 0x80000001\nmodule_count 2\nmodule_desc \"P\\nD\\nauto\\nISO\"\n"
           "lib_version \"Lib 1\"\nstatus_message \"All fine\"");
    EXPECT_EQ(ctl(h, 2100, {}, 4).out, (Bytes{0x80, 0, 0, 1}));
    EXPECT_EQ(ctl(h, 2103, {}, 1).out, (Bytes{2}));
    EXPECT_EQ(ctl(h, 2104, Bytes{0}, 256).out, text("P\nD\nauto\nISO"));
    EXPECT_EQ(ctl(h, 2104, Bytes{2}, 256).result, -22);
    EXPECT_EQ(ctl(h, 2000, {}, 256).out, text("Lib 1"));
    EXPECT_EQ(ctl(h, 13, {}, 256).out, text("All fine"));
}

TEST_F(Model, ModuleRecordLayout) {
    reader("module_record pcb 2.1.7 type 4 features 0x11223344 serial \"M-1\" part \"ICM-1\" "
           "date 0x65432100 sw 1.4.2 lib 0.0.0");
    Ctl c = ctl(h, 2106, Bytes{0}, 128);
    ASSERT_EQ(c.out.size(), 128u);
    const Bytes& r = c.out;
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 2);
    EXPECT_EQ(r[2], 1);
    EXPECT_EQ(r[3], 7);
    EXPECT_EQ(r[4], 4);
    EXPECT_EQ(r[5], 0x44); // little-endian
    EXPECT_EQ(r[6], 0x33);
    EXPECT_EQ(r[7], 0x22);
    EXPECT_EQ(r[8], 0x11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[11])), "M-1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[43])), "ICM-1");
    EXPECT_EQ(r[63], 0x65); // big-endian
    EXPECT_EQ(r[64], 0x43);
    EXPECT_EQ(r[65], 0x21);
    EXPECT_EQ(r[66], 0x00);
    EXPECT_EQ(r[67], 1);
    EXPECT_EQ(r[68], 4);
    EXPECT_EQ(r[69], 2);
    EXPECT_EQ(r[70], 0);
    EXPECT_EQ(r[72], 0);
}

TEST_F(Model, NoModule) {
    reader("module_count 0");
    EXPECT_EQ(ctl(h, 2103, {}, 1).out, (Bytes{0}));
    EXPECT_EQ(ctl(h, 2106, Bytes{0}, 128).result, -22);
}

TEST_F(Model, FirmwareImagesGoToTheRightFirmware) {
    reader();
    Bytes img(1000);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(ctl(h, 510, img, 8000000).result, -4); // normal firmware takes no standard image
    EXPECT_EQ(ctl(h, 512, img, 8000000).result, 0);
    EXPECT_EQ(emu::firmware("r", 512), img);
    EXPECT_TRUE(emu::firmware("r", 510).empty());
}

TEST_F(Model, UnknownFunction) {
    reader("unknown_fn_result -99");
    EXPECT_EQ(ctl(h, 4242).result, -99);
}

TEST_F(Model, RegistrationNeedsEightBytes) {
    reader();
    EXPECT_EQ(ctl(h, 530, Bytes{0, 0, 0, 0, 0, 1, 0, 4}, 0).result, 0);
    EXPECT_EQ(ctl(h, 530, Bytes{0, 1}, 0).result, -22);
}

TEST_F(Model, LargeTransfers) {
    reader();
    Bytes img(300000);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(i ^ (i >> 8));
    EXPECT_EQ(ctl(h, 502, img, 8000000).result, 0);
    Ctl c = ctl(h, 503, {}, 8000000);
    EXPECT_EQ(c.out, img);
}
