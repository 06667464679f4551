// SPDX-License-Identifier: GPL-2.0-or-later
// The 11-byte header of every CTL and callback step. All multi-byte fields
// are big-endian: type(1) value(4) code(2) capacity(4); in CTL_DONE the
// output length is at offsets 5..8 instead.
#pragma once

#include <cstdint>

inline constexpr int CTL_HEADER_SIZE = 11;

enum CtlType : uint8_t {
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

// Values the host puts in a header's value field to refuse a step: numbers
// on the wire, not results.
inline constexpr int32_t WIRE_HOST_NO_ROOM = -5;   // CTL_ERROR: the output would not fit
inline constexpr int32_t WIRE_HOST_NO_MEMORY = -2; // CB_ERROR, CB_DONE: the callback is not kept

struct CtlHeader {
    uint8_t bytes[CTL_HEADER_SIZE];
};

void ctl_header_clear(CtlHeader* header);

uint8_t ctl_header_type(const CtlHeader& header);
int32_t ctl_header_value(const CtlHeader& header);       // offsets 1..4
uint16_t ctl_header_code(const CtlHeader& header);       // offsets 5..6
uint32_t ctl_header_capacity(const CtlHeader& header);   // offsets 7..10
int32_t ctl_header_done_length(const CtlHeader& header); // CTL_DONE: offsets 5..8

void ctl_header_set_type(CtlHeader* header, uint8_t type);
void ctl_header_set_value(CtlHeader* header, int32_t value);
void ctl_header_set_code(CtlHeader* header, uint16_t code);
void ctl_header_set_capacity(CtlHeader* header, uint32_t capacity);
