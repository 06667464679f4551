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

const char* THREE_READERS = "device a 0x0203\nserial A1\n"
                            "device b 0x0204\nserial B2\n"
                            "device c 0x0202\nserial C3\n";

std::string screen(const std::string& list) {
    return BANNER + RULE + list + RULE + FOOTER;
}

const std::string THREE = screen("0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                                 "1) USB reader v2/v3 (usb serial class), Ser.no.: B2\n"
                                 "2) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n");
const std::string NONE = screen("NO CONFIGURABLE READERS FOUND\n");

class MainMenuTest : public ConsoleTest {
  protected:
    // The menu on the standard input as it is; what it printed, and how long
    // it took in elapsed_ms_.
    std::string run_fed() {
        const auto start = std::chrono::steady_clock::now();
        FdCapture out(1);
        EXPECT_EQ(main_menu(), 0);
        std::string text = out.finish();
        elapsed_ms_ =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        return text;
    }

    double elapsed_ms_ = 0;
};

// What typing input at the list shows: the whole output, or probes of
// expect_texts with the output's end; how often the list is drawn, and the
// readers exchanged with.
struct MainCase {
    const char* name;
    const char* scenario;
    std::string input;
    std::string whole;
    std::string shown = {};
    int screens = 1;
    std::string ends = PROMPT;
    std::string opened = {};
};
CONSOLE_CASE_PRINTER(MainCase)

class MainMenu : public MainMenuTest, public ::testing::WithParamInterface<MainCase> {};

TEST_P(MainMenu, Answers) {
    const MainCase& c = GetParam();
    load(c.scenario);
    feed_stdin(c.input);
    const std::string text = run_fed();
    if (!c.whole.empty()) {
        EXPECT_EQ(text, c.whole);
    }
    expect_texts(text, c.shown);
    EXPECT_EQ(occurrences(text, BANNER), c.screens);
    EXPECT_TRUE(ends_with(text, c.ends)) << text;
    std::string opened;
    for (const char* device : {"a", "b", "c"}) {
        if (!emu::exchanges(device).empty()) opened += device;
        for (uint16_t write : {502, 505, 506})
            EXPECT_TRUE(calls(device, write).empty()) << "nothing is written: " << device;
    }
    EXPECT_EQ(opened, c.opened);
    EXPECT_LT(elapsed_ms_, 2000);
}

std::vector<MainCase> answers() {
    const char* R3 = THREE_READERS;
    const std::string A1 = "Serial no.    : A1\n";
    std::vector<MainCase> cases = {
        {"ListsEveryReaderWithItsNumber", R3, "99\n", THREE + PROMPT},
        {"OutOfRangeRepeatsOnlyThePrompt", R3, "102\n-1\n99\n", THREE + PROMPT + PROMPT + PROMPT},
        {"EnterAloneOpensTheFirstReader", R3, "\n100\n\n99\n", "",
         PROMPT +
             "\x1b[2J\x1b[0;0HUSB Reader information:\nUsb reader    : USB reader v2/v3 (usb "
             "km embedded class)\n" +
             A1,
         2, PROMPT, "a"},
        {"WordWithoutDigitsOpensTheFirstReader", R3, "exit\n100\n\n99\n", "", A1, 2, PROMPT, "a"},
        {"NumberWithoutReaderWaitsForEnter", R3, "3\nanything\n2\n100\n\n99\n", "",
         PROMPT + CANNOT + BANNER + "|Serial no.    : C3\n", 3, PROMPT, "c"},
        {"EnterAloneWithoutReaderCannotSelect", "", "\n\n99\n",
         NONE + PROMPT + CANNOT + NONE + PROMPT, "", 2},
        // The first piece is 99; the rest of the line is never read.
        {"LongLineIsReadIn19CharacterPieces", R3, "0000000000000000099101\n", THREE + PROMPT},
        {"EndOfInputAtThePromptLeaves", R3, "", THREE + PROMPT},
        {"EndOfInputAfterCannotSelectLeaves", R3, "7\n", THREE + PROMPT + CANNOT, "", 1, CANNOT},
        {"PartialLastLineIsStillAnswered", R3, "102\n99", THREE + PROMPT + PROMPT}};
    // Input ending inside the reader's menu leaves both menus at once.
    for (const auto& [name, input] : {std::pair{"EndInsideTheReaderMenu", "1\n"},
                                      {"EndInsideAReaderMenuDialog", "1\n4\n"},
                                      {"EndAfterLeavingTheReaderMenu", "1\n100\n"},
                                      {"EndAfterSavingNothing", "1\n99\n"}})
        cases.push_back({name, R3, input, "", "", 1, "Press ENTER to continue\n", "b"});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Typed, MainMenu, ::testing::ValuesIn(answers()), case_name<MainCase>);

TEST_F(MainMenuTest, RefreshEnumeratesAgain) {
    load(THREE_READERS);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    clearerr(stdin);
    // The operator refreshes once after b was unplugged and once after it
    // came back.
    std::thread operator_thread([w = fds[1]] {
        auto type = [w](const char* s) { EXPECT_GT(write(w, s, strlen(s)), 0); };
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        emu::unplug("b");
        type("101\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        emu::plug("b");
        type("101\n99\n");
        close(w);
    });
    const std::string text = run_fed();
    operator_thread.join();
    const std::string a_c = "0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                            "1) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n";
    EXPECT_EQ(text, THREE + PROMPT + screen(a_c) + PROMPT +
                        screen(a_c + "2) USB reader v2/v3 (usb serial class), Ser.no.: B2\n") +
                        PROMPT);
}

} // namespace
