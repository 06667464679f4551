// Parameters, reset and callback registration as the reader receives them.
#include <gtest/gtest.h>

#include <cstring>

#include "base/text.h"
#include "services/reader_functions.h"
#include "support/reader_fixture.h"

namespace {

class ReaderFunctions : public EmulatedReaders {};

const char* SCENARIO = "device r1 0x0204\n  serial P1\n  param FWVERSION \"2.14.0\"\n";

TEST_F(ReaderFunctions, GetParamSendsKeyWithItsNul) {
    Reader* r = open_reader(SCENARIO);
    char value[PARAM_VALUE_SIZE];
    ASSERT_EQ(reader_get_param(r, PARAM_FWVERSION, value, sizeof value), 0);
    EXPECT_STREQ(value, "2.14.0");
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, FN_GET_PARAM);
    EXPECT_EQ(x[0].input, (std::vector<uint8_t>{'F', 'W', 'V', 'E', 'R', 'S', 'I', 'O', 'N', 0}));
    EXPECT_EQ(x[0].capacity, 256u);
}

TEST_F(ReaderFunctions, UnknownParameterPassesTheReadersResult) {
    Reader* r = open_reader("device r1 0x0204\n  serial P1\n  noparam SOUND\n");
    char value[PARAM_VALUE_SIZE] = "untouched";
    EXPECT_EQ(reader_get_param(r, PARAM_SOUND, value, sizeof value), -2);
    EXPECT_STREQ(value, "untouched");
}

TEST_F(ReaderFunctions, ValueThatDidNotFitIsNotDelivered) {
    Reader* r = open_reader("device r1 0x0204\n  serial P1\n  fn 504 out rep:300:41\n");
    char value[PARAM_VALUE_SIZE] = "untouched";
    EXPECT_EQ(reader_get_param(r, PARAM_FWVERSION, value, sizeof value), PARAM_NOT_DELIVERED);
    EXPECT_STREQ(value, "untouched");
    EXPECT_TRUE(emu::exchanges("r1")[0].refused);
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

TEST_F(ReaderFunctions, SetParamSendsAssignmentWithCapacity255) {
    Reader* r = open_reader(SCENARIO);
    EXPECT_EQ(reader_set_param(r, "SOUND=1"), 0);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, FN_SET_CONFIG);
    EXPECT_EQ(x[0].input, (std::vector<uint8_t>{'S', 'O', 'U', 'N', 'D', '=', '1', 0}));
    EXPECT_EQ(x[0].capacity, 255u);
    EXPECT_EQ(emu::param("r1", "SOUND"), "1");
}

TEST_F(ReaderFunctions, RegisterCallbackBytes) {
    Reader* r = open_reader(SCENARIO);
    EXPECT_EQ(reader_register_callback(r, 1, 4), 0);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, FN_REGISTER_CALLBACK);
    EXPECT_EQ(x[0].input, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 0, 4}));
    EXPECT_EQ(x[0].capacity, 0u);
}

TEST_F(ReaderFunctions, ResetIsFunction506WithoutData) {
    Reader* r = open_reader(SCENARIO);
    EXPECT_EQ(reader_reset(r), 0);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, FN_RESET);
    EXPECT_TRUE(x[0].input.empty());
    EXPECT_EQ(x[0].capacity, 0u);
}

TEST(TextCopy, StopsAtNulLengthAndBuffer) {
    char out[5];
    const uint8_t text[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(text_copy(out, sizeof out, text, 4), 2);
    EXPECT_STREQ(out, "ab");
    const uint8_t raw[] = {'1', '2', '3', '4', '5', '6', '7'};
    EXPECT_EQ(text_copy(out, sizeof out, raw, 7), 4);
    EXPECT_STREQ(out, "1234");
    EXPECT_EQ(text_copy(out, sizeof out, raw, 2), 2);
    EXPECT_STREQ(out, "12");
    EXPECT_EQ(text_copy(out, sizeof out, raw, -3), 0);
}

} // namespace
