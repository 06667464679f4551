// SPDX-License-Identifier: GPL-2.0-or-later
// Card test mode in a real pseudo-terminal: the screen as the operator
// sees it while readers report cards, the bench record (-o), and leaving
// the mode with Ctrl+C, which the terminal turns into SIGINT.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"
#include "support/pty_session.h"
#include "support/table.h"

namespace {

const std::string RULE(76, '-'), FS(24, 'F');

// The screen's rows up to the last that is not empty, each with its "\n".
std::string lines(const PtySession& s) {
    std::string text;
    for (const std::string& line : s.screen.lines())
        text += line + "\n";
    return text;
}

// Starts the program with args on the scenario's readers.
bool start(PtySession& s, const std::vector<std::string>& args, const std::string& scenario) {
    const std::string dir = temp_dir();
    write_file(dir + "/s.scn", scenario);
    return s.start(BRINLET_BIN, BRINLET_EMU_LIB, args, dir + "/s.scn", dir + "/control");
}

// Ctrl+C through the terminal's line discipline. ThreadSanitizer's runtime
// runs a handler late, where the thread that took the signal next passes
// through it, and about one Ctrl+C in a hundred on a loaded machine never
// reaches the handler: nothing is left pending in the kernel, the handler
// stays installed, and a second Ctrl+C is taken. In those builds a second
// one follows when the program has not begun to shut down within 5 s;
// elsewhere the first must do.
void interrupt(PtySession& s) {
    s.type("\x03");
    if (std::string_view(BRINLET_SANITIZE) != "thread") return;
    if (!s.wait_for([&] { return s.shows("Shutting down"); }, 5000)) s.type("\x03");
}

// Ctrl+C, then key at the final prompt; the exit status.
int quit(PtySession& s, const char* key = "\r") {
    interrupt(s);
    EXPECT_TRUE(s.wait_for([&] { return s.shows("Press ENTER to continue"); }, 10000));
    s.type(key);
    return s.finish(10000);
}

TEST(CardTestTerminal, ScreenWrittenOverByItsOwnTracesAndKeysIsWholeAgainAtOnce) {
    // A terminal just as tall as the drawing: every trace line scrolls it.
    PtySession s{11, 80};
    ASSERT_TRUE(start(s, {"-v", "-v", "-t"},
                      "device km 0x0203\n  serial KM0001\n"
                      "  param KMMODE 2\n  features 1\n"
                      "device kbd 0x0202\n  serial KB0002\n"
                      "  module_desc \"P-7\\nMifare\\nauto\\nISO15693\\n\"\n"));
    std::string seen;
    // The whole screen, the two last rows empty.
    const auto shown = [&](const std::string& card, const std::string& mfp, int ms) {
        const std::string expected =
            "Card testing:\n" + RULE + "\nKM0001, usb KM, mode 2, ICM-7720-01 Multiprotocol " +
            "13.56 MHz reader module, ISO1\n  CARD: " + card + "\n  MFP DATA:" + mfp +
            "\nKB0002, usb KBD, P-7 Mifare, ISO15693\n  CARD (tmout): 'none'\n" + RULE +
            "\n(CTRL+C to exit)\n";
        return s.wait_for([&] { return (seen = lines(s)) == expected; }, ms);
    };
    ASSERT_TRUE(shown("'none'", "", 10000)) << seen;
    // Each step writes traces (or echoes a key) over the screen; the next
    // redraw or two must show the whole picture again, long before the
    // next enumeration pass would redraw it anyway.
    const std::string card1 = "'04A1B2C3' MIFARE Classic 1K", mfp1 = " 04A1B2C3" + FS;
    const struct {
        const char* command; // to the emulator; null: a key typed instead
        std::string card, mfp;
    } steps[] = {
        {"event km 1 \"04A1B2C3\" carddata \"MIFARE Classic 1K\"", card1, mfp1},
        {nullptr, card1, mfp1},
        {"event km 4", "'none'", ""},
        {"event km 1 \"0466F2A1\"", "'0466F2A1' UID 0466F2A1", " 0466F2A1" + FS},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.command != nullptr ? step.command : "a key");
        s.pump(100);
        step.command != nullptr ? s.command(step.command) : s.type("x");
        // Many redraws, well before the next enumeration pass (2 s or more),
        // and the picture stays once the step's last trace or echo is in.
        EXPECT_TRUE(shown(step.card, step.mfp, 1500)) << seen;
        s.settle(300);
        EXPECT_TRUE(shown(step.card, step.mfp, 0)) << seen;
    }
    EXPECT_EQ(s.screen.unknown_sequences, 0);
    EXPECT_EQ(quit(s), 0);
}

