#include "wire.h"

#include <algorithm>
#include <cstring>

namespace emu::detail {

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
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

HeaderBytes encode_ack() {
    HeaderBytes b{};
    b[0] = CTL_ACK;
    return b;
}

HeaderBytes encode_error(int32_t value) {
    HeaderBytes b{};
    b[0] = CTL_ERROR;
    put_be32(&b[1], static_cast<uint32_t>(value));
    return b;
}

HeaderBytes encode_cb_request(uint16_t code, uint32_t length) {
    HeaderBytes b{};
    b[0] = CB_REQUEST;
    put_be32(&b[1], length);
    put_be16(&b[5], code);
    return b;
}

Header decode_header(const uint8_t* p) {
    Header h;
    h.type = p[0];
    h.value = static_cast<int32_t>(get_be32(p + 1));
    h.code = get_be16(p + 5);
    h.capacity = get_be32(p + 7);
    return h;
}

Report make_packet(bool header, const uint8_t* payload, size_t n) {
    Report r{};
    n = std::min<size_t>(n, PAYLOAD_MAX);
    r[0] = static_cast<uint8_t>(n | (header ? CTRL_HEADER : 0));
    if (n > 0) std::memcpy(&r[1], payload, n);
    return r;
}

Report header_packet(const HeaderBytes& h) {
    return make_packet(true, h.data(), h.size());
}

std::vector<Report> data_packets(const uint8_t* data, size_t n) {
    std::vector<Report> out;
    out.reserve(n / PAYLOAD_MAX + 1);
    for (size_t off = 0; off < n; off += PAYLOAD_MAX)
        out.push_back(make_packet(false, data + off, std::min<size_t>(PAYLOAD_MAX, n - off)));
    return out;
}

Packet parse_packet(const Report& r) {
    Packet p;
    p.header = (r[0] & CTRL_HEADER) != 0;
    p.bit6 = (r[0] & CTRL_BIT6) != 0;
    p.length = r[0] & CTRL_LEN_MASK;
    p.payload = &r[1];
    return p;
}

const char* header_type_name(uint8_t type) {
    switch (type) {
    case CTL_REQUEST:
        return "CTL_REQUEST";
    case CTL_ACK:
        return "CTL_ACK";
    case CTL_DONE:
        return "CTL_DONE";
    case CTL_FETCH:
        return "CTL_FETCH";
    case CTL_ERROR:
        return "CTL_ERROR";
    case CB_REQUEST:
        return "CB_REQUEST";
    case CB_ACK:
        return "CB_ACK";
    case CB_DONE:
        return "CB_DONE";
    case CB_ERROR:
        return "CB_ERROR";
    default:
        return "unknown";
    }
}

} // namespace emu::detail
