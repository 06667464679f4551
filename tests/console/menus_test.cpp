// SPDX-License-Identifier: GPL-2.0-or-later
// The console's menus as the operator sees them: the reader list, the
// reader's configuration menu, what each typed line shows, where the end of
// input leaves them, and what a save then writes to the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "base/diag.h"
#include "console/config_menu.h"
#include "console/main_menu.h"
#include "console/reader_info.h"
#include "console_rig.h"
#include "support/capture.h"

namespace {

const std::string CLEAR = "\x1b[2J\x1b[0;0H";
const std::string BANNER = CLEAR +
                           "Norvane USB card reader configuration utility ver. 1.28, ZODARIDA "
                           "release\n\nList of available readers:\n";
const std::string RULE = std::string(76, '-') + "\n";
const std::string PROMPT = "Enter number: ";
const std::string CANNOT = "\nCannot select given reader\n- Press ENTER to continue\n";
const std::string MENU = "Select action:\n1) set config to defaults\n2) set USB mode\n"
                         "3) set card reader protocol\n4) set debug mode\n5) set sound mode\n"
                         "99) save config and exit\n100) exit without saving\n\nEnter number: ";
const std::string ENTER = "Press ENTER to continue\n";
const std::string OK = "Value OK, it will be set after config save\n";
const std::string INVALID = "Invalid value\n" + ENTER;
const std::string DEBUG_Q = "Debug mode (0=no log, 1=warn only, 2=debug): ";
const std::string MODES = "USB mode (1=USB keyboard, 2=USB KM reader, 3=USB serial, 4=USB SHARP, ";
const std::string WARNING = "\nReader protocol change will erase stored configuration.\n";
const std::string CONTINUE = "Do you want to continue? (y/n):";

const char* R3 =
    "device a 0x0203\nserial A1\ndevice b 0x0204\nserial B2\ndevice c 0x0202\nserial C3\n";
const char* KM = "device r 0x0203\nserial KM7\n";
const char* KBD = "device r 0x0202\nserial KB1\nparam USBMODE 1\n";
const char* SERIAL_74 = "device r 0x0204\nserial S\nparam READER 74\n";

std::string screen(const std::string& list) {
    return BANNER + RULE + list + RULE +
           "99) Exit application\t100) Test mode\t101) Refresh reader list\n\n";
}
const std::string THREE = screen("0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                                 "1) USB reader v2/v3 (usb serial class), Ser.no.: B2\n"
                                 "2) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n");
const std::string NONE = screen("NO CONFIGURABLE READERS FOUND\n");

// One session at the console. A reader named r alone is given to its
// configuration menu; other readers (or none) get the main menu. The typed
// lines; what must be shown (expect_texts); how the output ends (by default
// with the menu's last question: "Enter number: " of the list, "Press ENTER"
// of the reader's menu); how often the list, or the reader's menu, is drawn
// (0: the reader's menu printed the end alone and never asked r anything);
// what was written to r: wire_words() of its writes, and the save's success
// traces. Nothing else is written, every
// reader is left closed, and only a restart is waited for.
struct Session {
    std::string name;
    std::string scenario = {};
    std::string input;
    std::string shown = {};
    std::string ends = {};
    int screens = 1;
    std::string written = {};
    std::string traces = {};
};

class Menus : public ConsoleTest, public ::testing::WithParamInterface<Session> {};

