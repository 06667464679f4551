#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cli/tool_settings.h"
#include "console/config_menu.h"
#include "console/reader_info.h"
#include "console_rig.h"
#include "support/capture.h"

namespace {

class ConfigMenuTest : public ConsoleTest {
  protected:
    void TearDown() override {
        tool_settings = ToolSettings{};
        diag_verbosity = 0;
        ConsoleTest::TearDown();
    }

    // Runs the menu of the first reader with input as the operator's
    // typing; returns what it printed on standard output.
    std::string run(const std::string& input) {
        Reader* r = reader_first();
        EXPECT_NE(r, nullptr);
        if (r == nullptr) return {};
        feed_stdin(input);
        const auto start = std::chrono::steady_clock::now();
        FdCapture out(1);
        EXPECT_EQ(config_menu(r), 0);
        std::string text = out.finish();
        elapsed_ms_ =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        EXPECT_EQ(reader_is_open(r), 0) << "the menu leaves the reader closed";
        return text;
    }

    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
            ++n;
        return n;
    }

    // No configuration write and no restart reached the reader.
    static void expect_no_writes(const char* device) {
        EXPECT_TRUE(calls(device, 502).empty());
        EXPECT_TRUE(calls(device, 505).empty());
        EXPECT_TRUE(calls(device, 506).empty());
    }

    // The functions of the saving phase, in order (reads left out).
    static std::vector<uint16_t> writes(const char* device) {
        std::vector<uint16_t> out;
        for (const emu::Exchange& e : emu::exchanges(device))
            if (e.function == 502 || e.function == 505 || e.function == 506)
                out.push_back(e.function);
        return out;
    }

    // The menu's own success traces among the link's protocol traces.
    static std::string ok_traces(const std::string& err) {
        std::string out;
        size_t start = 0;
        while (start < err.size()) {
            size_t end = err.find('\n', start);
            if (end == std::string::npos) end = err.size();
            const std::string line = err.substr(start, end - start);
            if (line.size() > 7 && line.compare(line.size() - 7, 7, " set OK") == 0)
                out += line + "\n";
            start = end + 1;
        }
        return out;
    }

    double elapsed_ms_ = 0;
};

const char* KM_READER = "device km 0x0203\nserial KM7\n";
const char* KBD_READER = "device kbd 0x0202\nserial KB1\nparam USBMODE 1\n";

const char* MENU = "Select action:\n"
                   "1) set config to defaults\n"
                   "2) set USB mode\n"
                   "3) set card reader protocol\n"
                   "4) set debug mode\n"
                   "5) set sound mode\n"
                   "99) save config and exit\n"
                   "100) exit without saving\n"
                   "\n"
                   "Enter number: ";

TEST_F(ConfigMenuTest, ScreenIsReportThenMenu) {
    load(KM_READER);
    const std::string text = run("100\n\n");
    ASSERT_EQ(text.rfind("\x1b[2J\x1b[0;0HUSB Reader information:\n", 0), 0u);
    const std::string tail =
        std::string("Req lib ver.  : 3.4.0\n\n") + MENU + "Press ENTER to continue\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    expect_no_writes("km");
}

TEST_F(ConfigMenuTest, NothingPendingSavesNothingAndDoesNotRestart) {
    load(KM_READER);
    const std::string text = run("99\n\n");
    expect_no_writes("km");
    EXPECT_LT(elapsed_ms_, 2000);
    EXPECT_EQ(text.substr(text.size() - 38), "Enter number: Press ENTER to continue\n");
}

TEST_F(ConfigMenuTest, FxEpaReaderHasNoUsbModeItem) {
    load("device epa 0x0207\nserial E1\n");
    const std::string text = run("2\n100\n\n");
    EXPECT_EQ(text.find("2) set USB mode"), std::string::npos);
    EXPECT_NE(text.find("1) set config to defaults\n3) set card reader protocol\n"),
              std::string::npos);
    // 2 is no choice there: only the prompt comes again.
    EXPECT_NE(text.find("Enter number: Enter number: Press ENTER"), std::string::npos);
    EXPECT_EQ(text.find("USB mode ("), std::string::npos);
    expect_no_writes("epa");
}

TEST_F(ConfigMenuTest, UnknownChoicesOnlyRepeatThePrompt) {
    load(KM_READER);
    const std::string text = run("\n0\n-1\n6\nabc\n100\n\n");
    EXPECT_EQ(count(text, "Select action:"), 1);
    EXPECT_NE(text.find("Enter number: Enter number: Enter number: Enter number: Enter number: "
                        "Enter number: Press ENTER"),
              std::string::npos);
}

