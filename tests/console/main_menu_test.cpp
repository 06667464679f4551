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

struct MainCase {
    const char* name;
    const char* scenario;
    std::string input;
    std::string whole = {};              // the whole output, when given
    std::vector<std::string> shown = {}; // runs of output that must appear
    int screens = 1;                     // lists drawn
    std::string ends = PROMPT;           // the output's last text
    std::string opened = {};             // the devices exchanged with
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
    for (const std::string& s : c.shown)
        EXPECT_NE(text.find(s), std::string::npos) << s << "\nnot in:\n" << text;
    EXPECT_EQ(occurrences(text, BANNER), c.screens);
    EXPECT_TRUE(ends_with(text, c.ends)) << text;
    std::string opened;
    for (const char* device : {"a", "b", "c"}) {
        if (!emu::exchanges(device).empty()) opened += device;
        EXPECT_TRUE(calls(device, 502).empty()) << "nothing is written: " << device;
        EXPECT_TRUE(calls(device, 505).empty()) << device;
        EXPECT_TRUE(calls(device, 506).empty()) << device;
    }
    EXPECT_EQ(opened, c.opened);
    EXPECT_LT(elapsed_ms_, 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Typed, MainMenu,
    ::testing::Values(
        MainCase{.name = "ListsEveryReaderWithItsNumber",
                 .scenario = THREE_READERS,
                 .input = "99\n",
                 .whole = THREE + PROMPT},
        MainCase{.name = "OutOfRangeRepeatsOnlyThePrompt",
                 .scenario = THREE_READERS,
                 .input = "102\n-1\n99\n",
                 .whole = THREE + PROMPT + PROMPT + PROMPT},
        MainCase{.name = "EnterAloneOpensTheFirstReader",
                 .scenario = THREE_READERS,
                 .input = "\n100\n\n99\n",
                 .shown = {PROMPT + "\x1b[2J\x1b[0;0HUSB Reader information:\n"
                                    "Usb reader    : USB reader v2/v3 (usb km embedded class)\n"
                                    "Serial no.    : A1\n"},
                 .screens = 2,
                 .opened = "a"},
        MainCase{.name = "WordWithoutDigitsOpensTheFirstReader",
                 .scenario = THREE_READERS,
                 .input = "exit\n100\n\n99\n",
                 .shown = {"Serial no.    : A1\n"},
                 .screens = 2,
                 .opened = "a"},
        MainCase{.name = "NumberWithoutReaderWaitsForEnter",
                 .scenario = THREE_READERS,
                 .input = "3\nanything\n2\n100\n\n99\n",
                 .shown = {PROMPT + CANNOT + BANNER, "Serial no.    : C3\n"},
                 .screens = 3,
                 .opened = "c"},
        MainCase{.name = "EnterAloneWithoutReaderCannotSelect",
                 .scenario = "",
                 .input = "\n\n99\n",
                 .whole = NONE + PROMPT + CANNOT + NONE + PROMPT,
                 .screens = 2},
        // The first piece is 99; the rest of the line is never read.
        MainCase{.name = "LongLineIsReadIn19CharacterPieces",
                 .scenario = THREE_READERS,
                 .input = "0000000000000000099101\n",
                 .whole = THREE + PROMPT},
        MainCase{.name = "EndOfInputAtThePromptLeaves",
                 .scenario = THREE_READERS,
                 .input = "",
                 .whole = THREE + PROMPT},
        MainCase{.name = "EndOfInputAfterCannotSelectLeaves",
                 .scenario = THREE_READERS,
                 .input = "7\n",
                 .whole = THREE + PROMPT + CANNOT,
                 .ends = CANNOT},
        MainCase{.name = "PartialLastLineIsStillAnswered",
                 .scenario = THREE_READERS,
                 .input = "102\n99",
                 .whole = THREE + PROMPT + PROMPT},
        // Input ending inside the reader's menu leaves both menus at once.
        MainCase{.name = "EndInsideTheReaderMenu",
                 .scenario = THREE_READERS,
                 .input = "1\n",
                 .ends = "Press ENTER to continue\n",
                 .opened = "b"},
        MainCase{.name = "EndInsideAReaderMenuDialog",
                 .scenario = THREE_READERS,
                 .input = "1\n4\n",
                 .ends = "Press ENTER to continue\n",
                 .opened = "b"},
        MainCase{.name = "EndAfterLeavingTheReaderMenu",
                 .scenario = THREE_READERS,
                 .input = "1\n100\n",
                 .ends = "Press ENTER to continue\n",
                 .opened = "b"},
        MainCase{.name = "EndAfterSavingNothing",
                 .scenario = THREE_READERS,
                 .input = "1\n99\n",
                 .ends = "Press ENTER to continue\n",
                 .opened = "b"}),
    case_name<MainCase>);

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