TEST_P(Menus, Session) {
    const Session& c = GetParam();
    const bool list = !c.scenario.starts_with("device r ");
    load(c.scenario);
    feed_stdin(c.input);
    diag_verbosity = 2;
    FdCapture err(2), out(1);
    const auto start = std::chrono::steady_clock::now();
    ReportedConfig reported;
    if (list)
        main_menu();
    else
        config_menu(reader_first(), &reported);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string text = out.finish(), traces = err.finish();
    diag_verbosity = 0;
    expect_texts(text, c.shown);
    EXPECT_TRUE(text.ends_with(c.ends.empty() ? list ? PROMPT : ENTER : c.ends)) << text;
    EXPECT_EQ(occurrences(text, list ? BANNER : "Select action:"), c.screens) << text;
    for (const char* device : {"a", "b", "c", "r"})
        EXPECT_EQ(wire_words(device, true), *device == 'r' ? c.written : "") << device;
    EXPECT_TRUE(list || emu::exchanges("r").empty() == (c.screens == 0));
    for (Reader* r : listed_readers())
        EXPECT_EQ(reader_is_open(r), 0) << r->serial;
    std::istringstream trace_lines(traces);
    std::string ok_traces;
    for (std::string line; std::getline(trace_lines, line);)
        if (line.ends_with(" set OK")) ok_traces += line.substr(0, line.size() - 7) + ",";
    EXPECT_EQ(ok_traces, c.traces);
    // The reader took the restart and was back within the wait (the
    // emulator acts on its timeline at the next hidapi call).
    const bool restarts = c.written.ends_with("506");
    EXPECT_EQ(elapsed >= std::chrono::milliseconds(RESTART_WAIT_MS), restarts);
    readers_enumerate();
    EXPECT_EQ(std::max(emu::restarts("r"), 0), restarts ? 1 : 0);
}

