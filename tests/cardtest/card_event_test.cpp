#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "cardtest/card_event.h"
#include "cardtest/reader_test_state.h"
#include "cli/tool_settings.h"
#include "discovery/reader.h"
#include "support/capture.h"

namespace {

class CardEvent : public ::testing::Test {
  protected:
    void SetUp() override {
        tool_settings = ToolSettings{};
        diag_verbosity = 0;
        reader.test_ctx = &state;
    }
    void TearDown() override {
        reader.test_ctx = nullptr;
        tool_settings = ToolSettings{};
        diag_verbosity = 0;
    }
    int32_t send(uint16_t code, const std::string& bytes) {
        return card_test_on_event(&reader, code, static_cast<uint32_t>(bytes.size()),
                                  bytes.empty() ? nullptr
                                                : reinterpret_cast<const uint8_t*>(bytes.data()));
    }
    void show(const char* text, const char* data) {
        std::strcpy(state.card_text, text);
        std::strcpy(state.card_data, data);
    }
    Reader reader;
    ReaderTestState state;
};

TEST_F(CardEvent, CardNumberIsShownAndTimeStampedButOldDataStays) {
    show("", "old data");
    diag_verbosity = 2;
    FdCapture err(2);
    const time_t before = std::time(nullptr);
    EXPECT_EQ(send(1, std::string("12345678\0", 9)), 0);
    const time_t after = std::time(nullptr);
    EXPECT_EQ(err.finish(), "CARDNO: '12345678'\n");
    EXPECT_STREQ(state.card_text, "12345678");
    EXPECT_STREQ(state.card_data, "old data");
    EXPECT_GE(state.card_time, before);
    EXPECT_LE(state.card_time, after);
}

TEST_F(CardEvent, LongCardNumberKeepsItsFirst255Characters) {
    std::string number;
    for (int i = 0; i < 300; ++i)
        number += static_cast<char>('0' + i % 10);
    send(1, number + '\0');
    EXPECT_EQ(std::string(state.card_text), number.substr(0, 255));
}

TEST_F(CardEvent, UnterminatedNumberIsTakenAsLongAsItsLength) {
    // The bytes after the announced length must never be read.
    const char bytes[] = {'4', '2', '7', 'X', 'Y'};
    card_test_on_event(&reader, 1, 3, reinterpret_cast<const uint8_t*>(bytes));
    EXPECT_STREQ(state.card_text, "427");
}

TEST_F(CardEvent, NumberStopsAtTheFirstNul) {
    send(1, std::string("77\0garbage", 10));
    EXPECT_STREQ(state.card_text, "77");
}

TEST_F(CardEvent, CardNumberWithoutDataShowsNoNumber) {
    show("111", "d");
    EXPECT_EQ(card_test_on_event(&reader, 1, 0, nullptr), 0);
    EXPECT_STREQ(state.card_text, "");
    EXPECT_STREQ(state.card_data, "d");
}

TEST_F(CardEvent, ReadErrorRefusalAndRemovalReplaceTheTexts) {
    struct Row {
        uint16_t code;
        const char* trace;
        const char* text;
    };
    const Row rows[] = {{2, "CARD ERROR\n", "Card read error"},
                        {3, "CARD REFUSED\n", "Card refused"},
                        {4, "CARD REMOVED\n", ""}};
    diag_verbosity = 2;
    for (const Row& row : rows) {
        show("99", "data of 99");
        state.card_time = 5;
        FdCapture err(2);
        EXPECT_EQ(send(row.code, ""), 0);
        EXPECT_EQ(err.finish(), row.trace) << row.code;
        EXPECT_STREQ(state.card_text, row.text) << row.code;
        EXPECT_STREQ(state.card_data, "") << row.code;
        EXPECT_EQ(state.card_time, 5) << row.code;
    }
}

TEST_F(CardEvent, RemovalOnAnEmptyReaderOnlyTraces) {
    diag_verbosity = 2;
    FdCapture err(2);
    send(4, "");
    EXPECT_EQ(err.finish(), "CARD REMOVED\n");
    EXPECT_STREQ(state.card_text, "");
    EXPECT_STREQ(state.card_data, "");
}

TEST_F(CardEvent, UnknownCodesChangeNothingAndPrintNothing) {
    show("55", "five");
    state.card_time = 9;
    diag_verbosity = 2;
    FdCapture err(2);
    for (uint16_t code : {0, 5, 255, 65535})
        EXPECT_EQ(send(code, std::string("1\0", 2)), 0);
    EXPECT_EQ(err.finish(), "");
    EXPECT_STREQ(state.card_text, "55");
    EXPECT_STREQ(state.card_data, "five");
    EXPECT_EQ(state.card_time, 9);
}

TEST_F(CardEvent, NothingIsPrintedBelowVerbosity2) {
    for (int verbosity : {0, 1}) {
        diag_verbosity = verbosity;
        FdCapture err(2);
        send(1, std::string("1\0", 2));
        send(2, "");
        send(3, "");
        send(4, "");
        EXPECT_EQ(err.finish(), "");
    }
}

TEST_F(CardEvent, TwoCardsInOneSecondMayShareTheTimeStamp) {
    send(1, std::string("1\0", 2));
    const time_t first = state.card_time;
    send(1, std::string("2\0", 2));
    EXPECT_LE(state.card_time - first, 1);
    EXPECT_STREQ(state.card_text, "2");
}

TEST_F(CardEvent, ReaderWithoutTestStateIsLeftAlone) {
    reader.test_ctx = nullptr;
    EXPECT_EQ(send(1, std::string("1\0", 2)), 0);
    EXPECT_EQ(send(4, ""), 0);
}

} // namespace
