// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "card_test_rig.h"
#include "cardtest/module_info.h"
#include "link/reader_link.h"

namespace {

// An open reader showing "old module"/"old protocol" asks its module, set
// up by the statement, for its description.
struct ModuleCase {
    const char* name;
    std::string statement;
    int32_t result;
    std::string module;
    const char* protocol;
    std::vector<int> functions;
};

void PrintTo(const ModuleCase& c, std::ostream* os) {
    *os << c.name;
}

const char OLD_M[] = "old module";
const char OLD_P[] = "old protocol";
const std::vector<int> BOTH = {2103, 2104};

const ModuleCase MODULE_CASES[] = {
    {"SevenLines", R"(module_desc "L1\nL2\nL3\nL4\nL5\nL6\nL7")", 0, "L1 L2", "L4", BOTH},
    {"EmptyLinesDoNotCount", R"(module_desc "\n\nPART\n\n\nName\nauto\nISO\n")", 0, "PART Name",
     "ISO", BOTH},
    {"TwoLines", R"(module_desc "PART\nName")", 0, "PART Name", "", BOTH},
    {"OneLine", R"(module_desc "ONLY")", 0, "ONLY", "", BOTH},
    {"NoModuleAsksNoDescription", "module_count 0", 0, OLD_M, OLD_P, {2103}},
    {"UnterminatedStaysInItsField", "module_desc rep:256:41", 0, std::string(255, 'A'), "", BOTH},
    {"FailedCount", "fn 2103 result -25", -25, OLD_M, OLD_P, {2103}},
    {"FailedDescription", "fn 2104 result -22", -22, OLD_M, OLD_P, BOTH},
};

class ModuleInfo : public CardTestRig, public ::testing::WithParamInterface<ModuleCase> {};

TEST_P(ModuleInfo, TextsAndResultAsTheModuleAnswers) {
    const ModuleCase& c = GetParam();
    load(device_block("r1", "0x0202", "SN1", "  " + c.statement + "\n"));
    Reader* r = reader("SN1");
    ASSERT_EQ(reader_open(r), 0);
    ReaderTestState state;
    std::strcpy(state.module_text, OLD_M);
    std::strcpy(state.protocol_text, OLD_P);
    r->test_ctx = &state;
    emu::clear_transcript("r1");
    EXPECT_EQ(reader_get_module_info(r), c.result);
    EXPECT_EQ(std::string(state.module_text), c.module);
    EXPECT_STREQ(state.protocol_text, c.protocol);
    EXPECT_EQ(functions_of("r1"), c.functions);
    r->test_ctx = nullptr;
    reader_close(r);
}

INSTANTIATE_TEST_SUITE_P(Descriptions, ModuleInfo, ::testing::ValuesIn(MODULE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardTestRig, ModuleInfoRefusesAReaderWithoutTestState) {
    load(device_block("r1", "0x0202", "SN1"));
    Reader* r = reader("SN1");
    EXPECT_EQ(reader_get_module_info(r), MODULE_NO_TEST_STATE);
    EXPECT_TRUE(emu::exchanges("r1").empty());
}

} // namespace
