// SPDX-License-Identifier: GPL-2.0-or-later
// Reader side of the HID report framing and of the 11-byte CTL header.
//
// This is the emulated reader's own encoder and decoder, written from the
// wire tables of the reader protocol; it shares no code with the program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu::detail {

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, 64>;

constexpr int REPORT_BYTES = 64;      // one HID report, both directions
constexpr int PAYLOAD_MAX = 63;       // bytes after the control byte
constexpr int HEADER_BYTES = 11;      // CTL header, always in one report
constexpr uint8_t CTRL_HEADER = 0x80; // control byte bit 7: header packet
constexpr uint8_t CTRL_BIT6 = 0x40;   // always 0 on the wire
constexpr uint8_t CTRL_LEN_MASK = 0x3F;

// Header types; the callback types are the CTL types plus 20.
enum HeaderType : uint8_t {
    CTL_REQUEST = 1,
    CTL_ACK = 2,
    CTL_DONE = 4,
    CTL_FETCH = 5,
    CTL_ERROR = 9,
    CB_REQUEST = 21,
    CB_ACK = 22,
    CB_DONE = 24,
    CB_ERROR = 29,
};

// The general header layout: type, signed value, 16-bit code, 32-bit
// capacity, all big-endian.
struct Header {
    uint8_t type = 0;
    int32_t value = 0;
    uint16_t code = 0;
    uint32_t capacity = 0;
};

using HeaderBytes = std::array<uint8_t, HEADER_BYTES>;

void put_be32(uint8_t* out, uint32_t value);
void put_be16(uint8_t* out, uint16_t value);
uint32_t get_be32(const uint8_t* bytes);
uint16_t get_be16(const uint8_t* bytes);

// CTL_ACK, CTL_ERROR and CB_REQUEST use the general layout (CB_REQUEST:
// value = data length, code = callback code).
HeaderBytes encode_header(const Header& header);
// CTL_DONE breaks the general layout: the output length sits at offsets 5-8.
HeaderBytes encode_done(int32_t result, int32_t output_len);
Header decode_header(const uint8_t* bytes);

// One report with the given payload (at most 63 bytes); header packets get bit 7.
Report make_packet(bool header, const uint8_t* payload, size_t count);

// A received report, taken apart.
struct Packet {
    bool header = false;
    bool bit6 = false;
    int length = 0; // payload bytes the control byte claims (0-63)
    const uint8_t* payload = nullptr;
};
Packet parse_packet(const Report& report);

const char* header_type_name(uint8_t type);

} // namespace emu::detail