std::vector<Session> sessions() {
    const std::string DELAYS_Q = "USB key press delay (in ms) (0=default): USB key release delay "
                                 "(in ms) (0=default): USB keyboard layout (0=default numpad, "
                                 "1=US): ";
    const std::string ERRORS = "Error -9 while setting defaults\nError -7 while setting USB mode\n"
                               "Error -7 while setting reader protocol\nError -7 while setting "
                               "debug mode\nError -7 while setting sound mode\nError -7 while "
                               "setting KM mode\n";
    std::vector<Session> cases = {
        {.name = "ScreenIsReportThenMenu",
         .scenario = KM,
         .input = "100\n\n",
         .shown = CLEAR + "USB Reader information:\n",
         .ends = "Req lib ver.  : 3.4.0\n\n" + MENU + ENTER},
        {.name = "NothingPendingSavesNothingAndDoesNotRestart",
         .scenario = KM,
         .input = "99\n\n",
         .ends = "Enter number: " + ENTER},
        // 2 is no choice there: only the prompt comes again.
        {.name = "FxEpaReaderHasNoUsbModeItem",
         .scenario = "device r 0x0207\nserial E1\n",
         .input = "2\n100\n\n",
         .shown = "1) set config to defaults\n3) set card reader protocol\n|!USB mode",
         .ends = "Enter number: Enter number: " + ENTER},
        {.name = "UnknownChoicesOnlyRepeatThePrompt",
         .scenario = KM,
         .input = "\n0\n-1\n6\nabc\n100\n\n",
         .shown = "6*Enter number: "},
        {.name = "ModeFiveIsInvalidUnlessTheModuleOffersCcid",
         .scenario = "device r 0x0204\nserial S\nparam READER 12\n",
         .input = "2\n5\n\n100\n\n",
         .shown = MODES + "7=USB HP, 10=USB HIDRAW): " + INVALID,
         .screens = 2},
        // USB mode 6 and others, debug and sound outside their ranges.
        {.name = "OutOfRangeValuesAreRefused",
         .scenario = SERIAL_74,
         .input = "2\n6\n\n2\n0\n\n2\n11\n\n4\n99\n\n4\n3\n\n5\n2\n\n5\n-1\n\n100\n\n",
         .shown = "3*HIDRAW): " + INVALID + "|2*" + DEBUG_Q + INVALID +
                  "|2*Sound mode (0=sound disabled, 1=sound enabled): " + INVALID,
         .screens = 8},
        {.name = "ReaderType74AcceptsCcidMode",
         .scenario = SERIAL_74,
         .input = "2\n5\n\n99\n\n",
         .shown = MODES + "5=USB CCID, 7=USB HP, 10=USB HIDRAW): " + OK,
         .screens = 2,
         .written = "USBMODE=5 506",
         .traces = "USB Mode,"},
        {.name = "EmptyAnswerAsksTheQuestionAgain",
         .scenario = KM,
         .input = "4\n\n\n1\n\n100\n\n",
         .shown = DEBUG_Q + DEBUG_Q + DEBUG_Q + OK + ENTER,
         .screens = 2},
        // The first 19 characters answer 2; the other six are what the read
        // after "Press ENTER to continue" takes, so 100 leaves the menu.
        {.name = "LongAnswerIsTakenInPiecesOf19",
         .scenario = KM,
         .input = "4\n0000000000000000002345678\n100\n\n",
         .shown = DEBUG_Q + OK + ENTER + "|2*Enter number: ",
         .screens = 2},
        // Defaults go first, then each setting in a fixed order, whatever
        // order they were chosen in; sound enabled is sent as 0, and the KM
        // mode chosen with an earlier mode stays.
        {.name = "SaveSendsDefaultsThenEachSettingThenRestarts",
         .scenario = KM,
         .input = "3\n7\n\n1\n\n5\n1\n\n2\n2\n1\n\n2\n3\n\n99\n\n",
         .shown = "Reader protocol: " + OK + "|Defaults will be set after config save\n" + ENTER +
                  "|KM cardno mode (0=default, 1=AU201 compat): " + OK,
         .screens = 6,
         .written = "505 USBMODE=3 READERPROTOCOL=7 SOUND=0 KMMODE=1 506",
         .traces = "Defaults,USB Mode,Reader protocol,Sound mode,KM mode,"},
        {.name = "KeyboardModeSendsItsOptionsAfterTheMode",
         .scenario = KBD,
         .input = "5\n0\n\n4\n2\n\n2\n1\n15\n25\n1\n\n3\n12\n\n99\n\n",
         .shown = DELAYS_Q + OK,
         .screens = 5,
         .written =
             "USBMODE=1 KBDPRESSDLY=15 KBDRELEASEDLY=25 KBDLAYOUT=1 READERPROTOCOL=12 DEBUG=2 "
             "SOUND=1 506",
         .traces = "USB Mode,USB keyboard options,Reader protocol,Debug mode,Sound mode,"},
        {.name = "KeyboardModeWithoutKnownDelaysAsksNoDelays",
         .scenario = "device r 0x0204\nserial S\nnoparam KBDPRESSDLY\n",
         .input = "2\n1\n\n99\n\n",
         .shown = "!USB key press delay",
         .screens = 2,
         .written = "USBMODE=1 506",
         .traces = "USB Mode,"},
        // A refused USB mode sends none of the keyboard options; with no
        // write accepted the reader is not restarted.
        {.name = "RefusedWritesPrintTheirErrorsAndNeitherStopOthersNorRestart",
         .scenario = std::string(KBD) + "fn 505 result -9\nfn 502 result -7\n",
         .input =
             "1\n\n2\n1\n1\n2\n3\n\n3\n4\n\n4\n1\n\n5\n0\n\n2\n2\n0\n\n2\n1\n1\n2\n3\n\n99\n\n",
         .shown = ERRORS + ENTER,
         .screens = 8,
         .written = "505 USBMODE=1 READERPROTOCOL=4 DEBUG=1 SOUND=1 KMMODE=0"},
        {.name = "RefusedKeyboardOptionEndsTheChainSilently",
         .scenario = std::string(KBD) + "fn 502 model times 2\nfn 502 result -7\n",
         .input = "2\n1\n5\n6\n1\n\n99\n\n",
         .shown = "!Error",
         .screens = 2,
         .written = "USBMODE=1 KBDPRESSDLY=5 KBDRELEASEDLY=6 506",
         .traces = "USB Mode,"},
        // "n" goes straight back to the menu, without "Press ENTER"; other
        // answers than y and n ask again.
        {.name = "UserConfigurationWarnsBeforeAskingTheProtocol",
         .scenario = std::string(KM) + "param READERPROTOCOL 999\nparam RDRCFG_CSUM 12AB\n",
         .input = "3\nn\n3\n\nx\nY\nyes\n21\n\n100\n\n",
         .shown = WARNING + CONTINUE + "\x1b[2J|" + WARNING + CONTINUE + CONTINUE + CONTINUE +
                  CONTINUE + "Reader protocol: " + OK + "|Reader protocol: ",
         .screens = 3},
        {.name = "ReaderWithoutConfigurationIsNotOpened",
         .scenario = "device r 0x0200\nserial SV\n",
         .input = "\n",
         .shown = "=Configuration not supported on given reader!\n" + ENTER,
         .screens = 0},
        // The main menu.
        {.name = "ListsEveryReaderWithItsNumber",
         .scenario = R3,
         .input = "99\n",
         .shown = "=" + THREE + PROMPT},
        {.name = "OutOfRangeRepeatsOnlyThePrompt",
         .scenario = R3,
         .input = "102\n-1\n99\n",
         .shown = "=" + THREE + PROMPT + PROMPT + PROMPT},
        {.name = "EnterAloneOpensTheFirstReader",
         .scenario = R3,
         .input = "\n100\n\n99\n",
         .shown = PROMPT + "\x1b[2J\x1b[0;0HUSB Reader information:\n|Serial no.    : A1\n",
         .screens = 2},
        {.name = "NumberWithoutReaderWaitsForEnter",
         .scenario = R3,
         .input = "3\nanything\n2\n100\n\n99\n",
         .shown = PROMPT + CANNOT + BANNER + "|Serial no.    : C3\n",
         .screens = 3},
        {.name = "EnterAloneWithoutReaderCannotSelect",
         .input = "\n\n99\n",
         .shown = "=" + NONE + PROMPT + CANNOT + NONE + PROMPT,
         .screens = 2},
        {.name = "EndOfInputAtThePromptLeaves",
         .scenario = R3,
         .input = "",
         .shown = "=" + THREE + PROMPT},
        {.name = "EndOfInputAfterCannotSelectLeaves",
         .scenario = R3,
         .input = "7\n",
         .shown = "=" + THREE + PROMPT + CANNOT,
         .ends = CANNOT},
        // The list is read afresh at each drawing: while the operator was in
        // r's menu, whose save waited for r's restart, c left and b came.
        {.name = "ListIsReadAfreshAtEachDrawing",
         .scenario = "device a 0x0203\nserial A1\ndevice c 0x0202\nserial C3\ndisappear 1\n"
                     "device r 0x0204\nserial R1\ndevice b 0x0202\nserial B2\nappear 1\n",
         .input = "2\n5\n1\n\n99\n\n101\n99\n",
         .shown = "Ser.no.: C3\n|2*Ser.no.: R1\n2) USB reader v2/v3 (usb keyboard class), Ser.no.: "
                  "B2\n" +
                  RULE,
         .screens = 3,
         .written = "SOUND=0 506",
         .traces = "Sound mode,"},
        // Input ending inside the reader's menu leaves both menus at once.
        {.name = "EndInsideAReaderMenuDialog",
         .scenario = R3,
         .input = "1\n4\n",
         .shown = "Serial no.    : B2\n",
         .ends = ENTER},
    };
    // Input that ends inside a dialog: the menu leaves as with 100, writes
    // nothing, and ends with the final prompt without drawing the screen
    // again. The reader offers every dialog: keyboard and KM options, the
    // warning before the protocol.
    // Each word: the case's name after "EndAt", "=", the typed text with '/'
    // for a line end.
    std::istringstream ends(
        "Menu= DefaultsEnter=1/ UsbMode=2/ UsbModeEmpty=2// PressDelay=2/1/ ReleaseDelay=2/1/10/ "
        "Layout=2/1/10/10/ UsbModeEnter=2/3/ UsbModeEnterNoNewline=2/3 KmMode=2/2/ Warning=3/ "
        "WarningRepeat=3/q/ Protocol=3/y/ ProtocolEnter=3/y/5/ Debug=4/ DebugEnter=4/1/ Sound=5/ "
        "SoundEnter=5/0/ PromptAgain=7/");
    for (std::string word; ends >> word;) {
        std::string input = word.substr(word.find('=') + 1);
        std::replace(input.begin(), input.end(), '/', '\n');
        cases.push_back(
            {.name = "EndAt" + word.substr(0, word.find('=')),
             .scenario = std::string(KBD) + "param KMMODE 0\nparam READERPROTOCOL 999\n",
             .input = input});
    }
    return cases;
}

TABLE_TEST(Typed, Menus, sessions());

TEST_F(ConsoleTest, ReaderThatCannotBeOpenedGoesToTheFinalPrompt) {
    load(KM);
    emu::unplug("r");
    feed_stdin("\n");
    FdCapture out(1);
    ReportedConfig reported;
    config_menu(reader_first(), &reported);
    EXPECT_EQ(out.finish(), "Cannot open given reader\n" + ENTER);
}

} // namespace