// The record's lines by serial, without their time (UTC to the
// millisecond); a malformed line fails.
std::map<std::string, std::vector<std::string>> record_by_reader(const std::string& text) {
    std::map<std::string, std::vector<std::string>> out;
    EXPECT_EQ(text.rfind("time\tserial\tevent\tcard\tdata\n", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n') << "unfinished last line";
    const std::regex form(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\t([^\t]*)\t([^\t]*\t[^\t]*\t[^\t]*))");
    std::istringstream lines(text.substr(text.find('\n') + 1));
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, m, form))
            out[m[1]].push_back(m[2]);
        else
            ADD_FAILURE() << line;
    return out;
}

TEST(CardTestTerminal, BenchRecordHasOneLinePerReaderEvent) {
    PtySession s{30, 80};
    const std::string record = temp_dir() + "/bench.tsv";
    ASSERT_TRUE(start(s, {"-t", "-o", record},
                      "device r1 0x0202\n  serial REC1\n  features 1\n"
                      "  fn 563 cbfirst 1 1 \"555\"\n" // a number during the first 563
                      "  fn 563 model\n"
                      "device r2 0x0202\n  serial REC2\n"
                      "device r3 0x0202\n  serial REC3\n  features 1\n"
                      "  fn 530 result -6\n" // registration refused once
                      "  fn 530 model\n"));
    // Every reader is ready: each has its card row.
    const auto ready = [](const std::string& line) { return line.starts_with("  CARD"); };
    ASSERT_TRUE(
        s.wait_for([&] { return std::ranges::count_if(s.screen.lines(), ready) == 3; }, 10000))
        << lines(s);
    const struct {
        const char* command;
        const char* shown; // the screen shows it (or, after a '!', no longer)
    } steps[] = {
        {R"(event r1 1 "04A1B2C3" carddata "MIFARE Classic 1K")", "'555' MIFARE Classic 1K"},
        {R"(event r1 1 "12\t3\x1b[2J" carddata "a\nb\x9b")", "'12?3?[2J' a?b?"},
        {"event r1 2", "'Card read error'"},
        {"event r1 3", "'Card refused'"},
        {"event r1 4", "!Card refused"},
        {"event r2 1 \"777\"", "'777' UID 777"},
        {nullptr, "!'777'"}, // shown for one to two seconds
        {"unplug r1", "!REC1"},
    };
    for (const auto& step : steps) {
        if (step.command != nullptr) s.command(step.command);
        const bool gone = step.shown[0] == '!';
        EXPECT_TRUE(s.wait_for([&] { return s.shows(step.shown + gone) != gone; }, 4000))
            << step.shown;
    }
    EXPECT_EQ(quit(s), 0);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"REC1",
         {"ready\t\t", "card\t04A1B2C3\tMIFARE Classic 1K", "card\t555\t", "card\t12?3?[2J\ta?b?",
          "error\t\t", "refused\t\t", "removed\t\t", "gone\t\t"}},
        {"REC2", {"ready\t\t", "card\t777\tUID 777", "timeout\t\t", "gone\t\t"}},
        {"REC3", {"gone\t\t", "ready\t\t", "gone\t\t"}},
    };
    EXPECT_EQ(record_by_reader(read_file(record)), expected);
}

// A run of card test mode without readers, with -o record unless it is
// empty, left with Ctrl+C and key: its exit status (2 when the screen is
// not to start) and its screen.
struct RecordRun {
    int status = -1;
    std::string screen;
};

