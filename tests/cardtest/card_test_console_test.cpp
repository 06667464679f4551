// SPDX-License-Identifier: GPL-2.0-or-later
#include <sstream>

#include "base/console_wake.h"
#include "card_test_rig.h"
#include "cardtest/card_record.h"
#include "support/process.h"

namespace {

const std::string RULE(76, '-');
const std::string FOOTER = "(CTRL+C to exit)";

// The console, tracing at verbosity 2, on a scenario and an untestable
// reader CC2 that is never drawn: the screen must become the picture.
struct PictureCase {
    const char* name;
    std::string scenario;
    std::vector<std::string> picture;
};

const PictureCase PICTURE_CASES[] = {
    {"NoTestableReaders", "", {"Card testing:", RULE, "NO TESTABLE READERS FOUND", RULE, FOOTER}},
    // The footer follows the reader rows after a pause: the whole picture.
    {"ReaderStillSettingUp",
     device_block("r1", "0x0202", "SN1", "  status 2:*\n"),
     {"Card testing:", RULE, "SN1, usb KBD, reader initializing", "", RULE, FOOTER}},
};

class ConsolePicture : public CardTestRig, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(ConsolePicture, ScreenShowsThePicture) {
    const PictureCase& c = GetParam();
    load(c.scenario + device_block("cc", "0x0206", "CC2"));
    diag_verbosity = 2;
    FdCapture err(2);
    ConsoleRun run;
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return s.lines() == c.picture; }, 3000ms))
        << ::testing::PrintToString(run.screen().lines());
    EXPECT_EQ(run.screen().unknown_sequences, 0);
    const std::string out = run.output();
    EXPECT_EQ(out.find("CC2"), std::string::npos);
    // Each row is its text, an erase of the rest of the row and a newline.
    EXPECT_NE(out.find(c.picture[2] + "\x1b[K\n"), std::string::npos);
    EXPECT_EQ(run.finish(), 0);
    EXPECT_NE(err.finish().find("Device does not support card testing\n"), std::string::npos);
}

TABLE_TEST(Scenarios, ConsolePicture, PICTURE_CASES);

// Wake-ups before a wait end it once; a wake-up from another thread ends
// a wait under way; nothing else does.
TEST(ConsoleWake, EndsAWaitOncePerWakeUpsBeforeIt) {
    ASSERT_EQ(console_wake_open(), 0);
    EXPECT_EQ(console_wake_wait(0), 0);
    for (int i = 0; i < 3; ++i)
        console_wake();
    EXPECT_EQ(console_wake_wait(10000), 1);
    EXPECT_EQ(console_wake_wait(0), 0) << "three wake-ups, one wait";
    std::thread other([] {
        std::this_thread::sleep_for(50ms);
        console_wake();
    });
    EXPECT_EQ(console_wake_wait(10000), 1);
    other.join();
    EXPECT_EQ(console_wake_wait(20), 0);
    console_wake_close();
}

class CardTestConsole : public CardTestRig {};

// Another program scribbles over the rows; the next enumeration pass
// repairs them.
TEST_F(CardTestConsole, EnumerationPassRepairsADisturbedScreen) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    ConsoleRun run;
    // The whole first picture, down to its footer, is the good one.
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) { return s.text(3) == "  CARD: 'none'" && s.text(5) == FOOTER; },
        3000ms));
    const std::vector<std::string> good = run.screen().lines();
    const std::string scribble = "\x1b[3;1Hscribbled\x1b[4;1Hover";
    ASSERT_EQ(write(1, scribble.data(), scribble.size()), static_cast<ssize_t>(scribble.size()));
    EXPECT_EQ(run.screen().text(2).substr(0, 9), "scribbled");
    EXPECT_TRUE(run.wait_screen([&](const VtScreen& s) { return s.lines() == good; }, 8000ms));
    EXPECT_EQ(run.finish(), 0);
}

// A KM reader takes three rows; when it goes, the footer moves up three
// rows and nothing of the old footer stays below it.
TEST_F(CardTestConsole, ScreenShrinkingByThreeRowsLeavesNothingBelowTheFooter) {
    load(device_block("r1", "0x0203", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(4) == "  MFP DATA:" && s.text(6) == "  CARD: 'none'" &&
                   s.text(8) == FOOTER;
        },
        3000ms));
    emu::unplug("r1");
    EXPECT_TRUE(run.wait_screen([](const VtScreen& s) { return s.text(5) == FOOTER; }, 3000ms));
    // Later redraws change nothing of it.
    std::this_thread::sleep_for(100ms);
    const std::vector<std::string> lines = run.screen().lines();
    EXPECT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), FOOTER), 1);
    EXPECT_EQ(run.screen().unknown_sequences, 0);
    EXPECT_EQ(run.finish(), 0);
}

