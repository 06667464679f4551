// SPDX-License-Identifier: GPL-2.0-or-later
// The files shipped beside the program agree with it: the udev rule names
// the vendor of every reader model, the man page and the completion know
// every option of the usage, the emulator's man page every variable of its
// wrapper.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "cli/tool_settings.h"
#include "discovery/reader_model.h"
#include "support/capture.h"
#include "support/process.h"

namespace {

std::string source(const char* relative) {
    return read_file(std::string(BRINLET_SOURCE_DIR) + "/" + relative);
}

// The first capture group of every match of pattern in text.
std::set<std::string> found(const std::string& text, const char* pattern) {
    std::set<std::string> out;
    const std::regex re(pattern);
    for (std::sregex_iterator m(text.begin(), text.end(), re), end; m != end; ++m)
        out.insert((*m)[1]);
    return out;
}

TEST(ProductFiles, UdevRuleGrantsTheUsbDeviceOfTheReadersVendor) {
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", READER_VENDOR_ID);
    for (const ReaderModel& row : reader_models)
        EXPECT_EQ(row.vendor_id, READER_VENDOR_ID) << row.description;
    EXPECT_EQ(std::regex_replace(source("packaging/70-brinlet.rules"), std::regex("#.*\n"), ""),
              std::string("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"") +
                  vendor + "\", TAG+=\"uaccess\"\n");
}

TEST(ProductFiles, ManPageAndCompletionKnowEveryUsageOption) {
    FdCapture err(2);
    settings_print_usage("brinlet");
    const std::set<std::string> usage = found("\n" + err.finish(), "\n-(.) ");
    // An option's paragraph: ".TP" then ".B \-x" or ".BI \-x ...".
    const std::set<std::string> man = found(source("doc/brinlet.1"), R"(\.TP\n\.BI? \\-(.))");
    const std::string completion = source("packaging/brinlet.bash");
    ASSERT_EQ(usage.size(), 19u);
    for (const std::string& letter : usage) {
        EXPECT_TRUE(man.count(letter)) << "-" << letter << " not in the man page";
        EXPECT_NE(completion.find(" -" + letter), std::string::npos) << letter;
    }
    // -a (every reader) and -b (service use) are not in the usage text; -L, -U
    // and -W head options kept for compatibility.
    for (const std::string& letter : man)
        EXPECT_TRUE(usage.count(letter) || std::string("abLUW").find(letter) != std::string::npos)
            << "-" << letter << " is in the man page but not an option";
    EXPECT_TRUE(man.count("a") && man.count("b") && completion.find(" -a ") != std::string::npos);
    EXPECT_NE(completion.find("-i|-o)"), std::string::npos);
}

TEST(ProductFiles, EmulatorManPageNamesEveryVariableOfTheWrapper) {
    const std::string man = source("doc/brinlet-emu.1");
    const std::set<std::string> names = found(source("tools/brinlet-emu"), "(BRINLET_[A-Z_]+)");
    EXPECT_GE(names.size(), 5u);
    for (const std::string& name : names)
        EXPECT_NE(man.find(".B " + name), std::string::npos) << name << " not in doc/brinlet-emu.1";
}

} // namespace
