#include <gtest/gtest.h>

#include <string>

#include "cardtest/card_screen.h"
#include "cardtest/vt_screen.h"
#include "support/capture.h"

namespace {

std::string padded(const std::string& text) {
    return text + std::string(80 - text.size(), ' ');
}

TEST(CardScreen, UnchangedRowsAreNotSentAgain) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    FdCapture out(1);
    EXPECT_EQ(card_screen_put(&screen, 2, padded("reader one").c_str(), true, false), 1);
    EXPECT_EQ(card_screen_put(&screen, 3, padded("  CARD: 'none' ").c_str(), true, false), 1);
    const size_t first = out.finish().size();
    FdCapture again(1);
    EXPECT_EQ(card_screen_put(&screen, 2, padded("reader one").c_str(), true, false), 0);
    EXPECT_EQ(card_screen_put(&screen, 3, padded("  CARD: 'none' ").c_str(), true, false), 0);
    EXPECT_EQ(again.finish(), "");
    EXPECT_GT(first, 160u);
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

TEST(CardScreen, ChangedRowIsPlacedAndWrittenAlone) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    {
        FdCapture out(1);
        card_screen_put(&screen, 2, padded("a").c_str(), true, false);
        card_screen_put(&screen, 3, padded("b").c_str(), true, false);
        card_screen_put(&screen, 4, padded("c").c_str(), true, false);
    }
    FdCapture out(1);
    card_screen_put(&screen, 2, padded("a").c_str(), true, false);
    card_screen_put(&screen, 3, padded("B").c_str(), true, false);
    card_screen_put(&screen, 4, padded("c").c_str(), true, false);
    EXPECT_EQ(out.finish(), "\x1b[4;1H" + padded("B") + "\n");
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

TEST(CardScreen, ForgottenScreenIsWrittenInFull) {
    static CardScreen screen;
    card_screen_cleared(&screen);
    {
        FdCapture out(1);
        card_screen_put(&screen, 2, padded("same").c_str(), true, false);
    }
    card_screen_forget(&screen);
    FdCapture out(1);
    EXPECT_EQ(card_screen_put(&screen, 2, padded("same").c_str(), true, false), 1);
    EXPECT_EQ(out.finish(), "\x1b[3;1H" + padded("same") + "\n");
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
