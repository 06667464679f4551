// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "cardtest/card_test_lines.h"
#include "cardtest/card_test_worker.h"

namespace {

enum Line { READER, CARD, DATA, HAS_DATA };
constexpr uint32_t RM = FEATURE_REMOVAL_EVENTS;

// A line drawn for reader "SN100" with its module "ICM-7720-01 Mifare
// module" (or module) and protocol "proto 5".
struct LineCase {
    const char* name;
    Line line;
    int ready, status, usb_mode, km_mode;
    uint32_t features;
    const char* card;
    const char* data;
    std::string expected;
    const char* module = "ICM-7720-01 Mifare module";
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string MODULE = ", ICM-7720-01 Mifare module, proto 5";
const std::string FS = std::string(16, 'F');
const std::string M200(200, 'M');

const LineCase LINE_CASES[] = {
    {"UnknownStatus", READER, 0, 0, 0, 0, 0, "", "", "SN100, usb KM, unknown reader status"},
    {"NoCardLineWhileSettingUp", CARD, 0, 0, 0, 0, 0, "", "", ""},
    {"UpdateNeeded", READER, 0, 6, 0, 0, 0, "", "", "SN100, usb KM, reader firmware update needed"},
    {"OperatingOkNotYetReady", READER, 0, 1, 0, 0, 0, "", "", "SN100, usb KM, reader operating ok"},
    {"Rebooting", READER, 0, -1, 0, 0, 0, "", "", "SN100, usb KM, reader rebooting"},
    {"ReadyKbd", READER, 1, 1, 0, 0, 0, "", "", "SN100, usb KM" + MODULE},
    {"KmMode0", READER, 1, 1, 2, 0, 0, "", "", "SN100, usb KM, mode 0" + MODULE},
    {"KmMode2", READER, 1, 1, 2, 2, 0, "", "", "SN100, usb KM, mode 2" + MODULE},
    {"KmModeUnknown", READER, 1, 1, 2, 7, 0, "", "", "SN100, usb KM, mode unknown" + MODULE},
    {"CutAt79", READER, 1, 1, 0, 0, 0, "", "", "SN100, usb KM, " + M200.substr(0, 64),
     M200.c_str()},
    {"NoneWithRemovalEvents", CARD, 1, 1, 0, 0, RM, "", "", "  CARD: 'none' "},
    {"CardWithData", CARD, 1, 1, 0, 0, RM, "1234", "Mifare 1k", "  CARD: '1234' Mifare 1k"},
    {"StatusTextAsCard", CARD, 1, 1, 0, 0, 0, "Card refused", "",
     "  CARD (tmout): 'Card refused' "},
    {"DataHiddenWithoutCard", CARD, 1, 1, 0, 0, 0, "", "stale", "  CARD (tmout): 'none' "},
    {"NoDataLineForKbd", HAS_DATA, 1, 1, 0, 0, 0, "", "", "no"},
    {"DataLineForKm", HAS_DATA, 1, 1, 2, 1, 0, "", "", "yes"},
    {"DataLineForKmSettingUp", HAS_DATA, 0, 0, 2, 1, 0, "", "", "yes"},
    {"EmptyDataWithoutCard", DATA, 1, 1, 2, 1, 0, "", "", "  MFP DATA: "},
    {"HexRuleMode2", DATA, 1, 1, 2, 2, 0, "1234ABCD", "", "  MFP DATA: 1234ABCD" + FS + "FFFFFFFF"},
    {"CharRuleMode0", DATA, 1, 1, 2, 0, 0, "1234ABCD", "", "  MFP DATA: 3132333441424344" + FS},
    {"CharRuleMode3", DATA, 1, 1, 2, 3, 0, "1234ABCD", "", "  MFP DATA: 3132333441424344" + FS},
    {"CharRuleMode7", DATA, 1, 1, 2, 7, 0, "1234ABCD", "", "  MFP DATA: 3132333441424344" + FS},
};

class CardTestLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(CardTestLines, DrawsTheExpectedText) {
    const LineCase& c = GetParam();
    ReaderView v{};
    std::strcpy(v.serial, "SN100");
    v.tag = "usb KM";
    v.ready = static_cast<uint8_t>(c.ready);
    v.status = c.status;
    v.usb_mode = static_cast<uint8_t>(c.usb_mode);
    v.km_mode = static_cast<uint8_t>(c.km_mode);
    v.features = c.features;
    std::strcpy(v.module_text, c.module);
    std::strcpy(v.protocol_text, "proto 5");
    std::strcpy(v.card_text, c.card);
    std::strcpy(v.card_data, c.data);
    char line[CARD_LINE_SIZE] = "";
    if (c.line == READER) card_line_reader(v, line);
    if (c.line == CARD) card_line_card(v, line);
    if (c.line == DATA) card_line_data(v, line);
    if (c.line == HAS_DATA) std::strcpy(line, card_line_has_data(v) ? "yes" : "no");
    EXPECT_EQ(std::string(line), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, CardTestLines, ::testing::ValuesIn(LINE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CardMfpBytes, RulesAsATable) {
    const std::string digits40 = "0000000011111111222222223333333344444444";
    const struct {
        const char* text;
        uint8_t mode;
        std::string hex;
    } cases[] = {
        {"12G4", 1, "12F4" + std::string(28, 'F')}, // non-digits count as F
        {"123", 1, "123F" + std::string(28, 'F')},  // an odd digit is padded
        {"abcdef", 2, "ABCDEF" + std::string(26, 'F')},
        {digits40.c_str(), 1, digits40.substr(8)}, // the end of long texts is kept
        {"ABCDEFGHIJKLMNOPQRST", 0, "45464748494A4B4C4D4E4F5051525354"},
        {"1234", 0, "31323334" + std::string(24, 'F')},
        {"Card read error", 1, "CAFDFFEADFEFFFFF" + std::string(16, 'F')},
    };
    for (const auto& c : cases) {
        uint8_t bytes[MFP_DATA_BYTES];
        card_mfp_bytes(c.text, c.mode, bytes);
        std::string hex;
        char two[3];
        for (uint8_t b : bytes) {
            std::snprintf(two, sizeof two, "%02X", b);
            hex += two;
        }
        EXPECT_EQ(hex, c.hex) << c.text << " mode " << int(c.mode);
    }
}

} // namespace
