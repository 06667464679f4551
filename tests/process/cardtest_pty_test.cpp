// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/pty_session.h"

namespace {

const std::string RULE(76, '-');

std::string scenario_two_readers() {
    return "device km 0x0203\n"
           "  serial KM0001\n"
           "  param KMMODE 2\n"
           "  features 1\n"
           "device kbd 0x0202\n"
           "  serial KB0002\n"
           "  module_desc \"P-7\\nMifare\\nauto\\nISO15693\\n\"\n";
}

// Ctrl+C through the terminal's line discipline, then key at the final
// prompt; the exit status.
int quit(PtySession& s, const char* key = "\r") {
    s.type("\x03");
    EXPECT_TRUE(s.wait_for([&] { return s.shows("Press ENTER to continue"); }, 10000));
    s.type(key);
    return s.finish(10000);
}

struct CardTestTerminal : ::testing::Test {
    PtySession session{30, 80};
    std::string dir = temp_dir();

    bool start(const std::string& scenario, const std::vector<std::string>& args = {"-t"}) {
        write_file(dir + "/s.scn", scenario);
        return session.start(BRINLET_BIN, BRINLET_EMU_LIB, args, dir + "/s.scn", dir + "/control");
    }
    std::vector<std::string> rows(int first, int count) const {
        std::vector<std::string> out;
        for (int r = first; r < first + count; ++r)
            out.push_back(session.screen.text(r));
        return out;
    }
};

TEST_F(CardTestTerminal, ScreenWrittenOverByItsOwnTracesAndKeysIsWholeAgainAtOnce) {
    // A terminal just as tall as the drawing: every trace line scrolls it.
    session.screen = VtScreen(11, 80);
    ASSERT_TRUE(start(scenario_two_readers(), {"-v", "-v", "-t"}));
    const std::string km_line =
        "KM0001, usb KM, mode 2, ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
    const auto picture = [&](const std::string& card, const std::string& mfp) {
        return std::vector<std::string>{"Card testing:",
                                        RULE,
                                        km_line.substr(0, 79),
                                        card,
                                        mfp.empty() ? "  MFP DATA:" : "  MFP DATA: " + mfp,
                                        "KB0002, usb KBD, P-7 Mifare, ISO15693",
                                        "  CARD (tmout): 'none'",
                                        RULE,
                                        "(CTRL+C to exit)",
                                        "",
                                        ""};
    };
    const std::string none = "  CARD: 'none'";
    ASSERT_TRUE(session.wait_for([&] { return rows(0, 11) == picture(none, ""); }, 10000))
        << ::testing::PrintToString(rows(0, 11));
    // Each step writes traces (or echoes a key) over the screen; the next
    // redraw or two must show the whole picture again, long before the
    // next enumeration pass would redraw it anyway.
    const struct {
        const char* command; // to the emulator; null: keys typed instead
        const char* keys;
        const char* card;
        const char* mfp;
    } steps[] = {
        {"event km 1 \"04A1B2C3\" carddata \"MIFARE Classic 1K\"", nullptr,
         "  CARD: '04A1B2C3' MIFARE Classic 1K", "04A1B2C3FFFFFFFFFFFFFFFFFFFFFFFF"},
        {nullptr, "x", "  CARD: '04A1B2C3' MIFARE Classic 1K", "04A1B2C3FFFFFFFFFFFFFFFFFFFFFFFF"},
        {"event km 4", nullptr, "  CARD: 'none'", ""},
        {"event km 1 \"0466F2A1\"", nullptr, "  CARD: '0466F2A1' UID 0466F2A1",
         "0466F2A1FFFFFFFFFFFFFFFFFFFFFFFF"},
    };
    for (const auto& step : steps) {
        session.pump(100);
        if (step.command != nullptr) session.command(step.command);
        if (step.keys != nullptr) session.type(step.keys);
        const std::vector<std::string> expected = picture(step.card, step.mfp);
        std::vector<std::string> seen;
        // Many redraws, but a third of the time between enumeration passes.
        EXPECT_TRUE(session.wait_for(
            [&] {
                seen = rows(0, 11);
                return seen == expected;
            },
            800))
            << (step.command != nullptr ? step.command : step.keys) << "\n"
            << ::testing::PrintToString(seen);
        // ... and keep it once the step's last trace or echo has arrived.
        session.wait_for([] { return false; }, 300);
        EXPECT_EQ(rows(0, 11), expected) << (step.command != nullptr ? step.command : step.keys);
    }
    EXPECT_EQ(session.screen.unknown_sequences, 0);
    EXPECT_EQ(quit(session), 0);
}

// A line of the bench record taken apart; time checked for its form only.
struct RecordLine {
    std::string serial, event, card, data;
    bool operator==(const RecordLine&) const = default;
};

void PrintTo(const RecordLine& l, std::ostream* os) {
    *os << "{" << l.serial << "|" << l.event << "|" << l.card << "|" << l.data << "}";
}

// 2026-12-07T10:15:30.123Z
bool utc_millis(const std::string& t) {
    const std::string form = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (t.size() != form.size()) return false;
    for (size_t i = 0; i < form.size(); ++i)
        if (form[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != form[i]) return false;
    return true;
}

// The record's lines by reader, in file order; a malformed line fails.
std::map<std::string, std::vector<RecordLine>> record_by_reader(const std::string& text) {
    std::map<std::string, std::vector<RecordLine>> out;
    size_t at = text.find('\n');
    EXPECT_EQ(text.substr(0, at + 1), "time\tserial\tevent\tcard\tdata\n");
    while (at != std::string::npos && at + 1 < text.size()) {
        const size_t end = text.find('\n', at + 1);
        EXPECT_NE(end, std::string::npos) << "unfinished last line";
        const std::string line = text.substr(at + 1, end - at - 1);
        std::vector<std::string> f;
        for (size_t from = 0;;) {
            const size_t tab = line.find('\t', from);
            f.push_back(line.substr(from, tab - from));
            if (tab == std::string::npos) break;
            from = tab + 1;
        }
        EXPECT_EQ(f.size(), 5u) << line;
        if (f.size() == 5) {
            EXPECT_TRUE(utc_millis(f[0])) << line;
            out[f[1]].push_back({f[1], f[2], f[3], f[4]});
        }
        at = end;
    }
    return out;
}

TEST_F(CardTestTerminal, BenchRecordHasOneLinePerReaderEvent) {
    const std::string record = dir + "/bench.tsv";
    ASSERT_TRUE(start("device r1 0x0202\n"
                      "  serial REC1\n"
                      "  features 1\n"
                      "  fn 563 cbfirst 1 1 \"555\"\n" // a number during the first 563
                      "  fn 563 model\n"
                      "device r2 0x0202\n"
                      "  serial REC2\n"
                      "device r3 0x0202\n"
                      "  serial REC3\n"
                      "  features 1\n"
                      "  fn 530 result -6\n" // registration refused once
                      "  fn 530 model\n",
                      {"-t", "-o", record}));
    const auto ready = [&](const char* serial) {
        for (int r = 0; r + 1 < session.screen.rows; ++r)
            if (session.screen.text(r).rfind(serial, 0) == 0)
                return session.screen.text(r + 1).find("CARD") != std::string::npos;
        return false;
    };
    ASSERT_TRUE(
        session.wait_for([&] { return ready("REC1") && ready("REC2") && ready("REC3"); }, 10000));
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
        if (step.command != nullptr) session.command(step.command);
        const bool gone = step.shown[0] == '!';
        const std::string text = gone ? step.shown + 1 : step.shown;
        EXPECT_TRUE(session.wait_for([&] { return session.shows(text) != gone; }, 4000))
            << step.shown;
    }
    EXPECT_EQ(quit(session), 0);

    const auto lines = record_by_reader(read_file(record));
    const std::map<std::string, std::vector<RecordLine>> expected = {
        {"REC1",
         {{"REC1", "ready", "", ""},
          {"REC1", "card", "04A1B2C3", "MIFARE Classic 1K"},
          {"REC1", "card", "555", ""},
          {"REC1", "card", "12?3?[2J", "a?b?"},
          {"REC1", "error", "", ""},
          {"REC1", "refused", "", ""},
          {"REC1", "removed", "", ""},
          {"REC1", "gone", "", ""}}},
        {"REC2",
         {{"REC2", "ready", "", ""},
          {"REC2", "card", "777", "UID 777"},
          {"REC2", "timeout", "", ""},
          {"REC2", "gone", "", ""}}},
        {"REC3", {{"REC3", "gone", "", ""}, {"REC3", "ready", "", ""}, {"REC3", "gone", "", ""}}},
    };
    EXPECT_EQ(lines, expected);
}

// The record changes nothing on the screen; a record that cannot be opened
// stops the program before the screen starts, one that cannot be written
// costs the exit status at the end. End of input at the final prompt ends
// the program as ENTER does.
TEST_F(CardTestTerminal, BenchRecordLeavesTheScreenAloneAndFailsLoudly) {
    const std::string missing = dir + "/none/bench.tsv";
    const struct {
        const char* name;
        std::vector<std::string> options;
        bool screen;
        int status;
        std::string message;
        const char* key = "\r";
    } runs[] = {
        {"plain", {}, true, 0, ""},
        {"end of input", {}, true, 0, "", "\x04"},
        {"record", {"-o", dir + "/bench.tsv"}, true, 0, ""},
        {"full disk", {"-o", "/dev/full"}, true, 2, "Cannot write output: No space left on device"},
        {"missing folder",
         {"-o", missing},
         false,
         2,
         "Cannot open " + missing + " for writing: No such file or directory"},
    };
    std::vector<std::string> plain_screen;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        PtySession s{30, 160}; // room for the message on one row
        std::vector<std::string> args = {"-v", "-t"};
        args.insert(args.end(), run.options.begin(), run.options.end());
        ASSERT_TRUE(s.start(BRINLET_BIN, BRINLET_EMU_LIB, args, "", dir + "/control"));
        EXPECT_TRUE(!run.screen ||
                    s.wait_for([&] { return s.shows("NO TESTABLE READERS FOUND"); }, 10000));
        EXPECT_EQ(run.screen ? quit(s, run.key) : s.finish(15000), run.status);
        std::vector<std::string> screen = s.screen.lines();
        if (!run.message.empty()) {
            ASSERT_FALSE(screen.empty());
            EXPECT_EQ(screen.back(), run.message);
            screen.pop_back();
            while (!screen.empty() && screen.back().empty())
                screen.pop_back();
        }
        if (run.options.empty() && plain_screen.empty()) plain_screen = screen;
        EXPECT_EQ(screen, run.screen ? plain_screen : std::vector<std::string>{});
    }
    EXPECT_EQ(read_file(dir + "/bench.tsv"), "time\tserial\tevent\tcard\tdata\n");
}

} // namespace
