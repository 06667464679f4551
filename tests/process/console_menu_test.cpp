// SPDX-License-Identifier: GPL-2.0-or-later
// The interactive menus of the real program, fed from standard input.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/process_case.h"

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

TEST(ConsoleProcess, MenusEndWhereTheirInputSays) {
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
    for (const auto& [input, tail] : std::vector<std::pair<std::string, std::string>>{
             {"", "\n\nEnter number: "},
             {"0\n", "Enter number: "},
             {"0\n1\n", "continue\n"},
             {"0\n2\n", "10=USB HIDRAW): "},
             {"0\n2\n1\n", "(in ms) (0=default): "},
             {"0\n2\n2\n", "1=AU201 compat): "},
             {"0\n3\n", "Reader protocol: "},
             {"0\n4\n", "2=debug): "},
             {"0\n5\n1\n", "continue\n"},
             {"0\n100\n", "Enter number: "},
             {"9\n", "Cannot select given reader\n- "}})
        cases.push_back(
            C("EndOfInputAfter " + input, "", on(SCENARIO, input))
                .prints({})
                .checking(
                    [tail = tail + (input.empty() ? "" : "Press ENTER to continue\n")](
                        const ProcessResult& r) { EXPECT_TRUE(r.out.ends_with(tail)) << r.out; })
                .times(502, 0)
                .times(505, 0)
                .times(506, 0)
                .taking(0, 3500));
    run_and_check(cases, 4);
}

} // namespace
