// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <ostream>
#include <string>

#include "cardtest/card_event.h"
#include "cardtest/reader_test_state.h"
#include "cli/tool_settings.h"
#include "discovery/reader.h"
#include "support/capture.h"

namespace {

// A card event on a reader showing "99"/"data of 99" since time 5.
struct EventCase {
    const char* name;
    int verbosity;
    uint16_t code;
    std::string bytes;
    int length; // announced length; -1: that of bytes
    const char* trace;
    std::string text;
    const char* data;
    bool stamped; // the card time is now
};

void PrintTo(const EventCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string NUMBER300 = [] {
    std::string n;
    for (int i = 0; i < 300; ++i)
        n += static_cast<char>('0' + i % 10);
    return n;
}();

const EventCase EVENT_CASES[] = {
    {"Number", 2, 1, std::string("12345678\0", 9), -1, "CARDNO: '12345678'\n", "12345678",
     "data of 99", true},
    {"NumberQuietBelowVerbosity2", 1, 1, std::string("1\0", 2), -1, "", "1", "data of 99", true},
    {"LongNumberKeepsItsFirst255", 0, 1, NUMBER300 + '\0', -1, "", NUMBER300.substr(0, 255),
     "data of 99", true},
    // The bytes after the announced length must never be read.
    {"UnterminatedNumberTakenAsLongAsItsLength", 0, 1, "427XY", 3, "", "427", "data of 99", true},
    {"NumberStopsAtTheFirstNul", 0, 1, std::string("77\0garbage", 10), -1, "", "77", "data of 99",
     true},
    {"NumberWithoutBytesShowsNoNumber", 0, 1, "", -1, "", "", "data of 99", true},
    {"ReadError", 2, 2, "", -1, "CARD ERROR\n", "Card read error", "", false},
    {"Refused", 2, 3, "", -1, "CARD REFUSED\n", "Card refused", "", false},
    {"Removed", 2, 4, "", -1, "CARD REMOVED\n", "", "", false},
    {"RemovedQuietBelowVerbosity2", 1, 4, "", -1, "", "", "", false},
    {"ErrorQuietBelowVerbosity2", 1, 2, "", -1, "", "Card read error", "", false},
    {"UnknownCode0", 2, 0, std::string("1\0", 2), -1, "", "99", "data of 99", false},
    {"UnknownCode5", 2, 5, std::string("1\0", 2), -1, "", "99", "data of 99", false},
    {"UnknownCode65535", 2, 65535, std::string("1\0", 2), -1, "", "99", "data of 99", false},
};

class CardEvent : public ::testing::TestWithParam<EventCase> {
  protected:
    void SetUp() override {
        tool_settings = ToolSettings{};
        reader.test_ctx = &state;
    }
    void TearDown() override {
        reader.test_ctx = nullptr;
        diag_verbosity = 0;
    }
    Reader reader;
    ReaderTestState state;
};

TEST_P(CardEvent, ChangesTheShownCardAsTheCodeSays) {
    const EventCase& c = GetParam();
    std::strcpy(state.card_text, "99");
    std::strcpy(state.card_data, "data of 99");
    state.card_time = 5;
    diag_verbosity = c.verbosity;
    FdCapture err(2);
    const time_t before = std::time(nullptr);
    const uint32_t length =
        c.length >= 0 ? static_cast<uint32_t>(c.length) : static_cast<uint32_t>(c.bytes.size());
    EXPECT_EQ(card_test_on_event(
                  &reader, c.code, length,
                  c.bytes.empty() ? nullptr : reinterpret_cast<const uint8_t*>(c.bytes.data())),
              0);
    const time_t after = std::time(nullptr);
    EXPECT_EQ(err.finish(), c.trace);
    EXPECT_EQ(std::string(state.card_text), c.text);
    EXPECT_STREQ(state.card_data, c.data);
    if (c.stamped) {
        EXPECT_GE(state.card_time, before);
        EXPECT_LE(state.card_time, after);
    } else {
        EXPECT_EQ(state.card_time, 5);
    }
}

INSTANTIATE_TEST_SUITE_P(Events, CardEvent, ::testing::ValuesIn(EVENT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CardEventWithoutState, ReaderWithoutTestStateIsLeftAlone) {
    Reader reader;
    EXPECT_EQ(card_test_on_event(&reader, 1, 2, reinterpret_cast<const uint8_t*>("1")), 0);
    EXPECT_EQ(card_test_on_event(&reader, 4, 0, nullptr), 0);
}

} // namespace
