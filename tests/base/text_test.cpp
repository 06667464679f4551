// SPDX-License-Identifier: GPL-2.0-or-later
// Texts from a reader made safe for a terminal.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>

#include "base/text.h"

namespace {

struct SafeCase {
    const char* name;
    std::string in;
    std::string out;
};

void PrintTo(const SafeCase& c, std::ostream* os) {
    *os << c.name;
}

class TermSafe : public ::testing::TestWithParam<SafeCase> {};

TEST_P(TermSafe, ShowsEachControlAsOneQuestionMark) {
    std::string text = GetParam().in;
    EXPECT_EQ(term_safe(text.data()), GetParam().out.size());
    EXPECT_EQ(text.c_str(), GetParam().out);
}

// Octal escapes where digits follow: a hex escape would take them in.
const SafeCase SAFE[] = {
    {"plain", "RD2K 0042-x", "RD2K 0042-x"},
    {"c0", "a\x01\t\n\r\x1b[2Jb", "a?????[2Jb"},
    {"del", "a\x7f", "a?"},
    {"eightbitc1", "\23331m\x80\x9f", "?31m??"},
    {"utf8c1", "\302\2331m\xc2\x80", "?1m?"},
    {"utf8kept", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0",
     "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0"},
    {"overlongc1", "\xe0\x82\x9b", "\xe0??"},
    {"cutsequence", "\xc2", "\xc2"},
    {"latin1kept", "\xe9\xa0", "\xe9\xa0"},
};

INSTANTIATE_TEST_SUITE_P(Texts, TermSafe, ::testing::ValuesIn(SAFE),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TextNumber, ReadsAsAtoiWithinTheIntRange) {
    const std::pair<const char*, int32_t> cases[] = {{"42", 42},
                                                     {"  -7x", -7},
                                                     {"+3", 3},
                                                     {"abc", 0},
                                                     {"", 0},
                                                     {"99999999999999999999", INT32_MAX},
                                                     {"-2147483648", INT32_MIN},
                                                     {"-99999999999", INT32_MIN}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(text_number(text), value) << text;
}

TEST(TextCopy, StopsAtNulLengthAndBuffer) {
    char out[5];
    const uint8_t text[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(text_copy(out, sizeof out, text, 4), 2);
    EXPECT_STREQ(out, "ab");
    const uint8_t raw[] = {'1', '2', '3', '4', '5', '6', '7'};
    EXPECT_EQ(text_copy(out, sizeof out, raw, 7), 4);
    EXPECT_STREQ(out, "1234");
    EXPECT_EQ(text_copy(out, sizeof out, raw, 2), 2);
    EXPECT_STREQ(out, "12");
    EXPECT_EQ(text_copy(out, sizeof out, raw, -3), 0);
}

} // namespace
