// SPDX-License-Identifier: GPL-2.0-or-later
// The names of the link's results.

#include "link/link_result.h"
#include "support/table.h"

namespace {

struct NameCase {
    const char* name;
    int32_t result;
    const char* text;
};

const NameCase NAMES[] = {
    {"Ok", LINK_OK, "LINK_OK"},
    {"Error", -1, "LINK_ERROR"},
    {"BadHeader", -2, "LINK_BAD_HEADER"},
    {"WrongState", -3, "LINK_WRONG_STATE"},
    {"NoMemory", -12, "LINK_NO_MEMORY"},
    {"Timeout", -110, "LINK_TIMEOUT"},
    {"IoError", -9999, "LINK_IO_ERROR"},
    // A reader's own results and counts are no link results.
    {"ReaderBusy", -25, "UNKNOWN"},
    {"WireNoRoom", -5, "UNKNOWN"},
    {"Count", 11, "UNKNOWN"},
    {"Lowest", INT32_MIN, "UNKNOWN"},
};

class LinkResultNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(LinkResultNames, Name) {
    EXPECT_STREQ(link_result_name(GetParam().result), GetParam().text);
}

TABLE_TEST(Results, LinkResultNames, NAMES);

} // namespace
