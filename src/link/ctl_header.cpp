// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/ctl_header.h"

#include <cstring>

#include "base/bytes.h"

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