TEST_F(ConfigMenuTest, ModeFiveIsInvalidUnlessTheModuleOffersCcid) {
    load("device r 0x0204\nserial S\nparam READER 12\n");
    const std::string text = run("2\n5\n\n100\n\n");
    EXPECT_NE(text.find("USB mode (1=USB keyboard, 2=USB KM reader, 3=USB serial, 4=USB SHARP, "
                        "7=USB HP, 10=USB HIDRAW): Invalid value\nPress ENTER to continue\n"),
              std::string::npos);
    EXPECT_EQ(count(text, "Select action:"), 2);
    expect_no_writes("r");
}

TEST_F(ConfigMenuTest, ModeSixAndOthersAreInvalid) {
    load("device r 0x0204\nserial S\nparam READER 74\n");
    const std::string text = run("2\n6\n\n2\n0\n\n2\n11\n\n100\n\n");
    EXPECT_EQ(count(text, "Invalid value\nPress ENTER to continue\n"), 3);
    expect_no_writes("r");
}

TEST_F(ConfigMenuTest, ReaderType74AcceptsCcidMode) {
    load("device r 0x0204\nserial S\nparam READER 74\n");
    const std::string text = run("2\n5\n\n99\n\n");
    EXPECT_NE(text.find("USB mode (1=USB keyboard, 2=USB KM reader, 3=USB serial, 4=USB SHARP, "
                        "5=USB CCID, 7=USB HP, 10=USB HIDRAW): "
                        "Value OK, it will be set after config save\n"),
              std::string::npos);
    EXPECT_EQ(assignments("r"), std::vector<std::string>{"USBMODE=5"});
    EXPECT_EQ(writes("r"), (std::vector<uint16_t>{502, 506}));
    EXPECT_GE(elapsed_ms_, RESTART_WAIT_MS);
}

TEST_F(ConfigMenuTest, InvalidDebugAndSoundValuesAreRefused) {
    load(KM_READER);
    const std::string text = run("4\n99\n\n4\n3\n\n5\n2\n\n5\n-1\n\n100\n\n");
    EXPECT_EQ(count(text, "Debug mode (0=no log, 1=warn only, 2=debug): Invalid value\n"
                          "Press ENTER to continue\n"),
              2);
    EXPECT_EQ(count(text, "Sound mode (0=sound disabled, 1=sound enabled): Invalid value\n"
                          "Press ENTER to continue\n"),
              2);
    EXPECT_EQ(count(text, "Select action:"), 5);
    expect_no_writes("km");
}

TEST_F(ConfigMenuTest, EmptyAnswerAsksTheQuestionAgain) {
    load(KM_READER);
    const std::string text = run("4\n\n\n1\n\n100\n\n");
    EXPECT_NE(text.find("Debug mode (0=no log, 1=warn only, 2=debug): "
                        "Debug mode (0=no log, 1=warn only, 2=debug): "
                        "Debug mode (0=no log, 1=warn only, 2=debug): "
                        "Value OK, it will be set after config save\nPress ENTER to continue\n"),
              std::string::npos);
}

TEST_F(ConfigMenuTest, LongAnswerIsTakenInPiecesOf19) {
    load(KM_READER);
    // The first 19 characters answer 2; the other six are what the read
    // after "Press ENTER to continue" takes, so 100 leaves the menu.
    const std::string text = run("4\n0000000000000000002345678\n100\n\n");
    EXPECT_NE(text.find("Debug mode (0=no log, 1=warn only, 2=debug): "
                        "Value OK, it will be set after config save\n"
                        "Press ENTER to continue\n"),
              std::string::npos);
    EXPECT_EQ(count(text, "Select action:"), 2);
    EXPECT_EQ(count(text, "Enter number: "), 2);
}

TEST_F(ConfigMenuTest, DefaultsGoBeforeProtocolThenTheReaderRestarts) {
    load(KM_READER);
    diag_verbosity = 2;
    FdCapture err(2);
    const std::string text = run("3\n7\n\n1\n\n99\n\n");
    const std::string traces = ok_traces(err.finish());
    EXPECT_NE(text.find("Reader protocol: Value OK, it will be set after config save\n"),
              std::string::npos);
    EXPECT_NE(text.find("Defaults will be set after config save\nPress ENTER to continue\n"),
              std::string::npos);
    EXPECT_EQ(writes("km"), (std::vector<uint16_t>{505, 502, 506}));
    EXPECT_EQ(calls("km", 505)[0].capacity, 256u);
    EXPECT_TRUE(calls("km", 505)[0].input.empty());
    EXPECT_EQ(assignments("km"), std::vector<std::string>{"READERPROTOCOL=7"});
    EXPECT_EQ(traces, "Defaults set OK\nReader protocol set OK\n");
    EXPECT_EQ(emu::param("km", "READERPROTOCOL"), "7");
}

