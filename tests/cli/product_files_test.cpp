// The files shipped beside the program agree with it: the udev rule names
// the readers' vendor ID, the man page documents every option of the usage.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "cli/tool_settings.h"
#include "discovery/reader_model.h"
#include "support/capture.h"
#include "support/process.h"

namespace {

std::string source(const char* relative) {
    return read_file(std::string(BRINLET_SOURCE_DIR) + "/" + relative);
}

std::set<char> usage_options() {
    FdCapture err(2);
    settings_print_usage("brinlet");
    std::istringstream lines(err.finish());
    std::set<char> letters;
    std::string line;
    while (std::getline(lines, line))
        if (line.size() > 2 && line[0] == '-' && line[2] == ' ') letters.insert(line[1]);
    return letters;
}

std::set<char> man_options() {
    std::istringstream lines(source("doc/brinlet.1"));
    std::set<char> letters;
    std::string line, previous;
    while (std::getline(lines, line)) {
        // An option's paragraph: ".TP" then ".B \-x" or ".BI \-x ...".
        for (const char* head : {".B \\-", ".BI \\-"}) {
            const std::string h(head);
            if (previous == ".TP" && line.compare(0, h.size(), h) == 0 && line.size() > h.size())
                letters.insert(line[h.size()]);
        }
        previous = line;
    }
    return letters;
}

TEST(ProductFiles, UdevRuleGrantsAccessToTheReadersVendor) {
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", READER_VENDOR_ID);
    for (const ReaderModel& row : reader_models)
        EXPECT_EQ(row.vendor_id, READER_VENDOR_ID);
    std::istringstream lines(source("packaging/70-brinlet.rules"));
    std::string line;
    int rules = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        ++rules;
        EXPECT_NE(line.find("SUBSYSTEMS==\"usb\""), std::string::npos) << line;
        EXPECT_NE(line.find(std::string("ATTRS{idVendor}==\"") + vendor + "\""), std::string::npos)
            << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
    }
    EXPECT_EQ(rules, 1);
}

TEST(ProductFiles, ManPageDocumentsEveryUsageOption) {
    const std::set<char> usage = usage_options();
    const std::set<char> man = man_options();
    ASSERT_EQ(usage.size(), 19u);
    for (char letter : usage)
        EXPECT_TRUE(man.count(letter)) << "-" << letter << " not in man page";
    EXPECT_TRUE(man.count('b')) << "-b is documented in the man page";
    for (char letter : man)
        EXPECT_TRUE(usage.count(letter) || std::string("bLUW").find(letter) != std::string::npos)
            << "-" << letter << " is in the man page but not an option";
}

TEST(ProductFiles, CompletionOffersEveryUsageOption) {
    const std::string completion = source("packaging/brinlet.bash");
    for (char letter : usage_options())
        EXPECT_NE(completion.find(std::string(" -") + letter), std::string::npos) << letter;
    EXPECT_NE(completion.find("-i|-o)"), std::string::npos);
}

} // namespace
