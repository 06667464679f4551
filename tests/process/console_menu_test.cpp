// SPDX-License-Identifier: GPL-2.0-or-later
// The interactive menus of the real program, fed from standard input.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/process_case.h"
#include "support/table.h"

namespace {

const char* SCENARIO = "device km 0x0203\n  serial KM0001\n  port 1-2\n";
const std::string KM_LISTED = "0) USB reader v2/v3 (usb km embedded class), Ser.no.: KM0001\n";

// The setting is written with its NUL, then the reader restarts, comes
// back, and the main menu lists it again.
void saved_then_listed_again(const ProcessResult& r) {
    for (const auto& x : transcript_records(r.transcript, "exchange", "km"))
        if (x["fn"] == "502") {
            EXPECT_EQ(x["cap"], "255");
            EXPECT_EQ(x["in"], hex(std::string("SOUND=1") + '\0'));
        }
    EXPECT_FALSE(transcript_records(r.transcript, "event", "km").empty());
    const std::regex banner("Norvane USB card reader configuration utility");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), banner), {}), 2);
    EXPECT_TRUE(r.out.ends_with("Enter number: "));
}

std::vector<ProcessCase> menu_cases() {
    using C = ProcessCase;
    std::vector<ProcessCase> cases = {
        C("MenuWithoutReadersEndsOn99", "", on("", "99\n"))
            .prints(main_menu("NO CONFIGURABLE READERS FOUND\n")),
        C("ClosedStandardInputEndsTheProgram", "", {.scenario = SCENARIO, .close_stdin = true})
            .prints(main_menu(KM_LISTED))
            .wire("km", {})
            .taking(0, 3500),
        C("SavedSettingReachesTheReaderThenItRestarts", "", on(SCENARIO, "0\n5\n0\n\n99\n\n99\n"))
            .prints({})
            .times(502, 1)
            .times(506, 1)
            .taking(3000, 30000)
            .checking(saved_then_listed_again),
    };
    // Wherever the input ends, the program ends at once with status 0 and
    // has written nothing to the reader; in a submenu, the question left
    // unanswered is followed by a prompt to continue.
    const struct {
        const char* name;
        std::string input, tail;
    } ends[] = {
        {.name = "AtTheMainMenu", .input = "", .tail = "\n\nEnter number: "},
        {.name = "InTheReaderMenu", .input = "0\n", .tail = "Enter number: "},
        {.name = "AfterSettingDefaults", .input = "0\n1\n", .tail = "continue\n"},
        {.name = "AtTheUsbMode", .input = "0\n2\n", .tail = "10=USB HIDRAW): "},
        {.name = "AtTheKeyPressDelay", .input = "0\n2\n1\n", .tail = "(in ms) (0=default): "},
        {.name = "AtTheCardNumberMode", .input = "0\n2\n2\n", .tail = "1=AU201 compat): "},
        {.name = "AtTheProtocol", .input = "0\n3\n", .tail = "Reader protocol: "},
        {.name = "AtTheDebugLevel", .input = "0\n4\n", .tail = "2=debug): "},
        {.name = "AfterSettingTheSound", .input = "0\n5\n1\n", .tail = "continue\n"},
        {.name = "AfterLeavingWithoutSaving", .input = "0\n100\n", .tail = "Enter number: "},
        {.name = "AfterAMissingReader", .input = "9\n", .tail = "Cannot select given reader\n- "},
    };
    for (const auto& end : ends)
        cases.push_back(
            C(std::string("EndOfInput") + end.name, "", on(SCENARIO, end.input))
                .prints({})
                .checking(
                    [tail = end.tail + (end.input.empty() ? "" : "Press ENTER to continue\n")](
                        const ProcessResult& r) { EXPECT_TRUE(r.out.ends_with(tail)) << r.out; })
                .times(502, 0)
                .times(505, 0)
                .times(506, 0)
                .taking(0, 3500));
    return cases;
}

class ConsoleMenu : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(ConsoleMenu, MenusEndWhereTheirInputSays) {
    run_and_check(GetParam());
}

TABLE_TEST(Inputs, ConsoleMenu, menu_cases());

} // namespace
