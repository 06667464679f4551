// SPDX-License-Identifier: GPL-2.0-or-later
// Diagnostics on the operator's terminal: a reader's text in a trace never
// drives the terminal, nor starts a line of its own.

#include "base/diag.h"
#include "base/text.h"
#include "support/capture.h"
#include "support/table.h"

namespace {

struct TraceCase {
    const char* name;
    std::string text;  // as the reader sent it
    std::string shown; // as standard error gets it
};

class HostileTrace : public ::testing::TestWithParam<TraceCase> {};

TEST_P(HostileTrace, ShowsEachControlAsAQuestionMarkAndKeepsTheLineEnd) {
    diag_verbosity = 2;
    FdCapture err(2);
    diag(2, "CARDNO: '%s'\n", term_safe_text(GetParam().text.c_str()).c_str());
    diag(3, "not shown %s\n", GetParam().text.c_str());
    const std::string got = err.finish();
    diag_verbosity = 0;
    EXPECT_EQ(got, "CARDNO: '" + GetParam().shown + "'\n");
}

const TraceCase HOSTILE[] = {
    {"TitleSequence",
     "\x1b]0;owned\x07"
     "1234",
     "?]0;owned?1234"},
    {"EraseScreen", "\x1b[2J\x1b[H42", "?[2J?[H42"},
    {"BackspaceAndDelete",
     "9999\b\b\b\b\x7f"
     "0000",
     "9999?????0000"},
    {"LineEndsInsideTheText", "12\r\n34", "12??34"},
    {"EightBitCsi",
     "\x9b"
     "31m5",
     "?31m5"},
    {"Utf8Kept", "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
    {"LongerThanAShortMessage", std::string(300, 'A') + "\x1b[2J", std::string(300, 'A') + "?[2J"},
};

TABLE_TEST(Cases, HostileTrace, HOSTILE);

// Messages end as they are written, with or without a line end; any other
// control in a message is shown as '?', wherever it came from.
TEST(Diag, KeepsLineEndsAndShowsOtherControlsAsQuestionMarks) {
    diag_verbosity = 1;
    FdCapture err(2);
    diag(1, "DONE %d", 5);
    diag(1, "a\n\nb %s\n", "\x1b[2J\r\x7f");
    const std::string got = err.finish();
    diag_verbosity = 0;
    EXPECT_EQ(got, "DONE 5a\n\nb ?[2J??\n");
}

} // namespace
