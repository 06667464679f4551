// SPDX-License-Identifier: GPL-2.0-or-later
// The files shipped beside the program agree with it: the udev rule grants
// the readers' USB device and nothing below it, the man pages document every
// option of the usage and every variable of the emulator wrapper.
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

// A device in sysfs as udev sees it while it runs a rule: its own
// subsystem, kernel name, driver, attributes and properties, and its parent.
struct SysDevice {
    const char* kernel;
    const char* subsystem;
    const char* devtype;
    const char* driver;
    std::map<std::string, std::string> attrs;
    const SysDevice* parent;
};

struct MatchKey {
    std::string key;  // "SUBSYSTEM", "ATTRS", ...
    std::string attr; // the name in braces, if any
    bool equal;       // "==" or "!="
    std::string value;
};

// The match keys of one rule line; assignments (TAG+=, MODE=) are skipped.
std::vector<MatchKey> rule_matches(const std::string& line) {
    std::vector<MatchKey> keys;
    size_t at = 0;
    while (at < line.size()) {
        const size_t op = line.find_first_of("=!+:", at);
        const size_t open = line.find('"', op);
        const size_t close = line.find('"', open + 1);
        if (op == std::string::npos || open == std::string::npos || close == std::string::npos) {
            ADD_FAILURE() << "cannot read rule: " << line;
            return keys;
        }
        std::string name = line.substr(at, op - at);
        const std::string oper = line.substr(op, open - op);
        MatchKey key{name, "", oper == "==", line.substr(open + 1, close - open - 1)};
        const size_t brace = name.find('{');
        if (brace != std::string::npos) {
            key.key = name.substr(0, brace);
            key.attr = name.substr(brace + 1, name.size() - brace - 2);
        }
        if (oper == "==" || oper == "!=") keys.push_back(key);
        at = line.find_first_not_of(", ", close + 1);
    }
    return keys;
}

// One key against one device: the keys udev checks on the event's own
// device, and the plural keys, which it checks on one device of the chain.
bool key_matches(const MatchKey& key, const SysDevice& dev) {
    std::string actual;
    bool present = true;
    if (key.key == "SUBSYSTEM" || key.key == "SUBSYSTEMS") {
        actual = dev.subsystem;
    } else if (key.key == "KERNEL" || key.key == "KERNELS") {
        actual = dev.kernel;
    } else if (key.key == "DRIVER" || key.key == "DRIVERS") {
        actual = dev.driver;
    } else if (key.key == "ENV" && key.attr == "DEVTYPE") {
        actual = dev.devtype;
    } else if (key.key == "ATTR" || key.key == "ATTRS") {
        const auto it = dev.attrs.find(key.attr);
        present = it != dev.attrs.end();
        if (present) actual = it->second;
    } else {
        ADD_FAILURE() << "key the test does not model: " << key.key;
        return false;
    }
    return present && (fnmatch(key.value.c_str(), actual.c_str(), 0) == 0) == key.equal;
}

bool is_parent_key(const std::string& key) {
    return key == "SUBSYSTEMS" || key == "KERNELS" || key == "DRIVERS" || key == "ATTRS";
}

bool rule_applies(const std::vector<MatchKey>& keys, const SysDevice& dev) {
    for (const MatchKey& key : keys)
        if (!is_parent_key(key.key) && !key_matches(key, dev)) return false;
    // All parent keys of a rule must match on the same device of the chain.
    for (const SysDevice* d = &dev; d; d = d->parent) {
        bool all = true;
        for (const MatchKey& key : keys)
            if (is_parent_key(key.key) && !key_matches(key, *d)) all = false;
        if (all) return true;
    }
    return false;
}

std::vector<std::string> udev_rules() {
    std::istringstream lines(source("packaging/70-brinlet.rules"));
    std::vector<std::string> rules;
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line[0] != '#') rules.push_back(line);
    return rules;
}

TEST(ProductFiles, UdevRuleNamesTheReadersVendorAndTagsForTheSeat) {
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", READER_VENDOR_ID);
    for (const ReaderModel& row : reader_models)
        EXPECT_EQ(row.vendor_id, READER_VENDOR_ID);
    const std::vector<std::string> rules = udev_rules();
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0],
              std::string("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"") +
                  vendor + "\", TAG+=\"uaccess\"");
}

