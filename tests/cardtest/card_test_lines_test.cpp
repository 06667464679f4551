#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "cardtest/card_test_lines.h"
#include "cardtest/card_test_worker.h"

namespace {

ReaderView ready_view(const char* card_text = "", const char* card_data = "") {
    ReaderView v{};
    std::strcpy(v.serial, "SN100");
    v.tag = "usb KM";
    v.ready = 1;
    v.status = 1;
    std::strcpy(v.module_text, "ICM-7720-01 Mifare module");
    std::strcpy(v.protocol_text, "proto 5");
    std::strcpy(v.card_text, card_text);
    std::strcpy(v.card_data, card_data);
    return v;
}

std::string reader_line(const ReaderView& v) {
    char line[CARD_LINE_SIZE];
    card_line_reader(v, line);
    return line;
}
std::string card_line(const ReaderView& v) {
    char line[CARD_LINE_SIZE];
    card_line_card(v, line);
    return line;
}
std::string data_line(const ReaderView& v) {
    char line[CARD_LINE_SIZE];
    card_line_data(v, line);
    return line;
}

TEST(CardTestLines, SettingUpShowsSerialTagAndStatusText) {
    ReaderView v = ready_view();
    v.ready = 0;
    v.status = 0;
    EXPECT_EQ(reader_line(v), "SN100, usb KM, unknown reader status");
    EXPECT_EQ(card_line(v), "");
    v.status = 6;
    EXPECT_EQ(reader_line(v), "SN100, usb KM, reader firmware update needed");
    v.status = -1;
    EXPECT_EQ(reader_line(v), "SN100, usb KM, reader rebooting");
}

TEST(CardTestLines, ReadyReaderShowsModuleAndProtocolWithKmSuffix) {
    ReaderView v = ready_view();
    EXPECT_EQ(reader_line(v), "SN100, usb KM, ICM-7720-01 Mifare module, proto 5");
    v.usb_mode = 2;
    const char* suffixes[] = {", mode 0", ", mode 1", ", mode 2", ", mode unknown"};
    const uint8_t modes[] = {0, 1, 2, 7};
    for (int i = 0; i < 4; ++i) {
        v.km_mode = modes[i];
        EXPECT_EQ(reader_line(v), std::string("SN100, usb KM") + suffixes[i] +
                                      ", ICM-7720-01 Mifare module, proto 5");
    }
}

TEST(CardTestLines, ReaderLineIsCutAt79Characters) {
    ReaderView v = ready_view();
    std::memset(v.module_text, 'M', 200);
    v.module_text[200] = '\0';
    const std::string line = reader_line(v);
    EXPECT_EQ(line.size(), 79u);
    EXPECT_EQ(line.substr(0, 15), "SN100, usb KM, ");
}

TEST(CardTestLines, CardLineMarksTimeOutReadersAndShowsNoneWithoutCard) {
    ReaderView v = ready_view();
    EXPECT_EQ(card_line(v), "  CARD (tmout): 'none' ");
    v.features = FEATURE_REMOVAL_EVENTS;
    EXPECT_EQ(card_line(v), "  CARD: 'none' ");
    std::strcpy(v.card_text, "12345678");
    std::strcpy(v.card_data, "Mifare 1k");
    EXPECT_EQ(card_line(v), "  CARD: '12345678' Mifare 1k");
    std::strcpy(v.card_text, "Card refused");
    v.card_data[0] = '\0';
    EXPECT_EQ(card_line(v), "  CARD: 'Card refused' ");
}

TEST(CardTestLines, CardDataIsHiddenWhileNoCardIsShown) {
    ReaderView v = ready_view("", "stale");
    EXPECT_EQ(card_line(v), "  CARD (tmout): 'none' ");
}

TEST(CardTestLines, DataLineOnlyForKmReadersWithOrWithoutReadiness) {
    ReaderView v = ready_view();
    EXPECT_FALSE(card_line_has_data(v));
    v.usb_mode = 2;
    EXPECT_TRUE(card_line_has_data(v));
    v.ready = 0;
    EXPECT_TRUE(card_line_has_data(v));
    EXPECT_EQ(data_line(v), "  MFP DATA: ");
}

TEST(CardTestLines, HexRuleReadsTheDigitsOfKmModes1And2) {
    ReaderView v = ready_view("1234ABCD");
    v.usb_mode = 2;
    for (uint8_t mode : {1, 2}) {
        v.km_mode = mode;
        EXPECT_EQ(data_line(v), "  MFP DATA: 1234ABCD" + std::string(24, 'F'));
    }
}

TEST(CardTestLines, CharacterRuleWritesTheCharacterCodes) {
    ReaderView v = ready_view("1234ABCD");
    v.usb_mode = 2;
    for (uint8_t mode : {0, 3, 7}) {
        v.km_mode = mode;
        EXPECT_EQ(data_line(v), "  MFP DATA: 3132333441424344" + std::string(16, 'F'));
    }
}

std::string hex_of(const char* text, uint8_t mode) {
    uint8_t bytes[MFP_DATA_BYTES];
    card_mfp_bytes(text, mode, bytes);
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

TEST(CardTestLines, HexRuleTreatsNonDigitsAsFAndPadsAnOddDigit) {
    EXPECT_EQ(hex_of("12G4", 1), "12F4" + std::string(28, 'F'));
    EXPECT_EQ(hex_of("123", 1), "123F" + std::string(28, 'F'));
    EXPECT_EQ(hex_of("abcdef", 2), "ABCDEF" + std::string(26, 'F'));
}

TEST(CardTestLines, RulesKeepTheEndOfLongTexts) {
    const std::string digits40 = "0000000011111111222222223333333344444444";
    EXPECT_EQ(hex_of(digits40.c_str(), 1), digits40.substr(8));
    EXPECT_EQ(hex_of("ABCDEFGHIJKLMNOPQRST", 0), "45464748494A4B4C4D4E4F5051525354");
    EXPECT_EQ(hex_of("1234", 0), "31323334" + std::string(24, 'F'));
}

} // namespace
