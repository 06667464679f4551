// The reader's configuration menu as the operator sees it: what each typed
// line shows, and what the save then writes to the reader.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli/tool_settings.h"
#include "console/config_menu.h"
#include "console/reader_info.h"
#include "console_rig.h"
#include "support/capture.h"

namespace {

// The menu's own success traces among the link's protocol traces.
std::string ok_traces(const std::string& err) {
    std::string out;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        const std::string line = err.substr(start, end - start);
        if (ends_with(line, " set OK")) out += line + "\n";
        start = end + 1;
    }
    return out;
}

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
const std::string ENTER = "Press ENTER to continue\n";
const std::string VALUE_OK = "Value OK, it will be set after config save\n";
const std::string DEBUG_Q = "Debug mode (0=no log, 1=warn only, 2=debug): ";
const std::string SOUND_Q = "Sound mode (0=sound disabled, 1=sound enabled): ";
const std::string MODE_Q = "USB mode (1=USB keyboard, 2=USB KM reader, 3=USB serial, 4=USB SHARP, "
                           "7=USB HP, 10=USB HIDRAW): ";
const std::string WARNING = "\nReader protocol change will erase stored configuration.\n"
                            "Do you want to continue? (y/n):";

const char* KM = "device r 0x0203\nserial KM7\n";
const char* KBD = "device r 0x0202\nserial KB1\nparam USBMODE 1\n";
// Every dialog can be reached on it: keyboard mode, KM mode, the warning.
const char* KBD_ALL = "device r 0x0202\nserial KB1\nparam USBMODE 1\nparam KMMODE 0\n"
                      "param READERPROTOCOL 999\n";

struct Shown {
    std::string text;
    int times = 1; // exact count in the output
};

struct MenuCase {
    const char* name;
    std::string scenario;
    std::string input;
    std::vector<Shown> shown = {};
    std::string absent = {};
    std::string ends = ENTER;               // the output's last text
    int screens = 1;                        // menus drawn; 0: the output is ends alone
    std::vector<std::string> assigned = {}; // texts of 502, in order
    std::vector<uint16_t> writes = {};      // 505, 502 and 506, in order
    std::string traces = {};                // the save's success traces
    bool unplugged = false;
};
CONSOLE_CASE_PRINTER(MenuCase)

class ConfigMenu : public ConsoleTest, public ::testing::WithParamInterface<MenuCase> {
  protected:
    void TearDown() override {
        tool_settings = ToolSettings{};
        diag_verbosity = 0;
        ConsoleTest::TearDown();
    }
};

