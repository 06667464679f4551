// SPDX-License-Identifier: GPL-2.0-or-later
// Parameters, reset and callback registration as the reader receives them,
// and what a parameter read delivers.

#include <cstdio>

#include "link/reader_rig.h"
#include "services/reader_functions.h"

namespace {

// Reader r1's statements, the key and capacity asked; the result and the
// buffer afterwards.
struct ParamCase {
    const char *name, *statements, *key;
    uint32_t capacity;
    int32_t result;
    const char* value;
};

const ParamCase PARAMS[] = {
    {"ValueIsDelivered", "", PARAM_FWVERSION, 256, 0, "2.14.0"},
    {"UnknownKeyLeavesTheBufferAlone", "noparam SOUND", PARAM_SOUND, 256, -2, "untouched"},
    {"RefusedValueLeavesTheBufferAlone", "fn 504 out rep:300:41", PARAM_FWVERSION, 256,
     PARAM_NOT_DELIVERED, "untouched"},
    {"UnterminatedValueIsCutToTheCapacity", "fn 504 out r\"ABCDEFGH\"", PARAM_FWVERSION, 8, 0,
     "ABCDEFG"},
    {"UnterminatedValueEndsWhereItsBytesEnd", "fn 504 out r\"ABCDEFGH\"", PARAM_FWVERSION, 32, 0,
     "ABCDEFGH"},
};

class ParamRead : public EmulatedReaders, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(ParamRead, Value) {
    const ParamCase& c = GetParam();
    Reader* r = open_reader(reader_r1(c.statements));
    ASSERT_NE(r, nullptr);
    char value[PARAM_VALUE_SIZE] = "untouched";
    EXPECT_EQ(reader_get_param(r, c.key, value, static_cast<int32_t>(c.capacity)), c.result);
    EXPECT_STREQ(value, c.value);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, FN_GET_PARAM);
    EXPECT_EQ(std::string(x[0].input.begin(), x[0].input.end()), std::string(c.key) + '\0');
    EXPECT_EQ(x[0].capacity, c.capacity);
}

TABLE_TEST(ParamRead, ParamCase, PARAMS);

class ReaderFunctions : public EmulatedReaders {};

TEST_F(ReaderFunctions, RequestsAsTheReaderReceivesThem) {
    Reader* r = open_reader(reader_r1(""));
    EXPECT_EQ(reader_set_param(r, "SOUND=1"), 0);
    EXPECT_EQ(emu::param("r1", "SOUND"), "1");
    EXPECT_EQ(reader_register_callback(r, 1, 4), 0);
    EXPECT_EQ(reader_reset(r), 0);
    std::string seen; // function, capacity and input of each exchange
    for (const emu::Exchange& e : emu::exchanges("r1")) {
        seen += std::to_string(e.function) + " " + std::to_string(e.capacity) + " ";
        for (uint8_t byte : e.input) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", byte);
            seen += hex;
        }
        seen += "\n";
    }
    EXPECT_EQ(seen, "502 255 534F554E443D3100\n530 0 0000000000010004\n506 0 \n");
}

} // namespace
