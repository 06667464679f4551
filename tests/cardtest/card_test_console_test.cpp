#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "card_test_rig.h"
#include "cardtest/card_test_console.h"
#include "support/capture.h"

namespace {

const std::string RULE(76, '-');

class CardTestConsole : public CardTestRig {};

// Rows from the third on, as a person reads them.
std::vector<std::string> body(const VtScreen& s) {
    return s.lines(2);
}

TEST_F(CardTestConsole, WithoutReadersTheNoticeStandsAboveTheFooter) {
    load("");
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(4) == "(CTRL+C to exit)"; }, 2000ms));
    EXPECT_EQ(run.finish(), 0);
    const VtScreen s = run.screen();
    const std::vector<std::string> expected = {"Card testing:",
                                               RULE,
                                               "NO TESTABLE READERS FOUND",
                                               RULE,
                                               "(CTRL+C to exit)",
                                               "",
                                               "",
                                               "Shutting down, please wait...",
                                               "",
                                               "Press ENTER to continue"};
    EXPECT_EQ(s.lines(), expected);
    EXPECT_EQ(s.unknown_sequences, 0);
}

TEST_F(CardTestConsole, ReadersAreDrawnInListOrderWithCardsAndMfpData) {
    load(device_block("r1", "0x0203", "KM1", "  param KMMODE 1\n  features 1\n") +
         device_block("r2", "0x0206", "CC2") +
         device_block("r3", "0x0202", "KB3", "  module_desc \"M-1\\n\\nDesc\\nauto\\nP9\\nx\"\n") +
         device_block("r4", "0x0203", "KM4", "  param KMMODE 0\n  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen([](const VtScreen& s) { return s.text(11) == "(CTRL+C to exit)"; },
                                3000ms));
    emu::send_event("r1", 1, std::string("1234ABCD\0", 9));
    emu::send_event("r4", 1, std::string("1234\0", 5));
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(3).find("UID 1234ABCD") != std::string::npos &&
                   s.text(8).find("UID 1234") != std::string::npos;
        },
        2000ms));
    const std::string km1 =
        "KM1, usb KM, mode 1, ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
    const std::string km4 =
        "KM4, usb KM, mode 0, ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
    const std::vector<std::string> expected = {km1.substr(0, 79),
                                               "  CARD: '1234ABCD' UID 1234ABCD",
                                               "  MFP DATA: 1234ABCD" + std::string(24, 'F'),
                                               "KB3, usb KBD, M-1 Desc, P9",
                                               "  CARD (tmout): 'none'",
                                               km4.substr(0, 79),
                                               "  CARD: '1234' UID 1234",
                                               "  MFP DATA: 31323334" + std::string(24, 'F'),
                                               RULE,
                                               "(CTRL+C to exit)"};
    EXPECT_EQ(body(run.screen()), expected);
    // Every row is padded to 80 columns and ends the line.
    const std::string out = run.output();
    const std::string kb3 = "KB3, usb KBD, M-1 Desc, P9";
    const size_t at = out.rfind(kb3);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(out.substr(at, 81), kb3 + std::string(80 - kb3.size(), ' ') + "\n");
    EXPECT_EQ(out.find("CC2"), std::string::npos);
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, ReaderStillSettingUpShowsItsStatusAndAnEmptyCardLine) {
    load(device_block("r1", "0x0202", "SN1", "  status 2:*\n"));
    ConsoleRun run;
    const std::vector<std::string> expected = {"SN1, usb KBD, reader initializing", "", RULE,
                                               "(CTRL+C to exit)"};
    // The footer follows the reader rows after a pause: wait for the whole.
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return body(s) == expected; }, 3000ms))
        << ::testing::PrintToString(body(run.screen()));
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, UntestableReaderIsNeverDrawnAndTracedAtEachPass) {
    load(device_block("r1", "0x0206", "CC1"));
    diag_verbosity = 2;
    FdCapture err(2);
    {
        ConsoleRun run;
        ASSERT_TRUE(run.wait_screen(
            [](const VtScreen& s) { return s.text(4) == "(CTRL+C to exit)"; }, 2000ms));
        EXPECT_EQ(run.screen().text(2), "NO TESTABLE READERS FOUND");
    }
    EXPECT_NE(err.finish().find("Device does not support card testing\n"), std::string::npos);
}

