// SPDX-License-Identifier: GPL-2.0-or-later
// The interactive menus of the real program, fed from standard input.
#include <gtest/gtest.h>

#include <string>

#include "support/process_case.h"

namespace {

const char* SCENARIO = "device km 0x0203\n  serial KM0001\n  port 1-2\n";

// The setting is written with its NUL, then the reader restarts, comes
// back, and the main menu lists it again.
void saved_then_listed_again(const ProcessResult& r) {
    for (const auto& x : transcript_records(r.transcript, "exchange", "km"))
        if (x["fn"] == "502") {
            EXPECT_EQ(x["cap"], "255");
            EXPECT_EQ(x["in"], hex(std::string("SOUND=1") + '\0'));
        }
    EXPECT_FALSE(transcript_records(r.transcript, "event", "km").empty());
    const std::string banner = "Norvane USB card reader configuration utility";
    EXPECT_EQ(r.out.rfind(banner), r.out.find(banner, r.out.find(banner) + 1));
    EXPECT_TRUE(r.out.ends_with("Enter number: "));
}

TEST(ConsoleProcess, MenusEndWhereTheirInputSays) {
    using C = ProcessCase;
    const std::string rule(76, '-');
    std::vector<ProcessCase> cases = {
        C("menuwithoutreadersendson99", "", on("", "99\n"))
            .prints("\x1b[2J\x1b[0;0HNorvane USB card reader configuration utility ver. 1.28, "
                    "ZODARIDA release\n\nList of available readers:\n" +
                    rule + "\nNO CONFIGURABLE READERS FOUND\n" + rule +
                    "\n99) Exit application\t100) Test mode\t101) Refresh reader list\n\n"
                    "Enter number: "),
        C("closedstandardinputendstheprogram", "", {.scenario = SCENARIO, .close_stdin = true})
            .prints({})
            .wire("km", {})
            .taking(0, 2000)
            .checking([](const ProcessResult& r) {
                EXPECT_NE(
                    r.out.find("0) USB reader v2/v3 (usb km embedded class), Ser.no.: KM0001\n"),
                    std::string::npos);
            }),
        C("savedsettingreachesthereaderthenitrestarts", "", on(SCENARIO, "0\n5\n0\n\n99\n\n99\n"))
            .prints({})
            .times(502, 1)
            .times(506, 1)
            .taking(3000, 30000)
            .checking(saved_then_listed_again),
    };
    // Wherever the input ends, the program ends at once with status 0 and
    // has written nothing to the reader.
    for (const char* input : {"", "0\n", "0\n1\n", "0\n2\n", "0\n2\n1\n", "0\n2\n2\n", "0\n3\n",
                              "0\n4\n", "0\n5\n1\n", "0\n100\n", "9\n"})
        cases.push_back(C(std::string("endofinputafter") + input, "", on(SCENARIO, input))
                            .prints({})
                            .times(502, 0)
                            .times(505, 0)
                            .times(506, 0)
                            .taking(0, 2000));
    run_and_check(cases, 4);
}

} // namespace