TEST_F(ConfigMenuTest, KeyboardModeSendsTheOptionsAndEverythingInOrder) {
    load(KBD_READER);
    diag_verbosity = 2;
    FdCapture err(2);
    const std::string text = run("5\n0\n\n4\n2\n\n2\n1\n15\n25\n1\n\n3\n12\n\n99\n\n");
    const std::string traces = ok_traces(err.finish());
    EXPECT_NE(text.find("USB key press delay (in ms) (0=default): "
                        "USB key release delay (in ms) (0=default): "
                        "USB keyboard layout (0=default numpad, 1=US): "
                        "Value OK, it will be set after config save\n"),
              std::string::npos);
    EXPECT_EQ(assignments("kbd"),
              (std::vector<std::string>{"USBMODE=1", "KBDPRESSDLY=15", "KBDRELEASEDLY=25",
                                        "KBDLAYOUT=1", "READERPROTOCOL=12", "DEBUG=2", "SOUND=1"}));
    for (const emu::Exchange& e : calls("kbd", 502))
        EXPECT_EQ(e.capacity, 255u);
    EXPECT_EQ(writes("kbd").back(), 506);
    EXPECT_EQ(traces, "USB Mode set OK\nUSB keyboard options set OK\nReader protocol set OK\n"
                      "Debug mode set OK\nSound mode set OK\n");
    EXPECT_GE(elapsed_ms_, RESTART_WAIT_MS);
    // The reader took the restart and was back within the wait (the
    // emulator acts on its timeline at the next hidapi call).
    readers_enumerate();
    EXPECT_EQ(emu::restarts("kbd"), 1);
    EXPECT_EQ(emu::param("kbd", "SOUND"), "1");
}

TEST_F(ConfigMenuTest, SoundEnabledIsSentAsZeroAndKmModeStaysAfterLaterMode) {
    load(KM_READER);
    const std::string text = run("5\n1\n\n2\n2\n1\n\n2\n3\n\n99\n\n");
    EXPECT_NE(text.find("KM cardno mode (0=default, 1=AU201 compat): "
                        "Value OK, it will be set after config save\n"),
              std::string::npos);
    EXPECT_EQ(assignments("km"), (std::vector<std::string>{"USBMODE=3", "SOUND=0", "KMMODE=1"}));
    EXPECT_EQ(writes("km").back(), 506);
}

TEST_F(ConfigMenuTest, KeyboardModeWithoutKnownDelaysAsksNoDelays) {
    load("device r 0x0204\nserial S\nnoparam KBDPRESSDLY\n");
    const std::string text = run("2\n1\n\n99\n\n");
    EXPECT_EQ(text.find("USB key press delay"), std::string::npos);
    EXPECT_EQ(assignments("r"), std::vector<std::string>{"USBMODE=1"});
}

TEST_F(ConfigMenuTest, RefusedWritesPrintTheirErrorsAndNeitherStopOthersNorRestart) {
    load(std::string(KBD_READER) + "fn 505 result -9\nfn 502 result -7\n");
    const std::string text =
        run("1\n\n2\n1\n1\n2\n3\n\n3\n4\n\n4\n1\n\n5\n0\n\n2\n2\n0\n\n2\n1\n1\n2\n3\n\n99\n\n");
    EXPECT_NE(text.find("Error -9 while setting defaults\n"
                        "Error -7 while setting USB mode\n"
                        "Error -7 while setting reader protocol\n"
                        "Error -7 while setting debug mode\n"
                        "Error -7 while setting sound mode\n"
                        "Error -7 while setting KM mode\n"
                        "Press ENTER to continue\n"),
              std::string::npos)
        << text;
    // A refused USB mode sends none of the keyboard options.
    EXPECT_EQ(assignments("kbd"), (std::vector<std::string>{"USBMODE=1", "READERPROTOCOL=4",
                                                            "DEBUG=1", "SOUND=1", "KMMODE=0"}));
    EXPECT_TRUE(calls("kbd", 506).empty());
    EXPECT_LT(elapsed_ms_, 2000);
}

