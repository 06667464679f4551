// SPDX-License-Identifier: GPL-2.0-or-later
// Texts from a reader made safe for a terminal.

#include "base/text.h"
#include "support/table.h"

namespace {

struct SafeCase {
    const char* name;
    std::string in;
    std::string out;
};

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

TABLE_TEST(Cases, TermSafe, SAFE);

// A field of a tab-separated line: what term_safe keeps for a terminal but
// a reader of the file cannot take (a byte outside UTF-8) becomes '?' too.
class TextField : public ::testing::TestWithParam<SafeCase> {};

TEST_P(TextField, IsOneFieldOfValidUtf8) {
    EXPECT_EQ(text_field(GetParam().in), GetParam().out);
}

const SafeCase FIELDS[] = {
    {.name = "plain", .in = "RD2K 0042-x", .out = "RD2K 0042-x"},
    {.name = "tabsandlineends", .in = "a\tb\r\nc\n", .out = "a?b??c?"},
    {.name = "escape", .in = "\x1b]0;T\x07", .out = "?]0;T?"},
    {.name = "nul", .in = std::string("a\0b", 3), .out = "a?b"},
    {.name = "c1", .in = "\xc2\x9b\x9b", .out = "??"},
    {.name = "utf8kept",
     .in = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
     .out = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
    {.name = "latin1", .in = "\xe9t\xe9", .out = "?t?"},
    {.name = "cutsequence", .in = "\xe2\x82", .out = "??"},
    {.name = "surrogate", .in = "\xed\xa0\x80", .out = "???"},
};

TABLE_TEST(Cases, TextField, FIELDS);

TEST(TextFieldsLine, JoinsCleanFieldsIntoOneLine) {
    EXPECT_EQ(text_fields_line({"a\tb", "", "c\n"}), "a?b\t\tc?\n");
    EXPECT_EQ(text_fields_line({""}), "\n");
}

TEST(TextNumber, ReadsAsAtoiWithinTheIntRange) {
    std::string got;
    for (const char* text :
         {"42", "  -7x", "+3", "abc", "", "99999999999999999999", "-2147483648", "-99999999999"})
        got += std::to_string(text_number(text)) + " ";
    EXPECT_EQ(got, "42 -7 3 0 0 2147483647 -2147483648 -2147483648 ");
}

// Copies into a 5-byte buffer: "count:text".
std::string copied(const char* text, int64_t length) {
    char out[5] = "xxxx";
    const int n = text_copy(out, sizeof out, reinterpret_cast<const uint8_t*>(text), length);
    return std::to_string(n) + ":" + out;
}

TEST(TextCopy, StopsAtNulLengthAndBuffer) {
    EXPECT_EQ(copied("ab\0c", 4), "2:ab");
    EXPECT_EQ(copied("1234567", 7), "4:1234");
    EXPECT_EQ(copied("1234567", 2), "2:12");
    EXPECT_EQ(copied("1234567", -3), "0:");
}

} // namespace
