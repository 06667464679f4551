// SPDX-License-Identifier: GPL-2.0-or-later
// The scenario language: its error messages, devices that speak no
// protocol, runtime commands and the transcript format. The wire tests read
// back its byte values and fault statements.
#include <regex>
#include <string>

#include "host.h"

using namespace host;

namespace {

// A scenario starting with an indented line is one of device r.
struct ErrorCase {
    std::string name, scenario, error;
};

const ErrorCase ERROR_CASES[] = {
    {"UnknownStatement", "  frobnicate 1", "line 2: unknown statement 'frobnicate'"},
    {"OutsideADevice", "# comment\nserial X", "line 2: 'serial' outside a device block"},
    {"BadNumber", "  latency soon", "line 2: expected milliseconds at 'soon'"},
    {"NegativeSeconds", "  appear -1", "line 2: expected seconds at '-1'"},
    {"ProductOutOfRange", "device r 0x10000", "line 1: expected product ID at '0x10000'"},
    {"TwoDevicesOfOneName", "device r 0x0204\ndevice r 0x0204", "line 2: device 'r' defined twice"},
    {"BadDeviceName", "device r/1 0x0204",
     "line 1: device wants NAME [PRODUCT] (name of letters, digits, _ - .)"},
    {"NoProduct", "device a 0x0204\ndevice r\n  serial X", "line 2: device 'r' has no product"},
    {"AtUnknownDevice", "device r 0x0204\nat 1 unplug q", "line 2: at: no device 'q'"},
    {"AtUnknownCommand", "device r 0x0204\nat 1 explode r",
     "line 2: at: unknown command 'explode'"},
    {"UnterminatedQuote", "  serial \"abc", "line 2: unterminated quote"},
    {"BadEscape", "  lib_version \"\\q\"", "line 2: unknown escape \\q"},
    {"BadHexEscape", "  lib_version \"\\x4\"", "line 2: bad \\x escape"},
    {"OddHex", "  log_blob x:123", "line 2: odd number of hex digits in 'x:123'"},
    {"BadRepeat", "  log_blob rep:3", "line 2: rep: wants rep:COUNT:HEXBYTE"},
    {"MissingFile", "  log_blob file:/nonexistent/x",
     "line 2: cannot read /nonexistent/x: No such file or directory"},
    {"OnOff", "  pace maybe", "line 2: expected off|on, not 'maybe'"},
    {"UnknownFnItem", "  fn 504 explode", "line 2: unknown fn item 'explode'"},
    {"FaultStep", "  fn 504 short input", "line 2: expected ack|done|data, not 'input'"},
    {"EachWithoutAfter", "  card \"1\" each", "line 2: 'each' needs 'after'"},
    {"SequenceItem", "  status 1 soon", "line 2: bad sequence item 'soon'"},
    {"EmptySequence", "  status", "line 2: empty sequence"},
    {"TrailingWords", "  port 1-2 1-3", "line 2: unexpected '1-3'"},
    {"Option", "option colours on", "line 1: unknown option 'colours on'"},
};

PRINTS_NAME(ErrorCase)

class ScenarioError : public EmuTest<::testing::TestWithParam<ErrorCase>> {};

TEST_P(ScenarioError, NamesTheLineAndLeavesNoDevices) {
    const std::string& s = GetParam().scenario;
    EXPECT_EQ(emu::load_scenario("device ok 0x0204\n"), 0);
    EXPECT_EQ(emu::load_scenario((s[0] == ' ' ? "device r 0x0204\n" : "") + s + "\n"), -1);
    EXPECT_EQ(emu::last_error(), GetParam().error);
    EXPECT_FALSE(emu::present("ok"));
}

INSTANTIATE_TEST_SUITE_P(Load, ScenarioError, ::testing::ValuesIn(ERROR_CASES), CASE_NAME);

class Scenario : public EmuTest<> {};

TEST_F(Scenario, DevicesOfOtherVendorsAndPlainDevicesSpeakNoProtocol) {
    load("device m 0xC077\n  vendor 0x046D\ndevice p 0x0204\n  plain\n");
    for (const char* name : {"m", "p"}) {
        hid_device* h = open(name);
        EXPECT_EQ(send(h, request(562, 0, 0)), 65);
        EXPECT_TRUE(recv(h, 30).empty());
    }
}

TEST_F(Scenario, CommandsAtRuntimeAndAtTimes) {
    load("device r 0x0204\nat 0.05 with r status 7\nat 0.05 param r SOUND 5\n");
    EXPECT_EQ(emu::command("with r fn 2100 result -3"), 0);
    EXPECT_EQ(emu::command("param r DEBUG 4"), 0);
    EXPECT_EQ(emu::command("event r 1 \"9\" carddata x:41"), 0);
    EXPECT_EQ(emu::command("with r frobnicate"), -1);
    EXPECT_EQ(emu::last_error(), "unknown statement 'frobnicate'");
    EXPECT_EQ(emu::command("plug nobody"), -1);
    EXPECT_EQ(emu::last_error(), "no device 'nobody'");
    EXPECT_EQ(emu::pending_callbacks("r"), 1);
    hid_device* h = open("r");
    EXPECT_EQ(recv(h), header(T_CB_REQUEST, 2, 1));
    send(h, header(T_CB_ERROR));
    EXPECT_EQ(ctl(h, 2100).result, -3);
    EXPECT_EQ(emu::param("r", "DEBUG"), "4");
    sleep_ms(80);
    EXPECT_EQ(ctl(h, 2107).out, (Bytes{0, 0, 0, 7}));
    EXPECT_EQ(emu::param("r", "SOUND"), "5");
}

TEST_F(Scenario, TranscriptFormat) {
    load("device r 0x0204\n  port 1-4\n");
    ctl(open("r"), 504, text("SOUND"));
    emu::unplug("r");
    // Drop the times, the third word of each line, which vary.
    const std::string plain = std::regex_replace(
        emu::transcript_text(), std::regex("^(\\S+ \\S+) [0-9.]+ ", std::regex::multiline), "$1 ");
    auto rep = [](const char* dir, std::string hex) {
        hex.resize(128, '0');
        return std::string("report r ") + dir + " " + hex + "\n";
    };
    EXPECT_EQ(plain, "# brinlet-emu transcript 1\n"
                     "event r plug product=0x0204 interface=1 path=1-4:1.1 reason=start\n" +
                         rep("to_device", "8b010000000601f800000100") + rep("to_host", "8b02") +
                         rep("to_device", "06534f554e4400") +
                         rep("to_host", "8b040000000000000002") + rep("to_device", "8b05") +
                         rep("to_host", "023000") +
                         "exchange r fn=504 cap=256 in_len=6 result=0 out_len=2 outcome=fetched "
                         "in=534f554e4400 out=3000\n"
                         "event r unplug reason=command\n");
}

} // namespace
