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

const char* THREE_READERS = "device a 0x0203\nserial A1\n"
                            "device b 0x0204\nserial B2\n"
                            "device c 0x0202\nserial C3\n";

std::string screen(const std::string& list) {
    return BANNER + RULE + list + RULE + FOOTER;
}

const std::string THREE_LIST = "0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                               "1) USB reader v2/v3 (usb serial class), Ser.no.: B2\n"
                               "2) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n";

class MainMenuTest : public ConsoleTest {
  protected:
    std::string run(const std::string& input) {
        feed_stdin(input);
        return run_fed();
    }

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

    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
            ++n;
        return n;
    }

    double elapsed_ms_ = 0;
};

TEST_F(MainMenuTest, ListsEveryReaderWithItsNumber) {
    load(THREE_READERS);
    EXPECT_EQ(run("99\n"), screen(THREE_LIST) + "Enter number: ");
}

TEST_F(MainMenuTest, NoReaderShowsItsOwnLine) {
    load("");
    EXPECT_EQ(run("99\n"), screen("NO CONFIGURABLE READERS FOUND\n") + "Enter number: ");
}

TEST_F(MainMenuTest, OutOfRangeRepeatsOnlyThePrompt) {
    load(THREE_READERS);
    EXPECT_EQ(run("102\n-1\n99\n"),
              screen(THREE_LIST) + "Enter number: Enter number: Enter number: ");
}

TEST_F(MainMenuTest, EnterAloneOpensTheFirstReader) {
    load(THREE_READERS);
    const std::string text = run("\n100\n\n99\n");
    EXPECT_NE(text.find("Enter number: \x1b[2J\x1b[0;0HUSB Reader information:\n"
                        "Usb reader    : USB reader v2/v3 (usb km embedded class)\n"
                        "Serial no.    : A1\n"),
              std::string::npos);
    EXPECT_EQ(count(text, BANNER), 2);
    EXPECT_FALSE(emu::exchanges("a").empty());
    EXPECT_TRUE(emu::exchanges("b").empty());
}

TEST_F(MainMenuTest, WordWithoutDigitsOpensTheFirstReader) {
    load(THREE_READERS);
    const std::string text = run("exit\n100\n\n99\n");
    EXPECT_NE(text.find("Serial no.    : A1\n"), std::string::npos);
}

TEST_F(MainMenuTest, NumberWithoutReaderWaitsForEnter) {
    load(THREE_READERS);
    const std::string text = run("3\nanything\n2\n100\n\n99\n");
    EXPECT_NE(text.find("Enter number: \nCannot select given reader\n- Press ENTER to continue\n" +
                        BANNER),
              std::string::npos);
    EXPECT_NE(text.find("Serial no.    : C3\n"), std::string::npos);
    EXPECT_EQ(count(text, BANNER), 3);
    EXPECT_TRUE(emu::exchanges("a").empty());
}

TEST_F(MainMenuTest, EnterAloneWithoutReaderCannotSelect) {
    load("");
    const std::string text = run("\n\n99\n");
    EXPECT_EQ(text, screen("NO CONFIGURABLE READERS FOUND\n") +
                        "Enter number: \nCannot select given reader\n- Press ENTER to continue\n" +
                        screen("NO CONFIGURABLE READERS FOUND\n") + "Enter number: ");
}

TEST_F(MainMenuTest, LongLineIsReadIn19CharacterPieces) {
    load(THREE_READERS);
    // The first piece is 99; the rest of the line is never read.
    const std::string text = run("0000000000000000099101\n");
    EXPECT_EQ(text, screen(THREE_LIST) + "Enter number: ");
}

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
    const std::string without_b = "0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                                  "1) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n";
    const std::string back = "0) USB reader v2/v3 (usb km embedded class), Ser.no.: A1\n"
                             "1) USB reader v2/v3 (usb keyboard class), Ser.no.: C3\n"
                             "2) USB reader v2/v3 (usb serial class), Ser.no.: B2\n";
    EXPECT_EQ(text, screen(THREE_LIST) + "Enter number: " + screen(without_b) +
                        "Enter number: " + screen(back) + "Enter number: ");
}

TEST_F(MainMenuTest, EndOfInputAtThePromptLeaves) {
    load(THREE_READERS);
    EXPECT_EQ(run(""), screen(THREE_LIST) + "Enter number: ");
    EXPECT_LT(elapsed_ms_, 2000);
}

TEST_F(MainMenuTest, EndOfInputAfterCannotSelectLeaves) {
    load(THREE_READERS);
    EXPECT_EQ(run("7\n"), screen(THREE_LIST) + "Enter number: \nCannot select given reader\n"
                                               "- Press ENTER to continue\n");
}

TEST_F(MainMenuTest, PartialLastLineIsStillAnswered) {
    load(THREE_READERS);
    EXPECT_EQ(run("102\n99"), screen(THREE_LIST) + "Enter number: Enter number: ");
}

TEST_F(MainMenuTest, EndOfInputInsideTheReaderMenuLeavesBothMenus) {
    load(THREE_READERS);
    for (const char* input : {"1\n", "1\n4\n", "1\n100\n", "1\n99\n"}) {
        emu::clear_transcript("b");
        const std::string text = run(input);
        EXPECT_EQ(count(text, BANNER), 1) << input;
        EXPECT_EQ(text.substr(text.size() - 24), "Press ENTER to continue\n") << input;
        EXPECT_TRUE(calls("b", 502).empty()) << input;
        EXPECT_TRUE(calls("b", 506).empty()) << input;
        EXPECT_LT(elapsed_ms_, 2000) << input;
    }
}

} // namespace