// A keyboard-personality reader (keyboard on interface 0, configuration link
// on interface 1), a serial-personality reader with its tty, and a mouse:
// the rule grants the two readers' USB device nodes and nothing else.
TEST(ProductFiles, UdevRuleMatchesOnlyTheReadersUsbDevice) {
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", READER_VENDOR_ID);
    const SysDevice kbd{
        "1-4.2", "usb", "usb_device", "usb", {{"idVendor", vendor}, {"idProduct", "0202"}},
        nullptr};
    const SysDevice kbd_if0{
        "1-4.2:1.0", "usb", "usb_interface", "usbhid", {{"bInterfaceNumber", "00"}}, &kbd};
    const SysDevice kbd_hid0{"0003:F1E0:0202.0001", "hid", "", "hid-generic", {}, &kbd_if0};
    const SysDevice kbd_input{"input12", "input", "", "", {{"name", "Norvane reader"}}, &kbd_hid0};
    const SysDevice kbd_event{"event5", "input", "", "", {}, &kbd_input};
    const SysDevice kbd_hidraw0{"hidraw0", "hidraw", "", "", {}, &kbd_hid0};
    const SysDevice kbd_if1{
        "1-4.2:1.1", "usb", "usb_interface", "usbhid", {{"bInterfaceNumber", "01"}}, &kbd};
    const SysDevice kbd_hid1{"0003:F1E0:0202.0002", "hid", "", "hid-generic", {}, &kbd_if1};
    const SysDevice kbd_hidraw1{"hidraw1", "hidraw", "", "", {}, &kbd_hid1};
    const SysDevice ser{
        "1-4.3", "usb", "usb_device", "usb", {{"idVendor", vendor}, {"idProduct", "0204"}},
        nullptr};
    const SysDevice ser_if0{
        "1-4.3:1.0", "usb", "usb_interface", "cdc_acm", {{"bInterfaceNumber", "00"}}, &ser};
    const SysDevice ser_tty{"ttyACM0", "tty", "", "", {}, &ser_if0};
    const SysDevice mouse{
        "1-5", "usb", "usb_device", "usb", {{"idVendor", "046d"}, {"idProduct", "c077"}}, nullptr};
    const SysDevice mouse_if0{
        "1-5:1.0", "usb", "usb_interface", "usbhid", {{"bInterfaceNumber", "00"}}, &mouse};
    const struct {
        const SysDevice* device;
        bool granted;
    } cases[] = {
        {&kbd, true},          {&kbd_if0, false},     {&kbd_hid0, false}, {&kbd_input, false},
        {&kbd_event, false},   {&kbd_hidraw0, false}, {&kbd_if1, false},  {&kbd_hid1, false},
        {&kbd_hidraw1, false}, {&ser, true},          {&ser_if0, false},  {&ser_tty, false},
        {&mouse, false},       {&mouse_if0, false},
    };
    const std::vector<std::string> rules = udev_rules();
    ASSERT_EQ(rules.size(), 1u);
    const std::vector<MatchKey> keys = rule_matches(rules[0]);
    ASSERT_FALSE(keys.empty());
    for (const auto& c : cases)
        EXPECT_EQ(rule_applies(keys, *c.device), c.granted) << c.device->kernel;
}

// Every variable the emulator wrapper and the emulator read is in its man page.
TEST(ProductFiles, EmulatorManPageNamesEveryVariableOfTheWrapper) {
    const std::string wrapper = source("tools/brinlet-emu");
    const std::string man = source("doc/brinlet-emu.1");
    std::set<std::string> names;
    for (size_t at = wrapper.find("BRINLET_"); at != std::string::npos;
         at = wrapper.find("BRINLET_", at + 1)) {
        size_t end = at;
        while (end < wrapper.size() &&
               (std::isupper((unsigned char)wrapper[end]) || wrapper[end] == '_'))
            ++end;
        names.insert(wrapper.substr(at, end - at));
    }
    EXPECT_GE(names.size(), 5u);
    for (const std::string& name : names)
        EXPECT_NE(man.find(".B " + name), std::string::npos) << name << " not in doc/brinlet-emu.1";
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
