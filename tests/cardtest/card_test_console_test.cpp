// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "card_test_rig.h"
#include "cardtest/card_test_console.h"
#include "support/capture.h"

namespace {

const std::string RULE(76, '-');
const std::string FOOTER = "(CTRL+C to exit)";

// The console on a scenario, tracing at verbosity 2: once the footer stands
// on footer_row, card numbers are sent to the readers given, then the
// screen must become the picture. The untestable reader CC2 is never drawn.
struct PictureCase {
    const char* name;
    std::string scenario;
    int footer_row;
    std::vector<std::pair<const char*, std::string>> cards;
    std::vector<std::string> picture;
    const char* trace = "";  // a line traced to standard error
    const char* padded = ""; // a row written padded to 80 columns
};

const PictureCase PICTURE_CASES[] = {
    {"NoReaders", "", 4, {}, {"Card testing:", RULE, "NO TESTABLE READERS FOUND", RULE, FOOTER}},
    {"ReadersInListOrderWithCardsAndMfpData",
     device_block("r1", "0x0203", "KM1", "  param KMMODE 1\n  features 1\n") +
         device_block("r2", "0x0206", "CC2") +
         device_block("r3", "0x0202", "KB3", "  module_desc \"M-1\\n\\nDesc\\nauto\\nP9\\nx\"\n"),
     8,
     {{"r1", "1234ABCD"}},
     {"Card testing:", RULE,
      std::string("KM1, usb KM, mode 1, ICM-7720-01 Multiprotocol 13.56 MHz reader module, "
                  "ISO14443A")
          .substr(0, 79),
      "  CARD: '1234ABCD' UID 1234ABCD", "  MFP DATA: 1234ABCD" + std::string(24, 'F'),
      "KB3, usb KBD, M-1 Desc, P9", "  CARD (tmout): 'none'", RULE, FOOTER},
     "Device does not support card testing\n",
     "KB3, usb KBD, M-1 Desc, P9"},
    // The footer follows the reader rows after a pause: the whole picture.
    {"ReaderStillSettingUp",
     device_block("r1", "0x0202", "SN1", "  status 2:*\n"),
     5,
     {},
     {"Card testing:", RULE, "SN1, usb KBD, reader initializing", "", RULE, FOOTER}},
};

PRINTS_AS_NAME(PictureCase)

class ConsolePicture : public CardTestRig, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(ConsolePicture, ScreenShowsThePicture) {
    const PictureCase& c = GetParam();
    load(c.scenario);
    diag_verbosity = 2;
    FdCapture err(2);
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([&](const VtScreen& s) { return s.text(c.footer_row) == FOOTER; }, 3000ms));
    for (const auto& [name, number] : c.cards)
        emu::send_event(name, 1, number + '\0');
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return s.lines() == c.picture; }, 3000ms))
        << ::testing::PrintToString(run.screen().lines());
    EXPECT_EQ(run.screen().unknown_sequences, 0);
    const std::string out = run.output();
    EXPECT_EQ(out.find("CC2"), std::string::npos);
    if (*c.padded) {
        const std::string row = c.padded;
        const size_t at = out.rfind(row);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(out.substr(at, 81), row + std::string(80 - row.size(), ' ') + "\n");
    }
    EXPECT_EQ(run.finish(), 0);
    EXPECT_NE(err.finish().find(c.trace), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ConsolePicture, ::testing::ValuesIn(PICTURE_CASES),
                         case_name<PictureCase>);

// The console on two readers: each step acts, then waits for the screen to
// hold the rows given (row, start of its text).
struct Step {
    std::function<void()> act;
    std::vector<std::pair<int, std::string>> rows;
};

struct StepsCase {
    const char* name;
    std::vector<Step> steps;
};

const std::vector<std::pair<int, std::string>> BOTH_TESTED = {
    {2, "SN1, "}, {3, "  CARD: 'none'"}, {4, "SN2, "}, {5, "  CARD: 'none'"}};

void scribble() {
    const std::string text = "\x1b[3;1Hscribbled\x1b[4;1Hover";
    ASSERT_EQ(write(1, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

const StepsCase STEPS_CASES[] = {
    {"UnpluggedReaderVanishesAndIsTestedAgainWhenBack",
     {{nullptr, BOTH_TESTED},
      {[] { emu::unplug("r1"); }, {{2, "SN2, "}, {5, FOOTER}}},
      {[] { emu::plug("r1"); }, BOTH_TESTED}}},
    // Another program scribbles over the rows; the next pass repairs them.
    {"EnumerationPassRepairsADisturbedScreen",
     {{nullptr, BOTH_TESTED}, {scribble, {{2, "scribbled"}, {3, "over"}}}, {nullptr, BOTH_TESTED}}},
};

PRINTS_AS_NAME(StepsCase)

class ConsoleSteps : public CardTestRig, public ::testing::WithParamInterface<StepsCase> {};

TEST_P(ConsoleSteps, ScreenFollows) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n"));
    ConsoleRun run;
    const std::vector<Step>& steps = GetParam().steps;
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
    EXPECT_EQ(run.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ConsoleSteps, ::testing::ValuesIn(STEPS_CASES),
                         case_name<StepsCase>);

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
    // Each reader as it closed, and those still open then.
    const char* names[] = {"r1", "r2", "r3"};
    bool closed[3] = {};
    std::vector<std::string> order;
    wait_until(
        [&] {
            for (int i = 0; i < 3; ++i) {
                if (closed[i] || emu::is_open(names[i])) continue;
                closed[i] = true;
                order.push_back(names[i] + std::string(":"));
                for (const char* other : names)
                    order.back() += emu::is_open(other) ? other : "";
            }
            return order.size() == 3;
        },
        5000ms);
    EXPECT_EQ(run.finish(false), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"r1:r2r3", "r2:r3", "r3:"}));
    EXPECT_TRUE(run.screen().shows("Shutting down, please wait..."));
    EXPECT_TRUE(run.screen().shows("Press ENTER to continue"));
    struct sigaction now = {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_EQ(test_workers.load(), 0);
    std::lock_guard<std::mutex> lock(list_lock);
    for (Reader* r = reader_first(); r != nullptr; r = r->next)
        EXPECT_TRUE(!reader_is_open(r) && r->test_ctx.load() == nullptr);
}

TEST_F(CardTestConsole, SignalHandlerTracesWithWriteAtVerbosity2AndSetsTheFlag) {
    for (int verbosity : {2, 1}) {
        diag_verbosity = verbosity;
        test_quit = 0;
        FdCapture err(2);
        card_test_on_signal(verbosity == 2 ? SIGINT : 15);
        EXPECT_EQ(err.finish(), verbosity == 2 ? "Received signal 2\n" : "");
        EXPECT_EQ(test_quit.load(), 1);
    }
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
    EXPECT_EQ(run.output().substr(idle_start), "") << "idle redraws wrote to the terminal";
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

} // namespace
