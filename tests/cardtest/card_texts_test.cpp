// SPDX-License-Identifier: GPL-2.0-or-later
// What card test mode shows of a reader: its lines, the card events that
// change them, the screen record that sends only changed rows, and the
// module texts.
#include <ctime>
#include <sstream>

#include "base/result.h"
#include "card_test_rig.h"
#include "cardtest/card_event.h"
#include "cardtest/card_record.h"
#include "cardtest/card_screen.h"
#include "cardtest/card_test_lines.h"
#include "cardtest/module_info.h"
#include "link/reader_link.h"
#include "support/process.h"

namespace {

enum Line { READER, CARD, DATA };

// A line drawn for reader "SN100" with module "M-7", protocol "P5".
struct LineCase {
    const char* name;
    Line line;
    uint8_t usb_mode, km_mode;
    uint32_t features;
    std::string card, data, expected;
};

// "  MFP DATA: " and the hex digits given, F up to 32 of them.
std::string mfp(const std::string& hex) {
    return "  MFP DATA: " + hex + std::string(32 - hex.size(), 'F');
}

const std::string DIGITS40 = "0000000011111111222222223333333344444444";

const LineCase LINE_CASES[] = {
    {"KmMode0", READER, 2, 0, 0, "", "", "SN100, usb KM, mode 0, M-7, P5"},
    {"KmMode1", READER, 2, 1, 0, "", "", "SN100, usb KM, mode 1, M-7, P5"},
    {"KmModeUnknown", READER, 2, 7, 0, "", "", "SN100, usb KM, mode unknown, M-7, P5"},
    {"StatusTextAsCard", CARD, 0, 0, 0, "Card refused", "", "  CARD (tmout): 'Card refused' "},
    {"DataHiddenWithoutCard", CARD, 0, 0, FEATURE_REMOVAL_EVENTS, "", "stale", "  CARD: 'none' "},
    // Modes 1 and 2: the text's last 32 characters as hex digits, F for
    // any other character and where the text ends.
    {"HexNonDigitsCountAsF", DATA, 2, 1, 0, "12G4", "", mfp("12F4")},
    {"HexOddDigitPadded", DATA, 2, 1, 0, "123", "", mfp("123")},
    {"HexLowerCase", DATA, 2, 2, 0, "abcdef", "", mfp("ABCDEF")},
    {"HexKeepsTheEnd", DATA, 2, 1, 0, DIGITS40, "", mfp(DIGITS40.substr(8))},
    {"HexOfAStatusText", DATA, 2, 1, 0, "Card read error", "", mfp("CAFDFFEADFEF")},
    // Other modes: the last 16 characters' codes, FF where the text ends.
    {"CharsKeepTheEnd", DATA, 2, 0, 0, "ABCDEFGHIJKLMNOPQRST", "",
     mfp("45464748494A4B4C4D4E4F5051525354")},
    {"CharsUnknownMode", DATA, 2, 7, 0, "1234ABCD", "", mfp("3132333441424344")},
};

class CardTestLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(CardTestLines, DrawsTheExpectedText) {
    const LineCase& c = GetParam();
    ReaderView v{"SN100", "usb KM", 1, 1, c.usb_mode, c.km_mode, c.features, "M-7", "P5", {}, {}};
    std::strcpy(v.card_text, c.card.c_str());
    std::strcpy(v.card_data, c.data.c_str());
    char line[CARD_LINE_SIZE] = "";
    if (c.line == READER) card_line_reader(v, line);
    if (c.line == CARD) card_line_card(v, line);
    if (c.line == DATA) card_line_data(v, line);
    EXPECT_EQ(std::string(line), c.expected);
}

TABLE_TEST(Lines, CardTestLines, LINE_CASES);

// A card event on a reader showing "99"/"data of 99" since time 5. Code 1
// shows the number (text) and stamps the time; 2 to 4 show their text and
// drop the data; other codes change nothing.
struct EventCase {
    const char* name;
    uint16_t code;
    std::string bytes = "";
    int length = -1; // announced length; -1: that of bytes
    std::string text = "";
};

const std::string NUMBER300 = std::string(200, '1') + std::string(100, '2');

const EventCase EVENT_CASES[] = {
    {"Number", 1, std::string("12345678\0", 9), -1, "12345678"},
    {"LongNumberKeepsItsFirst255", 1, NUMBER300 + '\0', -1, NUMBER300.substr(0, 255)},
    // The bytes after the announced length must never be read.
    {"UnterminatedNumberTakenAsLongAsItsLength", 1, "427XY", 3, "427"},
    {"NumberStopsAtTheFirstNul", 1, std::string("77\0garbage", 10), -1, "77"},
    {"NumberWithoutBytesShowsNoNumber", 1},
    {"ReadError", 2},
    {"Refused", 3},
    {"Removed", 4},
    {"UnknownCode0", 0, std::string("1\0", 2)},
    {"UnknownCode5", 5, std::string("1\0", 2)},
};

class CardEvent : public ::testing::TestWithParam<EventCase> {};

TEST_P(CardEvent, ChangesTheShownCardAsTheCodeSays) {
    const EventCase& c = GetParam();
    const char* shown[] = {"99", c.text.c_str(), "Card read error", "Card refused", ""};
    const char* traces[] = {"", "", "CARD ERROR\n", "CARD REFUSED\n", "CARD REMOVED\n"};
    const int k = c.code <= 4 ? c.code : 0;
    Reader reader;
    ReaderTestState state;
    card_test_attach(&card_session, &reader, &state);
    std::strcpy(state.card_text, "99");
    std::strcpy(state.card_data, "data of 99");
    state.card_time = 5;
    diag_verbosity = 2;
    FdCapture err(2);
    const time_t before = std::time(nullptr);
    const uint32_t length = static_cast<uint32_t>(c.length >= 0 ? c.length : int(c.bytes.size()));
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(card_test_on_event(&card_session, &reader, c.code, length,
                                 c.bytes.empty() ? nullptr : bytes),
              0);
    EXPECT_EQ(err.finish(), k == 1 ? "CARDNO: '" + c.text + "'\n" : traces[k]);
    diag_verbosity = 0;
    EXPECT_EQ(std::string(state.card_text), shown[k]);
    EXPECT_STREQ(state.card_data, k < 2 ? "data of 99" : "");
    EXPECT_TRUE(k == 1 ? state.card_time >= before && state.card_time <= std::time(nullptr)
                       : state.card_time == 5);
    card_test_detach(&card_session, &reader);
    // A Reader without test state is left alone.
    EXPECT_EQ(card_test_on_event(&card_session, &reader, c.code, length,
                                 c.bytes.empty() ? nullptr : bytes),
              0);
}

TABLE_TEST(Events, CardEvent, EVENT_CASES);

// Events one poll hands over, oldest first, after a card number that came
// during an exchange, and the bench record they leave once the worker has
// recorded what the poll showed: the number first, without data.
struct RecordCase {
    const char* name;
    uint16_t code;
    std::string lines;
};

const RecordCase RECORD_CASES[] = {
    {"Removal", CARD_EVENT_REMOVED, "card\t12\t\nremoved\t\t\n"},
    {"ReadError", CARD_EVENT_ERROR, "card\t12\t\nerror\t\t\n"},
    {"Refusal", CARD_EVENT_REFUSED, "card\t12\t\nrefused\t\t\n"},
    {"AnotherNumber", CARD_EVENT_READ, "card\t12\t\ncard\t34\t\n"},
    {"UnknownCode", 5, "card\t12\t\n"},
};

class CardRecordOfOnePoll : public ::testing::TestWithParam<RecordCase> {};

TEST_P(CardRecordOfOnePoll, KeepsTheEventsInTheirOrder) {
    const RecordCase& c = GetParam();
    const std::string path = temp_dir() + "/bench.tsv";
    ASSERT_EQ(card_record_open(&card_session.record, path.c_str()), 0);
    Reader reader;
    ReaderTestState state;
    card_test_attach(&card_session, &reader, &state);
    card_test_on_event(&card_session, &reader, CARD_EVENT_READ, 3,
                       reinterpret_cast<const uint8_t*>("12"));
    card_test_on_event(&card_session, &reader, c.code, 3, reinterpret_cast<const uint8_t*>("34"));
    card_record_card(&card_session.record, &reader, &state, false);
    card_test_detach(&card_session, &reader);
    EXPECT_EQ(card_record_close(&card_session.record), 0);
    // Each line after the header without its time stamp and the empty serial.
    std::istringstream record(read_file(path));
    std::string lines;
    for (std::string line; std::getline(record, line);)
        if (!line.starts_with("time\t")) lines += line.substr(line.find('\t') + 2) + "\n";
    EXPECT_EQ(lines, c.lines);
}

TABLE_TEST(Events, CardRecordOfOnePoll, RECORD_CASES);

TEST(CardScreen, OnlyRowsThatDifferAreSentAndTheTerminalShowsWhatPrintingWould) {
    const auto padded = [](const std::string& t) { return t + std::string(80 - t.size(), ' '); };
    static CardScreen screen;
    card_screen_cleared(&screen);
    VtScreen vt;
    std::string sent;
    // Puts the rows from row 2 on; whether each was sent.
    const auto put = [&](const std::vector<std::string>& rows) {
        std::string n;
        FdCapture out(1);
        for (size_t i = 0; i < rows.size(); ++i)
            n += std::to_string(card_screen_put(&screen, int(i) + 2, rows[i].c_str(), true, false));
        vt.feed(sent = out.finish());
        return n;
    };
    const std::string A = padded("a"), X79 = padded(std::string(79, 'x')), RULE(76, '-');
    EXPECT_EQ(put({A, X79, padded("c")}), "111");
    EXPECT_EQ(put({A, X79, padded("C")}), "001");
    EXPECT_EQ(sent, "\x1b[5;1H" + padded("C") + "\n");
    EXPECT_EQ(put({A, X79, padded("C")}), "000");
    EXPECT_EQ(sent, "");
    // A shorter text erases the rest of the row; sent once.
    EXPECT_EQ(put({A, RULE}), "01");
    EXPECT_EQ(sent, "\x1b[4;1H" + RULE + "\x1b[K\n");
    EXPECT_EQ(put({A, RULE}), "00");
    EXPECT_EQ(vt.text(3), RULE);
    // A forgotten screen is written in full.
    card_screen_forget(&screen);
    EXPECT_EQ(put({A}), "1");
    EXPECT_EQ(sent, "\x1b[3;1H" + A + "\n");
}

// An open reader showing "old module"/"old protocol" asks its module, set
// up by the statement, for its description.
struct ModuleCase {
    const char* name;
    std::string statement;
    int32_t result;
    std::string module;
    const char* protocol;
    const char* functions;
};

const ModuleCase MODULE_CASES[] = {
    {"PartAndNameThenProtocol", R"(module_desc "L1\nL2\nL3\nL4\nL5\nL6\nL7")", 0, "L1 L2", "L4",
     "2103 2104"},
    {"OneLine", R"(module_desc "ONLY")", 0, "ONLY", "", "2103 2104"},
    {"UnterminatedStaysInItsField", "module_desc rep:256:41", 0, std::string(255, 'A'), "",
     "2103 2104"},
    {"NoModuleAsksNoDescription", "module_count 0", 0, "old module", "old protocol", "2103"},
    {"FailedCount", "fn 2103 result -25", -25, "old module", "old protocol", "2103"},
    {"FailedDescription", "fn 2104 result -22", -22, "old module", "old protocol", "2103 2104"},
    // Without a statement the reader is given no test state.
    {"NoTestState", "", MODULE_NO_TEST_STATE, "", "", ""},
};

class ModuleInfo : public CardTestRig, public ::testing::WithParamInterface<ModuleCase> {};

TEST_P(ModuleInfo, TextsAndResultAsTheModuleAnswers) {
    const ModuleCase& c = GetParam();
    load(device_block("r1", "0x0202", "SN1", "  " + c.statement + "\n"));
    Reader* r = reader("SN1");
    ASSERT_EQ(reader_open(r), 0);
    ReaderTestState state;
    std::strcpy(state.module_text, "old module");
    std::strcpy(state.protocol_text, "old protocol");
    if (!c.statement.empty()) card_test_attach(&card_session, r, &state);
    emu::clear_transcript("r1");
    EXPECT_EQ(reader_get_module_info(&card_session, r), c.result);
    const bool tested = card_test_state(&card_session, r) != nullptr;
    EXPECT_EQ(std::string(tested ? state.module_text : ""), c.module);
    EXPECT_STREQ(tested ? state.protocol_text : "", c.protocol);
    EXPECT_EQ(functions("r1"), c.functions);
    card_test_detach(&card_session, r);
    reader_close(r);
}

TABLE_TEST(Descriptions, ModuleInfo, MODULE_CASES);

} // namespace