TEST_P(ConfigMenu, Dialog) {
    const MenuCase& c = GetParam();
    load(c.scenario);
    if (c.unplugged) emu::unplug("r");
    Reader* r = reader_first();
    ASSERT_NE(r, nullptr);
    feed_stdin(c.input);
    diag_verbosity = 2;
    FdCapture err(2);
    FdCapture out(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(config_menu(r), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string text = out.finish();
    const std::string traces = ok_traces(err.finish());
    EXPECT_EQ(reader_is_open(r), 0) << "the menu leaves the reader closed";

    EXPECT_TRUE(ends_with(text, c.ends)) << text;
    EXPECT_EQ(occurrences(text, "Select action:"), c.screens) << text;
    if (c.screens == 0) {
        EXPECT_EQ(text, c.ends);
        EXPECT_TRUE(emu::exchanges("r").empty());
    } else {
        EXPECT_EQ(text.rfind("\x1b[2J\x1b[0;0HUSB Reader information:\n", 0), 0u);
    }
    for (const Shown& s : c.shown)
        EXPECT_EQ(occurrences(text, s.text), s.times) << s.text << "\nin:\n" << text;
    if (!c.absent.empty()) {
        EXPECT_EQ(text.find(c.absent), std::string::npos) << text;
    }

    EXPECT_EQ(assignments("r"), c.assigned);
    std::vector<uint16_t> writes;
    for (const emu::Exchange& e : emu::exchanges("r")) {
        if (e.function == 505) {
            EXPECT_EQ(e.capacity, 256u);
            EXPECT_TRUE(e.input.empty());
        }
        if (e.function == 502) {
            EXPECT_EQ(e.capacity, 255u);
        }
        if (e.function == 502 || e.function == 505 || e.function == 506)
            writes.push_back(e.function);
    }
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(traces, c.traces);
    // A restart is waited for; without one the menu returns at once.
    const bool restarts = !c.writes.empty() && c.writes.back() == 506;
    if (restarts) {
        EXPECT_GE(elapsed, std::chrono::milliseconds(RESTART_WAIT_MS));
    } else {
        EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    }
    // The reader took the restart and was back within the wait (the
    // emulator acts on its timeline at the next hidapi call).
    readers_enumerate();
    EXPECT_EQ(emu::restarts("r"), restarts ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Typed, ConfigMenu,
    ::testing::Values(
        MenuCase{.name = "ScreenIsReportThenMenu",
                 .scenario = KM,
                 .input = "100\n\n",
                 .ends = std::string("Req lib ver.  : 3.4.0\n\n") + MENU + ENTER},
        MenuCase{.name = "NothingPendingSavesNothingAndDoesNotRestart",
                 .scenario = KM,
                 .input = "99\n\n",
                 .ends = "Enter number: " + ENTER},
        // 2 is no choice there: only the prompt comes again.
        MenuCase{.name = "FxEpaReaderHasNoUsbModeItem",
                 .scenario = "device r 0x0207\nserial E1\n",
                 .input = "2\n100\n\n",
                 .shown = {{"1) set config to defaults\n3) set card reader protocol\n"}},
                 .absent = "USB mode",
                 .ends = "Enter number: Enter number: " + ENTER},
        MenuCase{.name = "UnknownChoicesOnlyRepeatThePrompt",
                 .scenario = KM,
                 .input = "\n0\n-1\n6\nabc\n100\n\n",
                 .ends = "100) exit without saving\n\nEnter number: Enter number: Enter number: "
                         "Enter number: Enter number: Enter number: " +
                         ENTER},
        MenuCase{.name = "ModeFiveIsInvalidUnlessTheModuleOffersCcid",
                 .scenario = "device r 0x0204\nserial S\nparam READER 12\n",
                 .input = "2\n5\n\n100\n\n",
                 .shown = {{MODE_Q + "Invalid value\n" + ENTER}},
                 .screens = 2},
        MenuCase{.name = "ModeSixAndOthersAreInvalid",
                 .scenario = "device r 0x0204\nserial S\nparam READER 74\n",
                 .input = "2\n6\n\n2\n0\n\n2\n11\n\n100\n\n",
                 .shown = {{"HIDRAW): Invalid value\n" + ENTER, 3}},
                 .screens = 4},
        MenuCase{.name = "ReaderType74AcceptsCcidMode",
                 .scenario = "device r 0x0204\nserial S\nparam READER 74\n",
                 .input = "2\n5\n\n99\n\n",
                 .shown = {{"USB mode (1=USB keyboard, 2=USB KM reader, 3=USB serial, 4=USB SHARP, "
                            "5=USB CCID, 7=USB HP, 10=USB HIDRAW): " +
                            VALUE_OK}},
                 .screens = 2,
                 .assigned = {"USBMODE=5"},
                 .writes = {502, 506},
                 .traces = "USB Mode set OK\n"},
        MenuCase{.name = "InvalidDebugAndSoundValuesAreRefused",
                 .scenario = KM,
                 .input = "4\n99\n\n4\n3\n\n5\n2\n\n5\n-1\n\n100\n\n",
                 .shown = {{DEBUG_Q + "Invalid value\n" + ENTER, 2},
                           {SOUND_Q + "Invalid value\n" + ENTER, 2}},
                 .screens = 5},
        MenuCase{.name = "EmptyAnswerAsksTheQuestionAgain",
                 .scenario = KM,
                 .input = "4\n\n\n1\n\n100\n\n",
                 .shown = {{DEBUG_Q + DEBUG_Q + DEBUG_Q + VALUE_OK + ENTER}},
                 .screens = 2},
        // The first 19 characters answer 2; the other six are what the read
        // after "Press ENTER to continue" takes, so 100 leaves the menu.
        MenuCase{.name = "LongAnswerIsTakenInPiecesOf19",
                 .scenario = KM,
                 .input = "4\n0000000000000000002345678\n100\n\n",
                 .shown = {{DEBUG_Q + VALUE_OK + ENTER}, {"Enter number: ", 2}},
                 .screens = 2},
        // Defaults go first, then each setting in a fixed order, whatever
        // order they were chosen in; sound enabled is sent as 0, and the KM
        // mode chosen with an earlier mode stays.
        MenuCase{.name = "SaveSendsDefaultsThenEachSettingThenRestarts",
                 .scenario = KM,
                 .input = "3\n7\n\n1\n\n5\n1\n\n2\n2\n1\n\n2\n3\n\n99\n\n",
                 .shown = {{"Reader protocol: " + VALUE_OK},
                           {"Defaults will be set after config save\n" + ENTER},
                           {"KM cardno mode (0=default, 1=AU201 compat): " + VALUE_OK}},
                 .screens = 6,
                 .assigned = {"USBMODE=3", "READERPROTOCOL=7", "SOUND=0", "KMMODE=1"},
                 .writes = {505, 502, 502, 502, 502, 506},
                 .traces = "Defaults set OK\nUSB Mode set OK\nReader protocol set OK\n"
                           "Sound mode set OK\nKM mode set OK\n"},
        MenuCase{.name = "KeyboardModeSendsItsOptionsAfterTheMode",
                 .scenario = KBD,
                 .input = "5\n0\n\n4\n2\n\n2\n1\n15\n25\n1\n\n3\n12\n\n99\n\n",
                 .shown = {{"USB key press delay (in ms) (0=default): "
                            "USB key release delay (in ms) (0=default): "
                            "USB keyboard layout (0=default numpad, 1=US): " +
                            VALUE_OK}},
                 .screens = 5,
                 .assigned = {"USBMODE=1", "KBDPRESSDLY=15", "KBDRELEASEDLY=25", "KBDLAYOUT=1",
                              "READERPROTOCOL=12", "DEBUG=2", "SOUND=1"},
                 .writes = {502, 502, 502, 502, 502, 502, 502, 506},
                 .traces = "USB Mode set OK\nUSB keyboard options set OK\nReader protocol set OK\n"
                           "Debug mode set OK\nSound mode set OK\n"},
        MenuCase{.name = "KeyboardModeWithoutKnownDelaysAsksNoDelays",
                 .scenario = "device r 0x0204\nserial S\nnoparam KBDPRESSDLY\n",
                 .input = "2\n1\n\n99\n\n",
                 .absent = "USB key press delay",
                 .screens = 2,
                 .assigned = {"USBMODE=1"},
                 .writes = {502, 506},
                 .traces = "USB Mode set OK\n"},
        // A refused USB mode sends none of the keyboard options; no write
        // accepted, no restart.
        MenuCase{.name = "RefusedWritesPrintTheirErrorsAndNeitherStopOthersNorRestart",
                 .scenario = std::string(KBD) + "fn 505 result -9\nfn 502 result -7\n",
                 .input = "1\n\n2\n1\n1\n2\n3\n\n3\n4\n\n4\n1\n\n5\n0\n\n2\n2\n0\n\n2\n1\n1\n2\n3\n"
                          "\n99\n\n",
                 .shown = {{"Error -9 while setting defaults\n"
                            "Error -7 while setting USB mode\n"
                            "Error -7 while setting reader protocol\n"
                            "Error -7 while setting debug mode\n"
                            "Error -7 while setting sound mode\n"
                            "Error -7 while setting KM mode\n" +
                            ENTER}},
                 .screens = 8,
                 .assigned = {"USBMODE=1", "READERPROTOCOL=4", "DEBUG=1", "SOUND=1", "KMMODE=0"},
                 .writes = {505, 502, 502, 502, 502, 502}},
        MenuCase{.name = "RefusedKeyboardOptionEndsTheChainSilently",
                 .scenario = std::string(KBD) + "fn 502 model times 2\nfn 502 result -7\n",
                 .input = "2\n1\n5\n6\n1\n\n99\n\n",
                 .absent = "Error",
                 .screens = 2,
                 .assigned = {"USBMODE=1", "KBDPRESSDLY=5", "KBDRELEASEDLY=6"},
                 .writes = {502, 502, 502, 506},
                 .traces = "USB Mode set OK\n"},
        // "n" goes straight back to the menu, without "Press ENTER"; other
        // answers than y and n ask again.
        MenuCase{.name = "UserConfigurationWarnsBeforeAskingTheProtocol",
                 .scenario = std::string(KM) + "param READERPROTOCOL 999\nparam RDRCFG_CSUM 12AB\n",
                 .input = "3\nn\n3\n\nx\nY\nyes\n21\n\n100\n\n",
                 .shown = {{WARNING + "\x1b[2J"},
                           {WARNING +
                            "Do you want to continue? (y/n):Do you want to continue? "
                            "(y/n):Do you want to continue? (y/n):Reader protocol: " +
                            VALUE_OK},
                           {"Reader protocol: "}},
                 .screens = 3},
        MenuCase{.name = "ReaderWithoutConfigurationIsNotOpened",
                 .scenario = "device r 0x0200\nserial SV\n",
                 .input = "\n",
                 .ends = "Configuration not supported on given reader!\n" + ENTER,
                 .screens = 0},
        MenuCase{.name = "ReaderThatCannotBeOpenedGoesToTheFinalPrompt",
                 .scenario = KM,
                 .input = "\n",
                 .ends = "Cannot open given reader\n" + ENTER,
                 .screens = 0,
                 .unplugged = true},
        // Input that ends inside a dialog: the menu leaves as with 100,
        // writes nothing, and ends with the final prompt without drawing the
        // screen again.
        MenuCase{.name = "EndAtMenu", .scenario = KBD_ALL, .input = ""},
        MenuCase{.name = "EndAtDefaultsEnter", .scenario = KBD_ALL, .input = "1\n"},
        MenuCase{.name = "EndAtUsbMode", .scenario = KBD_ALL, .input = "2\n"},
        MenuCase{.name = "EndAtUsbModeEmpty", .scenario = KBD_ALL, .input = "2\n\n"},
        MenuCase{.name = "EndAtPressDelay", .scenario = KBD_ALL, .input = "2\n1\n"},
        MenuCase{.name = "EndAtReleaseDelay", .scenario = KBD_ALL, .input = "2\n1\n10\n"},
        MenuCase{.name = "EndAtLayout", .scenario = KBD_ALL, .input = "2\n1\n10\n10\n"},
        MenuCase{.name = "EndAtUsbModeEnter", .scenario = KBD_ALL, .input = "2\n3\n"},
        MenuCase{.name = "EndAtUsbModeEnterNoNewline", .scenario = KBD_ALL, .input = "2\n3"},
        MenuCase{.name = "EndAtKmMode", .scenario = KBD_ALL, .input = "2\n2\n"},
        MenuCase{.name = "EndAtWarning", .scenario = KBD_ALL, .input = "3\n"},
        MenuCase{.name = "EndAtWarningRepeat", .scenario = KBD_ALL, .input = "3\nq\n"},
        MenuCase{.name = "EndAtProtocol", .scenario = KBD_ALL, .input = "3\ny\n"},
        MenuCase{.name = "EndAtProtocolEnter", .scenario = KBD_ALL, .input = "3\ny\n5\n"},
        MenuCase{.name = "EndAtDebug", .scenario = KBD_ALL, .input = "4\n"},
        MenuCase{.name = "EndAtDebugEnter", .scenario = KBD_ALL, .input = "4\n1\n"},
        MenuCase{.name = "EndAtSound", .scenario = KBD_ALL, .input = "5\n"},
        MenuCase{.name = "EndAtSoundEnter", .scenario = KBD_ALL, .input = "5\n0\n"},
        MenuCase{.name = "EndAtPromptAgain", .scenario = KBD_ALL, .input = "7\n"}),
    case_name<MenuCase>);

} // namespace
