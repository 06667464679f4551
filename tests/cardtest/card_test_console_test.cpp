// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <signal.h>

#include <ostream>
#include <string>
#include <vector>

#include "card_test_rig.h"
#include "cardtest/card_test_console.h"
#include "support/capture.h"

namespace {

const std::string RULE(76, '-');
const std::string FOOTER = "(CTRL+C to exit)";

std::string km_line(const char* serial, int mode) {
    const std::string line = std::string(serial) + ", usb KM, mode " + std::to_string(mode) +
                             ", ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
    return line.substr(0, 79);
}

struct Event {
    const char* reader;
    std::string number; // a card number, sent with its terminator
};

// The console on a scenario: once the footer stands on footer_row the
// events are sent, then the screen must become the picture.
struct PictureCase {
    const char* name;
    std::string scenario;
    int footer_row;
    std::vector<Event> events;
    std::vector<std::string> picture;
    int verbosity = 0;
    const char* trace = "";  // a line traced to standard error
    const char* absent = ""; // never written
    const char* padded = ""; // a row written padded to 80 columns
};

void PrintTo(const PictureCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::string> NO_READERS = {"Card testing:", RULE, "NO TESTABLE READERS FOUND",
                                             RULE, FOOTER};

const PictureCase PICTURE_CASES[] = {
    {"NoReaders", "", 4, {}, NO_READERS},
    {"UntestableReaderIsNeverDrawnAndTraced",
     device_block("r1", "0x0206", "CC1"),
     4,
     {},
     NO_READERS,
     2,
     "Device does not support card testing\n"},
    {"ReadersInListOrderWithCardsAndMfpData",
     device_block("r1", "0x0203", "KM1", "  param KMMODE 1\n  features 1\n") +
         device_block("r2", "0x0206", "CC2") +
         device_block("r3", "0x0202", "KB3", "  module_desc \"M-1\\n\\nDesc\\nauto\\nP9\\nx\"\n") +
         device_block("r4", "0x0203", "KM4", "  param KMMODE 0\n  features 1\n"),
     11,
     {{"r1", "1234ABCD"}, {"r4", "1234"}},
     {"Card testing:", RULE, km_line("KM1", 1), "  CARD: '1234ABCD' UID 1234ABCD",
      "  MFP DATA: 1234ABCD" + std::string(24, 'F'), "KB3, usb KBD, M-1 Desc, P9",
      "  CARD (tmout): 'none'", km_line("KM4", 0), "  CARD: '1234' UID 1234",
      "  MFP DATA: 31323334" + std::string(24, 'F'), RULE, FOOTER},
     0,
     "",
     "CC2",
     "KB3, usb KBD, M-1 Desc, P9"},
    // The footer follows the reader rows after a pause: the whole picture.
    {"ReaderStillSettingUp",
     device_block("r1", "0x0202", "SN1", "  status 2:*\n"),
     5,
     {},
     {"Card testing:", RULE, "SN1, usb KBD, reader initializing", "", RULE, FOOTER}},
};

class ConsolePicture : public CardTestRig, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(ConsolePicture, ScreenShowsThePicture) {
    const PictureCase& c = GetParam();
    load(c.scenario);
    diag_verbosity = c.verbosity;
    FdCapture err(2);
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([&](const VtScreen& s) { return s.text(c.footer_row) == FOOTER; }, 3000ms));
    for (const Event& e : c.events)
        emu::send_event(e.reader, 1, e.number + '\0');
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return s.lines() == c.picture; }, 3000ms))
        << ::testing::PrintToString(run.screen().lines());
    EXPECT_EQ(run.screen().unknown_sequences, 0);
    const std::string out = run.output();
    EXPECT_EQ(out.find(c.absent), *c.absent ? std::string::npos : 0);
    if (*c.padded) {
        const std::string row = c.padded;
        const size_t at = out.rfind(row);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(out.substr(at, 81), row + std::string(80 - row.size(), ' ') + "\n");
    }
    EXPECT_EQ(run.finish(), 0);
    const std::string traced = err.finish();
    EXPECT_NE(traced.find(c.trace), std::string::npos);
    if (HasFailure()) std::fputs(traced.c_str(), stderr);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ConsolePicture, ::testing::ValuesIn(PICTURE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

class CardTestConsole : public CardTestRig {};

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
    EXPECT_TRUE(s.shows("Shutting down, please wait..."));
    EXPECT_TRUE(s.shows("Press ENTER to continue"));
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

TEST_F(CardTestConsole, SignalHandlerTracesWithWriteAndSetsTheFlag) {
    diag_verbosity = 2;
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
    EXPECT_EQ(delta.find(FOOTER), std::string::npos);
    EXPECT_EQ(run.finish(), 0);
}

// Each step waits for the screen to hold the rows given (row, text).
struct Step {
    std::function<void()> act;
    std::vector<std::pair<int, std::string>> rows;
};

void run_steps(const ConsoleRun& run, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].act) steps[i].act();
        EXPECT_TRUE(run.wait_screen(
            [&](const VtScreen& s) {
                for (const auto& [row, text] : steps[i].rows)
                    if (s.text(row).rfind(text, 0) != 0) return false;
                return true;
            },
            4500ms))
            << "step " << i << ": " << ::testing::PrintToString(run.screen().lines());
    }
}

TEST_F(CardTestConsole, RefusedRegistrationHidesTheReaderUntilTheNextPass) {
    load(device_block("r1", "0x0202", "SN1", "  fn 530 result -6\n  fn 530 model\n  features 1\n"));
    ConsoleRun run;
    run_steps(run, {{nullptr, {{2, "NO TESTABLE READERS FOUND"}, {4, FOOTER}}},
                    {nullptr, {{3, "  CARD: 'none'"}}}});
    const std::vector<int> f = functions_of("r1");
    EXPECT_EQ(std::count(f.begin(), f.end(), 530), 2);
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, UnpluggedReaderVanishesAndIsTestedAgainWhenBack) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n"));
    ConsoleRun run;
    run_steps(run, {{nullptr, {{5, "  CARD: 'none'"}}},
                    {[] { emu::unplug("r1"); }, {{2, "SN2, "}, {5, FOOTER}}},
                    {[] { emu::plug("r1"); },
                     {{2, "SN1, "}, {3, "  CARD: 'none'"}, {4, "SN2, "}, {5, "  CARD: 'none'"}}}});
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, EnumerationPassRepairsADisturbedScreen) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(3) == "  CARD: 'none'"; }, 3000ms));
    const std::vector<std::string> good = run.screen().lines();
    // Another program scribbles over the reader's rows.
    const std::string scribble = "\x1b[3;1Hscribbled\x1b[4;1Hover";
    ASSERT_EQ(write(1, scribble.data(), scribble.size()), static_cast<ssize_t>(scribble.size()));
    EXPECT_EQ(run.screen().text(2).substr(0, 9), "scribbled");
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return s.lines() == good; }, 4000ms));
    EXPECT_EQ(run.finish(), 0);
}

} // namespace
