// SPDX-License-Identifier: GPL-2.0-or-later
#include "wire.h"

#include <algorithm>
#include <cstring>

namespace emu::detail {

void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint32_t get_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}

HeaderBytes encode_header(const Header& h) {
    HeaderBytes b{};
    b[0] = h.type;
    put_be32(&b[1], static_cast<uint32_t>(h.value));
    put_be16(&b[5], h.code);
    put_be32(&b[7], h.capacity);
    return b;
}

HeaderBytes encode_done(int32_t result, int32_t output_len) {
    HeaderBytes b{};
    b[0] = CTL_DONE;
    put_be32(&b[1], static_cast<uint32_t>(result));
    put_be32(&b[5], static_cast<uint32_t>(output_len));
    return b;
}

Header decode_header(const uint8_t* p) {
    return {p[0], static_cast<int32_t>(get_be32(p + 1)), get_be16(p + 5), get_be32(p + 7)};
}

Report make_packet(bool header, const uint8_t* payload, size_t n) {
    Report r{};
    n = std::min<size_t>(n, PAYLOAD_MAX);
    r[0] = static_cast<uint8_t>(n | (header ? CTRL_HEADER : 0));
    if (n > 0) std::memcpy(&r[1], payload, n);
    return r;
}

Packet parse_packet(const Report& r) {
    return {(r[0] & CTRL_HEADER) != 0, (r[0] & CTRL_BIT6) != 0, r[0] & CTRL_LEN_MASK, &r[1]};
}

const char* header_type_name(uint8_t type) {
    static const struct {
        uint8_t type;
        const char* name;
    } names[] = {{CTL_REQUEST, "CTL_REQUEST"}, {CTL_ACK, "CTL_ACK"},     {CTL_DONE, "CTL_DONE"},
                 {CTL_FETCH, "CTL_FETCH"},     {CTL_ERROR, "CTL_ERROR"}, {CB_REQUEST, "CB_REQUEST"},
                 {CB_ACK, "CB_ACK"},           {CB_DONE, "CB_DONE"},     {CB_ERROR, "CB_ERROR"}};
    for (const auto& n : names)
        if (n.type == type) return n.name;
    return "unknown";
}

} // namespace emu::detail