// Valid UTF-8 in a reader's texts is shown as it is: a row of such
// characters takes fewer columns than bytes and must not leave the end of a
// longer earlier row on a UTF-8 terminal.
TEST_F(CardTestConsole, UtfEightRowLeavesNothingOfALongerEarlierRow) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    ConsoleRun run;
    ASSERT_TRUE(
        run.wait_screen([](const VtScreen& s) { return s.text(3) == "  CARD: 'none'"; }, 3000ms));
    // Each card once the reader waits for one: a card announced during an
    // exchange is shown without its data.
    const auto waiting = [](const char* last) {
        return wait_until([&] { return functions("r1").ends_with(last); }, 3000ms);
    };
    ASSERT_TRUE(waiting("562"));
    const std::string ascii(60, 'A');
    emu::send_event("r1", 1, ascii);
    const std::string ascii_row = ("  CARD: '" + ascii + "' UID " + ascii).substr(0, 79);
    ASSERT_TRUE(run.wait_screen([&](const VtScreen& s) { return s.text(3) == ascii_row; }, 3000ms));
    ASSERT_TRUE(waiting("542"));
    std::string accents;
    for (int i = 0; i < 20; ++i)
        accents += "\xc3\xa9"; // U+00E9
    emu::send_event("r1", 1, accents);
    // Cut at 79 bytes, on a character's end: 47 columns.
    const std::string accent_row = ("  CARD: '" + accents + "' UID " + accents).substr(0, 79);
    EXPECT_TRUE(
        run.wait_screen([&](const VtScreen& s) { return s.text(3) == accent_row; }, 3000ms));
    EXPECT_EQ(run.screen(true).text(3), accent_row);
    EXPECT_EQ(run.finish(), 0);
}

TEST_F(CardTestConsole, CtrlCIsTracedAndStopsTheReadersOneAfterAnotherInListOrder) {
    // r1 is still waiting for its module and answers a stop request only
    // after its next status pause; r2 and r3 must keep running meanwhile.
    // The signal is traced at verbosity 2 with write(2) alone.
    diag_verbosity = 2;
    FdCapture err(2);
    load(device_block("r1", "0x0202", "SN1", "  status 4:*\n") +
         device_block("r2", "0x0202", "SN2", "  features 1\n") +
         device_block("r3", "0x0202", "SN3", "  features 1\n"));
    // Each worker records "gone" just before it closes its reader.
    const std::string record = temp_dir() + "/bench.tsv";
    ASSERT_EQ(card_record_open(&card_session.record, record.c_str()), 0);
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            return s.text(2).find("firmware update in progress") != std::string::npos &&
                   s.text(5) == "  CARD: 'none'" && s.text(7) == "  CARD: 'none'";
        },
        3000ms));
    ASSERT_EQ(raise(SIGINT), 0);
    // Every reader is closed in the end.
    EXPECT_TRUE(wait_until(
        [] { return !emu::is_open("r1") && !emu::is_open("r2") && !emu::is_open("r3"); }, 5000ms));
    EXPECT_EQ(run.finish(false), 0);
    EXPECT_EQ(card_record_close(&card_session.record), 0);
    // r2 and r3, asked to stop at once with r1 and done with their waits
    // first, closed after r1 had, one after another: each worker records
    // "gone" only when let close, and the next one is let once the one
    // before has closed.
    std::istringstream lines(read_file(record));
    std::string gone;
    for (std::string line; std::getline(lines, line);)
        if (line.ends_with("\tgone\t\t")) gone += line.substr(line.find('\t') + 1, 3);
    EXPECT_EQ(gone, "SN1SN2SN3");
    EXPECT_TRUE(run.screen().shows("Shutting down, please wait..."));
    EXPECT_TRUE(run.screen().shows("Press ENTER to continue"));
    struct sigaction now = {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_NE(err.finish().find("Received signal 2\n"), std::string::npos);
    EXPECT_EQ(card_session.workers.load(), 0);
    std::lock_guard<std::mutex> lock(card_session.lock);
    for (Reader* r : listed_readers())
        EXPECT_TRUE(!reader_is_open(r) && card_test_state(&card_session, r) == nullptr);
}

// Ctrl+C with 32 idle readers, each in a long wait for its next report:
// all are asked to stop at once, so they end together within about one
// wait, not one wait after another.
TEST_F(CardTestConsole, CtrlCStopsThirtyTwoIdleReadersAtOnce) {
    std::string scenario;
    for (int i = 1; i <= 32; ++i)
        scenario += device_block("r" + std::to_string(i), "0x0202", "SN" + std::to_string(100 + i),
                                 "  features 1\n");
    load(scenario);
    ConsoleRun run;
    const auto all_ready = [] {
        int n = 0;
        std::lock_guard<std::mutex> lock(card_session.lock);
        for (Reader* r : listed_readers())
            if (ReaderTestState* s = card_test_state(&card_session, r)) n += s->ready != 0;
        return n == 32;
    };
    ASSERT_TRUE(wait_until(all_ready, 10000ms));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * WORKER_WAIT_MAX_MS));
    const auto interrupted = std::chrono::steady_clock::now();
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_EQ(run.finish(false), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted,
              std::chrono::milliseconds(WORKER_WAIT_MAX_MS) + 1500ms);
    EXPECT_EQ(card_session.workers.load(), 0);
    std::lock_guard<std::mutex> lock(card_session.lock);
    EXPECT_EQ(listed_readers().size(), 32u);
    for (Reader* r : listed_readers())
        EXPECT_TRUE(!reader_is_open(r) && card_test_state(&card_session, r) == nullptr)
            << r->serial;
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