TEST_F(CardTestConsole, CtrlCStopsTheReadersOneAfterAnotherInListOrder) {
    // r1 is still waiting for its module and answers a stop request only
    // after its next status pause; r2 and r3 must keep running meanwhile.
    load(device_block("r1", "0x0202", "SN1", "  status 4:*\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n") +
         device_block("r3", "0x0202", "SN3", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(2).find("firmware update in progress") != std::string::npos &&
                   s.text(5) == "  CARD: 'none'" && s.text(7) == "  CARD: 'none'";
        },
        3000ms));
    ASSERT_EQ(raise(SIGINT), 0);
    const char* names[] = {"r1", "r2", "r3"};
    double closed_ms[3] = {0, 0, 0};
    bool open_at_close[3][3] = {};
    wait_until(
        [&] {
            for (int i = 0; i < 3; ++i) {
                if (closed_ms[i] != 0 || emu::is_open(names[i])) continue;
                closed_ms[i] = emu::now_ms();
                for (int j = 0; j < 3; ++j)
                    open_at_close[i][j] = emu::is_open(names[j]);
            }
            return closed_ms[0] != 0 && closed_ms[1] != 0 && closed_ms[2] != 0;
        },
        5000ms);
    EXPECT_EQ(run.finish(false), 0);
    EXPECT_LT(closed_ms[0], closed_ms[1]);
    EXPECT_LT(closed_ms[1], closed_ms[2]);
    EXPECT_TRUE(open_at_close[0][1] && open_at_close[0][2]);
    EXPECT_TRUE(open_at_close[1][2]);
    const VtScreen s = run.screen();
    EXPECT_TRUE(row_has(s, "Shutting down, please wait..."));
    EXPECT_TRUE(row_has(s, "Press ENTER to continue"));
    struct sigaction now = {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_EQ(test_workers.load(), 0);
    std::lock_guard<std::mutex> lock(list_lock);
    for (Reader* r = reader_first(); r != nullptr; r = r->next) {
        EXPECT_FALSE(reader_is_open(r));
        EXPECT_EQ(r->test_ctx.load(), nullptr);
    }
}

TEST_F(CardTestConsole, EndOfInputAtTheFinalPromptDoesNotHang) {
    load("");
    ConsoleRun run("");
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(4) == "(CTRL+C to exit)"; }, 2000ms));
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, SignalHandlerTracesWithWriteAndSetsTheFlag) {
    diag_verbosity = 2;
    test_quit = 0;
    FdCapture err(2);
    card_test_on_signal(SIGINT);
    EXPECT_EQ(err.finish(), "Received signal 2\n");
    EXPECT_EQ(test_quit.load(), 1);
    diag_verbosity = 1;
    FdCapture quiet(2);
    card_test_on_signal(15);
    EXPECT_EQ(quiet.finish(), "");
}

TEST_F(CardTestConsole, IdleScreenIsLeftAloneAndACardRewritesOnlyItsRow) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(3) == "  CARD: 'none'" && s.text(5) == "  CARD: 'none'";
        },
        3000ms));
    std::this_thread::sleep_for(100ms);
    const size_t idle_start = run.output().size();
    std::this_thread::sleep_for(400ms);
    const std::string idle = run.output().substr(idle_start);
    EXPECT_EQ(idle.size(), 0u) << "idle redraws wrote to the terminal: " << idle;
    emu::send_event("r2", 1, std::string("999\0", 4));
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) { return s.text(5) == "  CARD: '999' UID 999"; }, 2000ms));
    std::this_thread::sleep_for(100ms);
    const std::string delta = run.output().substr(idle_start);
    // The card row, possibly drawn twice (number, then number and data),
    // with its cursor placement: nothing else.
    EXPECT_LE(delta.size(), 2 * (8 + 81) + 2 * 9) << delta;
    EXPECT_EQ(delta.find("SN1"), std::string::npos);
    EXPECT_EQ(delta.find("(CTRL+C to exit)"), std::string::npos);
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, EnumerationPassRedrawsEverythingAndRepairsADisturbedScreen) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(3) == "  CARD: 'none'"; }, 3000ms));
    const std::vector<std::string> good = body(run.screen());
    // Another program scribbles over the reader's rows.
    const std::string scribble = "\x1b[3;1Hscribbled\x1b[4;1Hover";
    ASSERT_EQ(write(1, scribble.data(), scribble.size()), static_cast<ssize_t>(scribble.size()));
    EXPECT_EQ(run.screen().text(2).substr(0, 9), "scribbled");
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return body(s) == good; }, 4000ms));
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, RefusedRegistrationHidesTheReaderUntilTheNextPass) {
    load(device_block("r1", "0x0202", "SN1", "  fn 530 result -6\n  fn 530 model\n  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(2) == "NO TESTABLE READERS FOUND" && s.text(4) == "(CTRL+C to exit)";
        },
        2000ms));
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(3) == "  CARD: 'none'"; }, 4500ms));
    int registrations = 0;
    for (int f : functions_of("r1"))
        registrations += f == 530;
    EXPECT_EQ(registrations, 2);
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, UnpluggedReaderVanishesAndIsTestedAgainWhenBack) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(5) == "  CARD: 'none'"; }, 3000ms));
    emu::unplug("r1");
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(2).rfind("SN2, ", 0) == 0 && s.text(5) == "(CTRL+C to exit)";
        },
        2000ms));
    emu::plug("r1");
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(2).rfind("SN1, ", 0) == 0 && s.text(4).rfind("SN2, ", 0) == 0 &&
                   s.text(5) == "  CARD: 'none'" && s.text(3) == "  CARD: 'none'";
        },
        4500ms));
    EXPECT_EQ(run.finish(), 0);
}

} // namespace
