// SPDX-License-Identifier: GPL-2.0-or-later
#include "wire.h"

#include <algorithm>
#include <cstring>

namespace emu::detail {

void put_be32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void put_be16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

uint32_t get_be32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

uint16_t get_be16(const uint8_t* bytes) {
    return static_cast<uint16_t>((static_cast<unsigned>(bytes[0]) << 8) | bytes[1]);
}

HeaderBytes encode_header(const Header& header) {
    HeaderBytes bytes{};
    bytes[0] = header.type;
    put_be32(&bytes[1], static_cast<uint32_t>(header.value));
    put_be16(&bytes[5], header.code);
    put_be32(&bytes[7], header.capacity);
    return bytes;
}

HeaderBytes encode_done(int32_t result, int32_t output_len) {
    HeaderBytes bytes{};
    bytes[0] = CTL_DONE;
    put_be32(&bytes[1], static_cast<uint32_t>(result));
    put_be32(&bytes[5], static_cast<uint32_t>(output_len));
    return bytes;
}

Header decode_header(const uint8_t* bytes) {
    return {bytes[0], static_cast<int32_t>(get_be32(bytes + 1)), get_be16(bytes + 5),
            get_be32(bytes + 7)};
}

Report make_packet(bool header, const uint8_t* payload, size_t count) {
    Report report{};
    count = std::min<size_t>(count, PAYLOAD_MAX);
    report[0] = static_cast<uint8_t>(count | (header ? CTRL_HEADER : 0));
    if (count > 0) std::memcpy(&report[1], payload, count);
    return report;
}

Packet parse_packet(const Report& report) {
    return {(report[0] & CTRL_HEADER) != 0, (report[0] & CTRL_BIT6) != 0, report[0] & CTRL_LEN_MASK,
            &report[1]};
}

const char* header_type_name(uint8_t type) {
    static const struct {
        uint8_t type;
        const char* name;
    } names[] = {{CTL_REQUEST, "CTL_REQUEST"}, {CTL_ACK, "CTL_ACK"},     {CTL_DONE, "CTL_DONE"},
                 {CTL_FETCH, "CTL_FETCH"},     {CTL_ERROR, "CTL_ERROR"}, {CB_REQUEST, "CB_REQUEST"},
                 {CB_ACK, "CB_ACK"},           {CB_DONE, "CB_DONE"},     {CB_ERROR, "CB_ERROR"}};
    for (const auto& entry : names)
        if (entry.type == type) return entry.name;
    return "unknown";
}

} // namespace emu::detail
