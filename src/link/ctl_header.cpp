#include "link/ctl_header.h"

#include <cstring>

uint32_t be32_load(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void be32_store(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

uint16_t be16_load(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void be16_store(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void ctl_header_clear(CtlHeader* header) {
    std::memset(header->bytes, 0, sizeof header->bytes);
}

uint8_t ctl_header_type(const CtlHeader& h) {
    return h.bytes[0];
}
int32_t ctl_header_value(const CtlHeader& h) {
    return static_cast<int32_t>(be32_load(h.bytes + 1));
}
uint16_t ctl_header_code(const CtlHeader& h) {
    return be16_load(h.bytes + 5);
}
uint32_t ctl_header_capacity(const CtlHeader& h) {
    return be32_load(h.bytes + 7);
}
int32_t ctl_header_done_length(const CtlHeader& h) {
    return static_cast<int32_t>(be32_load(h.bytes + 5));
}

void ctl_header_set_type(CtlHeader* h, uint8_t type) {
    h->bytes[0] = type;
}
void ctl_header_set_value(CtlHeader* h, int32_t value) {
    be32_store(h->bytes + 1, static_cast<uint32_t>(value));
}
void ctl_header_set_code(CtlHeader* h, uint16_t code) {
    be16_store(h->bytes + 5, code);
}
void ctl_header_set_capacity(CtlHeader* h, uint32_t capacity) {
    be32_store(h->bytes + 7, capacity);
}
