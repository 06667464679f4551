// SPDX-License-Identifier: GPL-2.0-or-later
// The main menu: the reader list, the choices typed at its prompt and the
// end of input wherever it comes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

#include "console/main_menu.h"
#include "console_rig.h"
#include "support/capture.h"

namespace {

const std::string BANNER = "\x1b[2J\x1b[0;0H"
                           "Norvane USB card reader configuration utility ver. 1.28, ZODARIDA "
                           "release\n\nList of available readers:\n";
const std::string RULE = std::string(76, '-') + "\n";
const std::string FOOTER = "99) Exit application\t100) Test mode\t101) Refresh reader list\n\n";
const std::string PROMPT = "Enter number: ";
const std::string CANNOT = "\nCannot select given reader\n- Press ENTER to continue\n";

const char* R3 =
    "device a 0x0203\nserial A1\ndevice b 0x0204\nserial B2\ndevice c 0x0202\nserial C3\n";

std::string screen(const std::string& list) {
    return BANNER + RULE + list + RULE + FOOTER;
}

const std::string THREE = screen("0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                                 "1) USB reader v2/v3 (usb serial class), Ser.no.: B2\n"
                                 "2) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n");
const std::string NONE = screen("NO CONFIGURABLE READERS FOUND\n");

// What typing input at the list shows: the whole output when shown starts
// with a screen, else probes of expect_texts; how the output ends, how often
// the list is drawn, and the readers exchanged with. Nothing is written to
// any reader, and the menu never waits for more than the input.
struct MainCase {
    const char* name;
    const char* scenario;
    std::string input;
    std::string shown;
    std::string ends = PROMPT;
    int screens = 1;
    std::string opened = {};
};
CONSOLE_CASE_PRINTER(MainCase)

class MainMenu : public ConsoleTest, public ::testing::WithParamInterface<MainCase> {};

TEST_P(MainMenu, Answers) {
    const MainCase& c = GetParam();
    load(c.scenario);
    feed_stdin(c.input);
    const auto start = std::chrono::steady_clock::now();
    FdCapture out(1);
    EXPECT_EQ(main_menu(), 0);
    const std::string text = out.finish();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    if (c.shown.starts_with(BANNER)) {
        EXPECT_EQ(text, c.shown);
    } else {
        expect_texts(text, c.shown);
    }
    EXPECT_EQ(occurrences(text, BANNER), c.screens);
    EXPECT_TRUE(text.ends_with(c.ends)) << text;
    std::string opened;
    for (const char* device : {"a", "b", "c"}) {
        if (!emu::exchanges(device).empty()) opened += device;
        EXPECT_EQ(wire(device, true), "") << device;
    }
    EXPECT_EQ(opened, c.opened);
}

INSTANTIATE_TEST_SUITE_P(
    Typed, MainMenu,
    ::testing::Values(
        MainCase{"ListsEveryReaderWithItsNumber", R3, "99\n", THREE + PROMPT},
        MainCase{"OutOfRangeRepeatsOnlyThePrompt", R3, "102\n-1\n99\n",
                 THREE + PROMPT + PROMPT + PROMPT},
        MainCase{"EnterAloneOpensTheFirstReader", R3, "\n100\n\n99\n",
                 PROMPT + "\x1b[2J\x1b[0;0HUSB Reader information:\nUsb reader    : USB reader "
                          "v2/v3 (usb km embedded class)\nSerial no.    : A1\n",
                 PROMPT, 2, "a"},
        MainCase{"NumberWithoutReaderWaitsForEnter", R3, "3\nanything\n2\n100\n\n99\n",
                 PROMPT + CANNOT + BANNER + "|Serial no.    : C3\n", PROMPT, 3, "c"},
        MainCase{"EnterAloneWithoutReaderCannotSelect", "", "\n\n99\n",
                 NONE + PROMPT + CANNOT + NONE + PROMPT, PROMPT, 2},
        // The first piece is 99; the rest of the line is never read.
        MainCase{"LongLineIsReadIn19CharacterPieces", R3, "0000000000000000099101\n",
                 THREE + PROMPT},
        MainCase{"EndOfInputAtThePromptLeaves", R3, "", THREE + PROMPT},
        MainCase{"EndOfInputAfterCannotSelectLeaves", R3, "7\n", THREE + PROMPT + CANNOT, CANNOT},
        MainCase{"PartialLastLineIsStillAnswered", R3, "102\n99", THREE + PROMPT + PROMPT},
        // Input ending inside the reader's menu leaves both menus at once.
        MainCase{"EndInsideAReaderMenuDialog", R3, "1\n4\n", "", "Press ENTER to continue\n", 1,
                 "b"}),
    case_name);

// The list is read afresh at each drawing: b, unplugged after the start,
// is missing from the first; the operator refreshes after it came back.
TEST_F(ConsoleTest, RefreshEnumeratesAgain) {
    load(R3);
    emu::unplug("b");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    std::thread operator_thread([w = fds[1]] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        emu::plug("b");
        EXPECT_EQ(write(w, "101\n99\n", 7), 7);
        close(w);
    });
    FdCapture out(1);
    EXPECT_EQ(main_menu(), 0);
    const std::string text = out.finish();
    operator_thread.join();
    const std::string a_c = "0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                            "1) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n";
    EXPECT_EQ(text, screen(a_c) + PROMPT +
                        screen(a_c + "2) USB reader v2/v3 (usb serial class), Ser.no.: B2\n") +
                        PROMPT);
}

} // namespace