TEST_F(ConfigMenuTest, RefusedKeyboardOptionEndsTheChainSilently) {
    load(std::string(KBD_READER) + "fn 502 model times 2\nfn 502 result -7\n");
    diag_verbosity = 2;
    FdCapture err(2);
    const std::string text = run("2\n1\n5\n6\n1\n\n99\n\n");
    const std::string traces = ok_traces(err.finish());
    EXPECT_EQ(assignments("kbd"),
              (std::vector<std::string>{"USBMODE=1", "KBDPRESSDLY=5", "KBDRELEASEDLY=6"}));
    EXPECT_EQ(traces, "USB Mode set OK\n");
    EXPECT_EQ(text.find("Error"), std::string::npos);
    EXPECT_EQ(writes("kbd").back(), 506);
}

TEST_F(ConfigMenuTest, UserConfigurationWarnsBeforeAskingTheProtocol) {
    load(std::string(KM_READER) + "param READERPROTOCOL 999\nparam RDRCFG_CSUM 12AB\n");
    const std::string text = run("3\nn\n3\n\nx\nY\nyes\n21\n\n100\n\n");
    const std::string warning = "\nReader protocol change will erase stored configuration.\n"
                                "Do you want to continue? (y/n):";
    // "n" goes straight back to the menu, without "Press ENTER".
    EXPECT_NE(text.find(warning + "\x1b[2J"), std::string::npos);
    EXPECT_NE(text.find(warning + "Do you want to continue? (y/n):Do you want to continue? "
                                  "(y/n):Do you want to continue? (y/n):Reader protocol: "
                                  "Value OK, it will be set after config save\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(count(text, "Reader protocol: "), 1);
    expect_no_writes("km");
}

TEST_F(ConfigMenuTest, ReaderWithoutConfigurationIsNotOpened) {
    load("device svc 0x0200\nserial SV\n");
    const std::string text = run("\n");
    EXPECT_EQ(text, "Configuration not supported on given reader!\nPress ENTER to continue\n");
    EXPECT_TRUE(emu::exchanges("svc").empty());
}

TEST_F(ConfigMenuTest, ReaderThatCannotBeOpenedGoesToTheFinalPrompt) {
    load(KM_READER);
    emu::unplug("km");
    const std::string text = run("\n");
    EXPECT_EQ(text, "Cannot open given reader\nPress ENTER to continue\n");
}

// Input that ends inside a dialog: the menu leaves as with 100, writes
// nothing and still ends with the final prompt.
struct EndCase {
    const char* name;
    const char* scenario_extra;
    const char* input;
};

class ConfigMenuEndOfInput : public ConfigMenuTest,
                             public ::testing::WithParamInterface<EndCase> {};

TEST_P(ConfigMenuEndOfInput, LeavesWithoutWriting) {
    load(std::string(KBD_READER) + "param KMMODE 0\nparam READERPROTOCOL 999\n" +
         GetParam().scenario_extra);
    const std::string text = run(GetParam().input);
    expect_no_writes("kbd");
    EXPECT_LT(elapsed_ms_, 2000);
    const std::string tail = "Press ENTER to continue\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(count(text, "Select action:"), 1) << "the screen is not drawn again after the end";
}

INSTANTIATE_TEST_SUITE_P(
    EveryDialog, ConfigMenuEndOfInput,
    ::testing::Values(EndCase{"AtMenu", "", ""}, EndCase{"AtDefaultsEnter", "", "1\n"},
                      EndCase{"AtUsbMode", "", "2\n"}, EndCase{"AtUsbModeEmpty", "", "2\n\n"},
                      EndCase{"AtPressDelay", "", "2\n1\n"},
                      EndCase{"AtReleaseDelay", "", "2\n1\n10\n"},
                      EndCase{"AtLayout", "", "2\n1\n10\n10\n"},
                      EndCase{"AtUsbModeEnter", "", "2\n3\n"},
                      EndCase{"AtUsbModeEnterNoNewline", "", "2\n3"},
                      EndCase{"AtKmMode", "", "2\n2\n"}, EndCase{"AtWarning", "", "3\n"},
                      EndCase{"AtWarningRepeat", "", "3\nq\n"}, EndCase{"AtProtocol", "", "3\ny\n"},
                      EndCase{"AtProtocolEnter", "", "3\ny\n5\n"}, EndCase{"AtDebug", "", "4\n"},
                      EndCase{"AtDebugEnter", "", "4\n1\n"}, EndCase{"AtSound", "", "5\n"},
                      EndCase{"AtSoundEnter", "", "5\n0\n"}, EndCase{"AtPromptAgain", "", "7\n"}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

} // namespace
