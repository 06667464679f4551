// The 11-byte header: big-endian fields and the CTL_DONE layout.
#include <gtest/gtest.h>

#include <vector>

#include "link/ctl_header.h"

namespace {

std::vector<uint8_t> bytes(const CtlHeader& h) {
    return {h.bytes, h.bytes + CTL_HEADER_SIZE};
}

CtlHeader from(std::vector<uint8_t> b) {
    CtlHeader h;
    for (int i = 0; i < CTL_HEADER_SIZE; ++i)
        h.bytes[i] = b[i];
    return h;
}

TEST(CtlHeader, RequestIsBigEndian) {
    CtlHeader h;
    ctl_header_clear(&h);
    ctl_header_set_type(&h, CTL_REQUEST);
    ctl_header_set_value(&h, 5);
    ctl_header_set_code(&h, 258);
    ctl_header_set_capacity(&h, 256);
    EXPECT_EQ(bytes(h), (std::vector<uint8_t>{0x01, 0, 0, 0, 5, 0x01, 0x02, 0, 0, 0x01, 0x00}));
}

TEST(CtlHeader, CallbackErrorBytes) {
    CtlHeader h;
    ctl_header_clear(&h);
    ctl_header_set_type(&h, CB_ERROR);
    ctl_header_set_value(&h, -2);
    EXPECT_EQ(bytes(h), (std::vector<uint8_t>{0x1D, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0}));
}

TEST(CtlHeader, DoneLengthStandsAtOffsetFive) {
    const CtlHeader done = from({0x04, 0, 0, 0, 7, 0x00, 0x00, 0x01, 0x2C, 0xAB, 0xCD});
    EXPECT_EQ(ctl_header_type(done), CTL_DONE);
    EXPECT_EQ(ctl_header_value(done), 7);
    EXPECT_EQ(ctl_header_done_length(done), 300);
    const CtlHeader negative = from({0x04, 0xFF, 0xFF, 0xFF, 0xE7, 0xFF, 0xFF, 0xFF, 0xFB, 0, 0});
    EXPECT_EQ(ctl_header_value(negative), -25);
    EXPECT_EQ(ctl_header_done_length(negative), -5);
}

TEST(CtlHeader, CallbackRequestFields) {
    const CtlHeader cb = from({0x15, 0, 0, 0, 0x0C, 0x00, 0x01, 9, 9, 9, 9});
    EXPECT_EQ(ctl_header_type(cb), CB_REQUEST);
    EXPECT_EQ(ctl_header_value(cb), 12);
    EXPECT_EQ(ctl_header_code(cb), 1);
}

TEST(CtlHeader, ClearZeroesAll) {
    CtlHeader h;
    for (uint8_t& b : h.bytes)
        b = 0xEE;
    ctl_header_clear(&h);
    EXPECT_EQ(bytes(h), std::vector<uint8_t>(CTL_HEADER_SIZE, 0));
}

} // namespace
