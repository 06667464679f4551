// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_test_lines.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cardtest/reader_test_state.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

constexpr uint8_t MFP_NO_DATA = 0xFF;
constexpr uint8_t HEX_NOT_A_DIGIT = 0xF;
constexpr int MFP_HEX_CHARS = 2 * MFP_DATA_BYTES;

int line_length(int formatted) {
    return std::clamp(formatted, 0, CARD_LINE_SIZE - 1);
}

const char* km_suffix(const ReaderView& view) {
    if (view.usb_mode != USB_MODE_KM) return "";
    switch (view.km_mode) {
    case 0:
        return ", mode 0";
    case 1:
        return ", mode 1";
    case 2:
        return ", mode 2";
    default:
        return ", mode unknown";
    }
}

uint8_t hex_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return HEX_NOT_A_DIGIT;
}

} // namespace

int card_line_reader(const ReaderView& view, char (&line)[CARD_LINE_SIZE]) {
    if (view.ready == 0)
        return line_length(std::snprintf(line, sizeof line, "%s, %s, %s", view.serial, view.tag,
                                         reader_status_text(view.status)));
    return line_length(std::snprintf(line, sizeof line, "%s, %s%s, %s, %s", view.serial, view.tag,
                                     km_suffix(view), view.module_text, view.protocol_text));
}

int card_line_card(const ReaderView& view, char (&line)[CARD_LINE_SIZE]) {
    line[0] = '\0';
    if (view.ready == 0) return 0;
    const bool shown = view.card_text[0] != '\0';
    const bool removal_events = (view.features & FEATURE_REMOVAL_EVENTS) != 0;
    return line_length(std::snprintf(line, sizeof line, "  CARD%s: '%s' %s",
                                     removal_events ? "" : " (tmout)",
                                     shown ? view.card_text : "none", shown ? view.card_data : ""));
}

bool card_line_has_data(const ReaderView& view) {
    return view.usb_mode == USB_MODE_KM;
}

int card_line_data(const ReaderView& view, char (&line)[CARD_LINE_SIZE]) {
    int n = line_length(std::snprintf(line, sizeof line, "  MFP DATA: "));
    if (view.card_text[0] == '\0') return n;
    uint8_t bytes[MFP_DATA_BYTES];
    card_mfp_bytes(view.card_text, view.km_mode, bytes);
    for (uint8_t b : bytes)
        n = line_length(n +
                        std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", b));
    return n;
}

int card_mfp_bytes(const char* card_text, uint8_t km_mode, uint8_t (&bytes)[MFP_DATA_BYTES]) {
    std::memset(bytes, MFP_NO_DATA, sizeof bytes);
    const int length = static_cast<int>(std::strlen(card_text));
    if (km_mode == 1 || km_mode == 2) {
        // The reader's MFP data are the card text's trailing hex digits.
        const int start = std::max(length - MFP_HEX_CHARS, 0);
        for (int i = start; i < length; ++i) {
            const int k = (i - start) / 2;
            const uint8_t v = hex_value(card_text[i]);
            if ((i - start) % 2 == 0)
                bytes[k] = static_cast<uint8_t>(v << 4 | HEX_NOT_A_DIGIT);
            else
                bytes[k] = static_cast<uint8_t>((bytes[k] & 0xF0) | v);
        }
        return 0;
    }
    const int start = std::max(length - MFP_DATA_BYTES, 0);
    for (int i = 0; i < MFP_DATA_BYTES && start + i < length; ++i)
        bytes[i] = static_cast<uint8_t>(card_text[start + i]);
    return 0;
}