RecordRun run_without_readers(const std::string& record, bool screen_starts,
                              const char* key = "\r") {
    PtySession s{30, 160}; // room for the message on one row
    std::vector<std::string> args = {"-v", "-t", "-o", record};
    RecordRun run;
    if (!start(s, {args.begin(), args.end() - (record.empty() ? 2 : 0)}, "")) return run;
    if (!screen_starts) {
        run.status = s.finish(15000);
    } else {
        EXPECT_TRUE(s.wait_for([&] { return s.shows("NO TESTABLE READERS FOUND"); }, 10000));
        run.status = quit(s, key);
    }
    run.screen = lines(s);
    return run;
}

// The screen less the message on its last row.
std::string without_message(std::string screen, const std::string& message) {
    EXPECT_TRUE(screen.ends_with(message + "\n")) << screen;
    screen.erase(screen.size() - std::min(screen.size(), message.size() + 1));
    return screen.erase(screen.find_last_not_of('\n') + 1);
}

// The record changes nothing on the screen; a record that cannot be opened
// stops the program before the screen starts, one that cannot be written
// costs the exit status at the end. End of input at the final prompt ends
// the program as ENTER does.
struct RecordCase {
    std::string name;
    std::string record; // the -o file in the run's folder ($D/...), if any
    int status;         // -1: no screen, status 2
    std::string message = "";
    const char* key = "\r";
};

const RecordCase RECORD_CASES[] = {
    {.name = "Plain", .record = "", .status = 0},
    {.name = "EndOfInputAtTheFinalPrompt", .record = "", .status = 0, .key = "\x04"},
    {.name = "Record", .record = "$D/bench.tsv", .status = 0},
    {.name = "FullDisk",
     .record = "/dev/full",
     .status = 2,
     .message = "Cannot write output: No space left on device"},
    {.name = "MissingFolder",
     .record = "$D/none/bench.tsv",
     .status = -1,
     .message = "Cannot open $D/none/bench.tsv for writing: No such file or directory"},
};

std::string in_dir(std::string text, const std::string& dir) {
    const size_t at = text.find("$D");
    return at == std::string::npos ? text : text.replace(at, 2, dir);
}

class CardTestRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(CardTestRecord, BenchRecordLeavesTheScreenAloneAndFailsLoudly) {
    const RecordCase& c = GetParam();
    const std::string dir = temp_dir();
    const RecordRun run = run_without_readers(in_dir(c.record, dir), c.status >= 0, c.key);
    EXPECT_EQ(run.status, c.status < 0 ? 2 : c.status);
    const std::string screen = without_message(run.screen, in_dir(c.message, dir));
    // The same run without a record, left with Ctrl+C and ENTER.
    const bool plain = c.record.empty() && c.key == std::string_view("\r");
    EXPECT_EQ(screen, c.status < 0 ? ""
                      : plain      ? screen
                                   : without_message(run_without_readers("", true).screen, ""));
    if (c.name == "Record") {
        EXPECT_EQ(read_file(dir + "/bench.tsv"), "time\tserial\tevent\tcard\tdata\n");
    }
}

TABLE_TEST(Runs, CardTestRecord, RECORD_CASES);

// From the menus' test mode (100), Ctrl+C leads back to a fresh list. The
// signal reaches the console's thread however many threads the process
// has: every other one, the emulator's control watch included, blocks it.
TEST(CardTestTerminal, CtrlCInTheMenusTestModeLeadsBackToTheList) {
    PtySession s{60, 100};
    ASSERT_TRUE(start(s, {}, "device kbd 0x0202\n  serial RD2K0042\n"));
    for (const auto& [keys, text] :
         {std::pair{"", "Enter number: "},
          {"100\r", "(CTRL+C to exit)"},
          {"", "Press ENTER to continue"},
          {"\r", "List of available readers:"},
          {"", "0) USB reader v2/v3 (usb keyboard class), Ser.no.: RD2K0042\r\n"},
          {"", "Enter number: "},
          {"99\r", ""}}) {
        s.type(keys);
        if (text == std::string_view("Press ENTER to continue")) {
            EXPECT_EQ(threads_taking_ending_signals(s.pid), "");
            interrupt(s);
        }
        ASSERT_TRUE(s.wait_for_text(text)) << text;
    }
    EXPECT_EQ(s.finish(5000), 0);
}

} // namespace
