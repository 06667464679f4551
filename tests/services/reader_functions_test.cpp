// SPDX-License-Identifier: GPL-2.0-or-later
// Parameters, reset and callback registration as the reader receives them,
// and what a parameter read delivers.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

#include "services/reader_functions.h"
#include "support/reader_fixture.h"

namespace {

struct RequestCase {
    const char* name;
    int32_t (*call)(Reader*);
    uint16_t function;
    std::string input; // bytes received, NULs included
    uint32_t capacity;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.name;
}

const RequestCase REQUESTS[] = {
    {"GetParamSendsKeyWithItsNul",
     [](Reader* r) {
         char value[PARAM_VALUE_SIZE];
         const int32_t result = reader_get_param(r, PARAM_FWVERSION, value, sizeof value);
         EXPECT_STREQ(value, "2.14.0");
         return result;
     },
     FN_GET_PARAM, std::string("FWVERSION", 10), 256},
    {"SetParamSendsAssignmentWithCapacity255",
     [](Reader* r) {
         const int32_t result = reader_set_param(r, "SOUND=1");
         EXPECT_EQ(emu::param("r1", "SOUND"), "1");
         return result;
     },
     FN_SET_CONFIG, std::string("SOUND=1", 8), 255},
    {"RegisterCallbackBytes", [](Reader* r) { return reader_register_callback(r, 1, 4); },
     FN_REGISTER_CALLBACK, std::string("\0\0\0\0\0\1\0\4", 8), 0},
    {"ResetIsFunction506WithoutData", [](Reader* r) { return reader_reset(r); }, FN_RESET, "", 0},
};

class ReaderRequest : public EmulatedReaders, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(ReaderRequest, Bytes) {
    const RequestCase& c = GetParam();
    Reader* r = open_reader("device r1 0x0204\n  serial P1\n  param FWVERSION \"2.14.0\"\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(c.call(r), 0);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, c.function);
    EXPECT_EQ(std::string(x[0].input.begin(), x[0].input.end()), c.input);
    EXPECT_EQ(x[0].capacity, c.capacity);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderRequest, ::testing::ValuesIn(REQUESTS),
                         [](const auto& info) { return std::string(info.param.name); });

class ReaderFunctions : public EmulatedReaders {};

TEST_F(ReaderFunctions, UnknownOrUndeliveredValueLeavesTheBufferAlone) {
    Reader* r = open_reader("device r1 0x0204\n  serial P1\n  noparam SOUND\n"
                            "  fn 504 model\n  fn 504 out rep:300:41\n");
    char value[PARAM_VALUE_SIZE] = "untouched";
    EXPECT_EQ(reader_get_param(r, PARAM_SOUND, value, sizeof value), -2) << "the reader's result";
    EXPECT_STREQ(value, "untouched");
    EXPECT_EQ(reader_get_param(r, PARAM_FWVERSION, value, sizeof value), PARAM_NOT_DELIVERED);
    EXPECT_STREQ(value, "untouched");
    EXPECT_TRUE(emu::exchanges("r1").at(1).refused);
}

TEST_F(ReaderFunctions, ValueWithoutTerminatorIsTerminatedWithinTheBuffer) {
    Reader* r = open_reader("device r1 0x0204\n  serial P1\n  fn 504 out r\"ABCDEFGH\" times 2\n");
    char value[8];
    std::memset(value, 'x', sizeof value);
    ASSERT_EQ(reader_get_param(r, PARAM_FWVERSION, value, sizeof value), 0);
    EXPECT_STREQ(value, "ABCDEFG") << "cut to the capacity, never past it";
    char roomy[32];
    std::memset(roomy, 'x', sizeof roomy);
    ASSERT_EQ(reader_get_param(r, PARAM_FWVERSION, roomy, sizeof roomy), 0);
    EXPECT_STREQ(roomy, "ABCDEFGH") << "bounded by what was received";
}

} // namespace
