// SPDX-License-Identifier: GPL-2.0-or-later
// The interactive console in a real pseudo-terminal, driven the way an
// operator types: one answer after each prompt has appeared.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/pty_session.h"

namespace {

// The program on the scenario's readers in a 60 x 100 terminal, with its
// transcript.
struct Terminal : PtySession {
    Terminal() : PtySession(60, 100) {}

    bool start(const std::string& scenario) {
        write_file(dir + "/s.scn", scenario);
        std::vector<std::string> env =
            emulated_environment(dir + "/s.scn", dir + "/transcript.txt");
        std::erase_if(env, [](const std::string& e) { return e.rfind("TZ=", 0) == 0; });
        env.push_back("TZ=UTC");
        return PtySession::start({BRINLET_BIN}, env, {""});
    }

    std::string transcript() const { return read_file(dir + "/transcript.txt"); }

    std::string dir = temp_dir();
};

const char* SCENARIO = "device kbd 0x0202\n  serial RD2K0042\n  port 1-4\n  param DEBUG 0\n"
                       "device ser 0x0204\n  serial RD2S0007\n  port 1-5\n";

TEST(ConsolePty, OperatorChangesDebugModeAndLeaves) {
    Terminal t;
    ASSERT_TRUE(t.start(SCENARIO));

    ASSERT_TRUE(t.wait_for_text("0) USB reader v2/v3 (usb keyboard class), Ser.no.: RD2K0042\r\n"
                                "1) USB reader v2/v3 (usb serial class), Ser.no.: RD2S0007\r\n"));
    ASSERT_TRUE(t.wait_for_text("Enter number: "));
    t.type("0\r");
    ASSERT_TRUE(t.wait_for_text("Serial no.    : RD2K0042\r\n"));
    ASSERT_TRUE(t.wait_for_text("Debug mode    : no log\r\n"));
    ASSERT_TRUE(t.wait_for_text("100) exit without saving\r\n\r\nEnter number: "));
    t.type("4\r");
    ASSERT_TRUE(t.wait_for_text("Debug mode (0=no log, 1=warn only, 2=debug): "));
    t.type("2\r");
    ASSERT_TRUE(
        t.wait_for_text("Value OK, it will be set after config save\r\nPress ENTER to continue"));
    t.type("\r");
    // The screen is drawn again with the report read afresh: nothing was
    // written yet.
    ASSERT_TRUE(t.wait_for_text("Debug mode    : no log\r\n"));
    ASSERT_TRUE(t.wait_for_text("Enter number: "));
    t.type("99\r");
    const auto saved = std::chrono::steady_clock::now();
    ASSERT_TRUE(t.wait_for_text("Press ENTER to continue", 8000));
    EXPECT_GE(std::chrono::steady_clock::now() - saved, std::chrono::milliseconds(2900));
    t.type("\r");
    ASSERT_TRUE(t.wait_for_text("List of available readers:"));
    ASSERT_TRUE(t.wait_for_text("0) USB reader v2/v3 (usb keyboard class), Ser.no.: RD2K0042\r\n"));
    ASSERT_TRUE(t.wait_for_text("Enter number: "));
    t.type("99\r");
    EXPECT_EQ(t.finish(5000), 0);

    const std::string transcript = t.transcript();
    // "DEBUG=2" and its NUL, then the restart.
    const size_t set = transcript.find("fn=502 cap=255 in_len=8 result=0");
    ASSERT_NE(set, std::string::npos);
    EXPECT_NE(transcript.find("in=44454255473d3200", set), std::string::npos);
    EXPECT_NE(transcript.find("fn=506", set), std::string::npos);
    EXPECT_NE(transcript.find("event kbd", transcript.find("fn=506")), std::string::npos);
}

// Ctrl+C leaves the test mode for a fresh list; Ctrl+D at the start of a
// line is the end of input on the terminal and ends the program.
TEST(ConsolePty, CtrlCLeavesTestModeAndCtrlDEndsTheProgram) {
    Terminal t;
    ASSERT_TRUE(t.start(SCENARIO));
    ASSERT_TRUE(t.wait_for_text("Enter number: "));
    t.type("100\r");
    ASSERT_TRUE(t.wait_for_text("(CTRL+C to exit)"));
    t.type("\x03"); // the terminal turns Ctrl+C into SIGINT
    ASSERT_TRUE(t.wait_for_text("Press ENTER to continue", 8000));
    t.type("\r");
    ASSERT_TRUE(t.wait_for_text("List of available readers:"));
    ASSERT_TRUE(t.wait_for_text("1) USB reader v2/v3 (usb serial class), Ser.no.: RD2S0007\r\n"));
    ASSERT_TRUE(t.wait_for_text("Enter number: "));
    t.type("0\r");
    ASSERT_TRUE(t.wait_for_text("Enter number: "));
    t.type("5\r");
    ASSERT_TRUE(t.wait_for_text("Sound mode (0=sound disabled, 1=sound enabled): "));
    t.type("\x04");
    EXPECT_EQ(t.finish(3000), 0);
    EXPECT_EQ(t.transcript().find("fn=502"), std::string::npos);
}

} // namespace
