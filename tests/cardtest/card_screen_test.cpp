// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cardtest/card_screen.h"
#include "support/capture.h"
#include "support/vt_screen.h"

namespace {

std::string padded(const std::string& text) {
    return text + std::string(80 - text.size(), ' ');
}

// Puts the rows from row 2 on; returns what went to the terminal.
std::string put_rows(CardScreen* screen, const std::vector<std::string>& rows,
                     std::vector<int>* sent = nullptr) {
    FdCapture out(1);
    for (size_t i = 0; i < rows.size(); ++i) {
        const int n =
            card_screen_put(screen, static_cast<int>(i) + 2, rows[i].c_str(), true, false);
        if (sent != nullptr) sent->push_back(n);
    }
    return out.finish();
}

TEST(CardScreen, OnlyAChangedRowIsPlacedAndWritten) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    std::vector<int> sent;
    EXPECT_GT(put_rows(&screen, {padded("a"), padded("b"), padded("c")}, &sent).size(), 240u);
    EXPECT_EQ(sent, (std::vector<int>{1, 1, 1}));
    sent.clear();
    EXPECT_EQ(put_rows(&screen, {padded("a"), padded("B"), padded("c")}, &sent),
              "\x1b[4;1H" + padded("B") + "\n");
    EXPECT_EQ(sent, (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(put_rows(&screen, {padded("a"), padded("B"), padded("c")}), "");
    // A forgotten screen is written in full.
    card_screen_forget(&screen);
    EXPECT_EQ(put_rows(&screen, {padded("a")}), "\x1b[3;1H" + padded("a") + "\n");
}

TEST(CardScreen, ControlBytesFromTheReaderAreShownAsQuestionMarks) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    FdCapture out(1);
    card_screen_put(&screen, 2, "  CARD: '\x1b[2J12\r\n34\x7f'", false, true);
    const std::string text = out.finish();
    EXPECT_NE(text.find("  CARD: '?[2J12??34?'"), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(CardScreen, ShortTextLeavesTheRestOfTheRowAsPrintingWould) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    VtScreen vt;
    FdCapture out(1);
    card_screen_put(&screen, 5, padded(std::string(79, 'x')).c_str(), true, false);
    card_screen_put(&screen, 5, std::string(76, '-').c_str(), true, false);
    // The rule already stands there: nothing to send.
    EXPECT_EQ(card_screen_put(&screen, 5, std::string(76, '-').c_str(), true, false), 0);
    vt.feed(out.finish());
    EXPECT_EQ(vt.text(5), std::string(76, '-') + "xxx");
}

TEST(CardScreen, CursorIsPlacedOnlyWhenElsewhere) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    FdCapture out(1);
    EXPECT_EQ(card_screen_place_cursor(&screen, 0, 0), 0);
    EXPECT_EQ(card_screen_place_cursor(&screen, 7, 80), 1);
    EXPECT_EQ(card_screen_place_cursor(&screen, 7, 80), 0);
    EXPECT_EQ(out.finish(), "\x1b[8;81H");
}

} // namespace
