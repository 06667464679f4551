#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card_test_rig.h"
#include "cardtest/module_info.h"
#include "link/reader_link.h"

namespace {

class ModuleInfo : public CardTestRig {
  protected:
    // An open reader with a test state of its own, whose module answers as
    // the statements say.
    Reader* open_reader(const std::string& statements) {
        load(device_block("r1", "0x0202", "SN1", statements));
        Reader* r = reader("SN1");
        EXPECT_EQ(reader_open(r), 0);
        std::strcpy(state.module_text, "old module");
        std::strcpy(state.protocol_text, "old protocol");
        r->test_ctx = &state;
        opened = r;
        return r;
    }
    void TearDown() override {
        if (opened != nullptr) {
            opened->test_ctx = nullptr;
            reader_close(opened);
        }
        CardTestRig::TearDown();
    }
    ReaderTestState state;
    Reader* opened = nullptr;
};

TEST_F(ModuleInfo, SevenLinesGiveLinesOneAndTwoAndTheProtocolOfLineFour) {
    Reader* r = open_reader("  module_desc \"L1\\nL2\\nL3\\nL4\\nL5\\nL6\\nL7\"\n");
    EXPECT_EQ(reader_get_module_info(r), 0);
    EXPECT_STREQ(state.module_text, "L1 L2");
    EXPECT_STREQ(state.protocol_text, "L4");
}

TEST_F(ModuleInfo, EmptyLinesDoNotCount) {
    Reader* r = open_reader("  module_desc \"\\n\\nPART\\n\\n\\nName\\nauto\\nISO\\n\"\n");
    EXPECT_EQ(reader_get_module_info(r), 0);
    EXPECT_STREQ(state.module_text, "PART Name");
    EXPECT_STREQ(state.protocol_text, "ISO");
}

TEST_F(ModuleInfo, ShortDescriptionReplacesBothTextsWithWhatItHas) {
    Reader* r = open_reader("  module_desc \"PART\\nName\"\n");
    EXPECT_EQ(reader_get_module_info(r), 0);
    EXPECT_STREQ(state.module_text, "PART Name");
    EXPECT_STREQ(state.protocol_text, "");
    emu::script("r1", "module_desc \"ONLY\"");
    EXPECT_EQ(reader_get_module_info(r), 0);
    EXPECT_STREQ(state.module_text, "ONLY");
}

TEST_F(ModuleInfo, NoModuleLeavesTheTextsAndAsksNoDescription) {
    Reader* r = open_reader("  module_count 0\n");
    EXPECT_EQ(reader_get_module_info(r), 0);
    EXPECT_STREQ(state.module_text, "old module");
    EXPECT_STREQ(state.protocol_text, "old protocol");
    EXPECT_EQ(functions_of("r1"), std::vector<int>{2103});
}

TEST_F(ModuleInfo, DescriptionWithoutTerminatorStaysWithinTheField) {
    Reader* r = open_reader("  module_desc rep:256:41\n");
    EXPECT_EQ(reader_get_module_info(r), 0);
    EXPECT_EQ(std::string(state.module_text), std::string(255, 'A'));
    EXPECT_STREQ(state.protocol_text, "");
}

TEST_F(ModuleInfo, FailingExchangesAreReturnedAndChangeNothing) {
    Reader* r = open_reader("  fn 2103 result -25\n");
    EXPECT_EQ(reader_get_module_info(r), -25);
    emu::script("r1", "fn 2103 clear");
    emu::script("r1", "fn 2104 result -22");
    EXPECT_EQ(reader_get_module_info(r), -22);
    EXPECT_STREQ(state.module_text, "old module");
    EXPECT_STREQ(state.protocol_text, "old protocol");
}

TEST_F(ModuleInfo, ReaderWithoutTestStateIsRefused) {
    load(device_block("r1", "0x0202", "SN1"));
    Reader* r = reader("SN1");
    EXPECT_EQ(reader_get_module_info(r), MODULE_NO_TEST_STATE);
    EXPECT_TRUE(emu::exchanges("r1").empty());
}

} // namespace
