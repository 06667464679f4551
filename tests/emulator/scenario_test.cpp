// SPDX-License-Identifier: GPL-2.0-or-later
// The scenario language: its error messages, its byte values, texts with
// escape bytes in every reader text, the bus situations tests build with
// it, runtime commands and the transcript format.
#include <cstdio>
#include <fstream>
#include <string>

#include "host.h"

using namespace host;

namespace {

struct ErrorCase {
    std::string name, scenario, error;
};

const ErrorCase ERROR_CASES[] = {
    {"UnknownStatement", "device r 0x0204\n  frobnicate 1\n",
     "line 2: unknown statement 'frobnicate'"},
    {"OutsideADevice", "# comment\nserial X\n", "line 2: 'serial' outside a device block"},
    {"BadNumber", "device r 0x0204\n  latency soon\n", "line 2: expected milliseconds at 'soon'"},
    {"NegativeSeconds", "device r 0x0204\n  appear -1\n", "line 2: expected seconds at '-1'"},
    {"ProductOutOfRange", "device r 0x10000\n", "line 1: expected product ID at '0x10000'"},
    {"TwoDevicesOfOneName", "device r 0x0204\ndevice r 0x0204\n",
     "line 2: device 'r' defined twice"},
    {"BadDeviceName", "device r/1 0x0204\n",
     "line 1: device wants NAME [PRODUCT] (name of letters, digits, _ - .)"},
    {"NoProduct", "device a 0x0204\ndevice r\n  serial X\n", "line 2: device 'r' has no product"},
    {"AtUnknownDevice", "device r 0x0204\nat 1 unplug q\n", "line 2: at: no device 'q'"},
    {"AtUnknownCommand", "device r 0x0204\nat 1 explode r\n",
     "line 2: at: unknown command 'explode'"},
    {"UnterminatedQuote", "device r 0x0204\n  serial \"abc\n", "line 2: unterminated quote"},
    {"BadEscape", "device r 0x0204\n  lib_version \"\\q\"\n", "line 2: unknown escape \\q"},
    {"BadHexEscape", "device r 0x0204\n  lib_version \"\\x4\"\n", "line 2: bad \\x escape"},
    {"OddHex", "device r 0x0204\n  log_blob x:123\n",
     "line 2: odd number of hex digits in 'x:123'"},
    {"BadRepeat", "device r 0x0204\n  log_blob rep:3\n", "line 2: rep: wants rep:COUNT:HEXBYTE"},
    {"MissingFile", "device r 0x0204\n  log_blob file:/nonexistent/x\n",
     "line 2: cannot read /nonexistent/x: No such file or directory"},
    {"OnOff", "device r 0x0204\n  pace maybe\n", "line 2: expected off|on, not 'maybe'"},
    {"UnknownFnItem", "device r 0x0204\n  fn 504 explode\n", "line 2: unknown fn item 'explode'"},
    {"FaultStep", "device r 0x0204\n  fn 504 short input\n",
     "line 2: expected ack|done|data, not 'input'"},
    {"EachWithoutAfter", "device r 0x0204\n  card \"1\" each\n", "line 2: 'each' needs 'after'"},
    {"SequenceItem", "device r 0x0204\n  status 1 soon\n", "line 2: bad sequence item 'soon'"},
    {"EmptySequence", "device r 0x0204\n  status\n", "line 2: empty sequence"},
    {"TrailingWords", "device r 0x0204\n  port 1-2 1-3\n", "line 2: unexpected '1-3'"},
    {"Option", "option colours on\n", "line 1: unknown option 'colours on'"},
    {"RemovedStatement", "device r 0x0204\n  follow_usbmode off\n",
     "line 2: unknown statement 'follow_usbmode'"},
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class ScenarioError : public EmuTest<::testing::TestWithParam<ErrorCase>> {};

TEST_P(ScenarioError, NamesTheLineAndLeavesNoDevices) {
    EXPECT_EQ(emu::load_scenario("device ok 0x0204\n"), 0);
    EXPECT_EQ(emu::load_scenario(GetParam().scenario), -1);
    EXPECT_EQ(emu::last_error(), GetParam().error);
    EXPECT_FALSE(emu::present("ok"));
}

INSTANTIATE_TEST_SUITE_P(Load, ScenarioError, ::testing::ValuesIn(ERROR_CASES), CaseName());

// A byte value, and a reader text carrying escape bytes, read back through
// the function that returns it.
struct ValueCase {
    std::string name, statement;
    uint16_t fn;
    Bytes in, out; // out: the function's whole output, or the record's bytes 11...
};

const Bytes ESC = {0x1b, ']', '0', ';', 'X', 0x07};
Bytes with_nul(Bytes b) {
    b.push_back(0);
    return b;
}

const ValueCase VALUE_CASES[] = {
    {"Quoted",
     "fn 2100 out \"a\\tb\\\\\\\"\\n\\0\"",
     2100,
     {},
     {'a', '\t', 'b', '\\', '"', '\n', 0, 0}},
    {"Raw", "fn 2100 out r\"ab\"", 2100, {}, {'a', 'b'}},
    {"Hex", "fn 2100 out x:01.02,03_04-05", 2100, {}, {1, 2, 3, 4, 5}},
    {"Repeat", "fn 2100 out rep:3:41", 2100, {}, {0x41, 0x41, 0x41}},
    {"Word", "fn 2100 out ok", 2100, {}, {'o', 'k', 0}},
    {"ParamValue", "param SOUND r\"\\x1b]0;X\\x07\"", 504, text("SOUND"), ESC},
    {"LibVersion", "lib_version \"\\x1b]0;X\\x07\"", 2000, {}, with_nul(ESC)},
    {"StatusMessage", "status_message r\"\\x1b]0;X\\x07\"", 13, {}, ESC},
    {"ModuleDescription", "module_desc r\"\\x1b]0;X\\x07\"", 2104, {0}, ESC},
    {"ModuleRecordSerial", "module_record serial \"\\x1b]0;X\\x07\"", 2106, {0}, with_nul(ESC)},
    {"ModuleRecordPart", "module_record part r\"\\x1b]0;X\\x07\" serial x", 2106, {0}, {'x', 0}},
};

void PrintTo(const ValueCase& c, std::ostream* os) {
    *os << c.name;
}

class Value : public EmuTest<::testing::TestWithParam<ValueCase>> {};

TEST_P(Value, ReachesTheHostUnchanged) {
    const ValueCase& c = GetParam();
    load("device r 0x0204\n  " + c.statement + "\n");
    hid_device* h = open("r");
    Ctl x = ctl(h, c.fn, c.in);
    ASSERT_TRUE(x.ok);
    EXPECT_EQ(x.result, 0);
    Bytes got = x.out;
    if (c.fn == 2106) got = Bytes(x.out.begin() + 11, x.out.begin() + 11 + c.out.size());
    EXPECT_EQ(got, c.out);
}

INSTANTIATE_TEST_SUITE_P(Form, Value, ::testing::ValuesIn(VALUE_CASES), CaseName());

class Scenario : public EmuTest<> {};

TEST_F(Scenario, EscapeBytesInTheCardAndTheUsbSerial) {
    load("device r 0x0204\n  serial r\"\\x1b]0;X\\x07\"\n"
         "  card r\"\\x1b1\" carddata r\"\\x1b]2;Y\\x07\" after 562\n");
    hid_device_info* list = hid_enumerate(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::wstring(list->serial_number), (std::wstring{0x1b, ']', '0', ';', 'X', 0x07}));
    hid_free_enumeration(list);
    hid_device* h = open("r");
    ctl(h, 562);
    EXPECT_EQ(recv(h), header(T_CB_REQUEST, 2, 1));
    send(h, header(T_CB_ACK));
    EXPECT_EQ(recv(h), report({2, 0x1b, '1'}));
    send(h, header(T_CB_DONE));
    const Ctl q = ctl(h, 600);
    EXPECT_EQ(ctl(h, 601, q.out).out, (Bytes{0x1b, ']', '2', ';', 'Y', 0x07}));
}

TEST_F(Scenario, ByteValueFromAFile) {
    const std::string path = testing::TempDir() + "emu_value.bin";
    std::ofstream(path, std::ios::binary) << std::string("\x00\x01\xff", 3);
    load("device r 0x0204\n  fn 2100 out file:" + path + "\n");
    EXPECT_EQ(ctl(open("r"), 2100).out, (Bytes{0, 1, 0xff}));
    std::remove(path.c_str());
}

TEST_F(Scenario, ReadersOfOneSerialOrOfAnEmptySerialOnTwoPorts) {
    load(
        "device a 0x0204\n  serial S1\ndevice b 0x0204\n  serial S1\n"
        "device c 0x0202\n  serial \"\"\n  port 2-1\ndevice d 0x0202\n  serial \"\"\n  port 2-2\n");
    std::vector<std::pair<std::string, std::wstring>> seen;
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* i = list; i != nullptr; i = i->next)
        seen.emplace_back(i->path, i->serial_number ? i->serial_number : L"(null)");
    hid_free_enumeration(list);
    EXPECT_EQ(seen,
              (std::vector<std::pair<std::string, std::wstring>>{
                  {"1-1:1.1", L"S1"}, {"1-2:1.1", L"S1"}, {"2-1:1.1", L""}, {"2-2:1.1", L""}}));
    EXPECT_EQ(ctl(open("b"), 2100).result, 0);
}

TEST_F(Scenario, RestartsComeBackOnTheSamePortWithAnotherInterface) {
    load("device r 0x0202\n  port 1-4\n  service_delay 0.05\n  reset_delay 0.05\n  reset_to 0x0204 "
         "interface 2\n");
    EXPECT_EQ(ctl(open("r"), 511).result, 0);
    sleep_ms(150);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_EQ(emu::path("r"), "1-4:1.0");
    EXPECT_EQ(emu::product("r"), 0x0200);
    EXPECT_EQ(ctl(open("r"), 506).result, 0);
    sleep_ms(150);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_EQ(emu::path("r"), "1-4:1.2");
    EXPECT_EQ(emu::product("r"), 0x0204);
    EXPECT_EQ(emu::restarts("r"), 2);
}

TEST_F(Scenario, LeaveDelayKeepsTheReaderAnsweringAfterReset) {
    load("device r 0x0204\n  leave_delay 1300\n  reset_delay 0.1\n");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 506).result, 0);
    sleep_ms(1000);
    EXPECT_EQ(ctl(h, 2100).result, 0);
    EXPECT_TRUE(emu::present("r"));
    sleep_ms(400);
    int rc = 0;
    recv(h, 10, &rc);
    EXPECT_EQ(rc, -1);
}

TEST_F(Scenario, ScriptedFirmwareUpdateStoresTheImageAndReturnsOutput) {
    load("device r 0x0200\n  fn 510 model out x:0102\n  fn 504 reqerror 0\n");
    hid_device* h = open("r");
    const Ctl c = ctl(h, 510, Bytes{9, 8, 7});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out, (Bytes{1, 2}));
    EXPECT_EQ(emu::firmware("r", 510), (Bytes{9, 8, 7}));
    send(h, request(504, 0, 256));
    EXPECT_EQ(recv(h), header(T_ERROR, 0));
}

TEST_F(Scenario, CardCallbacksHaveTheirCodes) {
    load("device r 0x0204\n  card \"77\" after 562\n  card_error after 562\n"
         "  card_refused after 562\n  card_removed after 562\n");
    hid_device* h = open("r");
    ctl(h, 562);
    for (uint16_t code : {1, 2, 3, 4}) {
        EXPECT_EQ(recv(h), header(T_CB_REQUEST, code == 1 ? 3 : 0, code));
        send(h, header(T_CB_ACK));
        if (code == 1) recv(h);
        send(h, header(T_CB_DONE));
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
    recv(h);
    send(h, header(T_CB_ERROR));
    EXPECT_EQ(ctl(h, 2100).result, -3);
    EXPECT_EQ(emu::param("r", "DEBUG"), "4");
    sleep_ms(80);
    EXPECT_EQ(ctl(h, 2107).out, (Bytes{0, 0, 0, 7}));
    EXPECT_EQ(emu::param("r", "SOUND"), "5");
}

TEST_F(Scenario, TranscriptFormat) {
    load("device r 0x0204\n  port 1-4\n");
    hid_device* h = open("r");
    ctl(h, 504, text("SOUND"));
    emu::unplug("r");
    std::string t = emu::transcript_text();
    // Times vary: drop them.
    std::string plain;
    for (size_t pos = 0; pos < t.size();) {
        size_t nl = t.find('\n', pos);
        std::string line = t.substr(pos, nl - pos);
        pos = nl + 1;
        const size_t a = line.find(' ', line.find(' ') + 1), b = line.find(' ', a + 1);
        plain += (line[0] == '#' ? line : line.substr(0, a) + line.substr(b)) + "\n";
    }
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

TEST_F(Scenario, DevicesOfOtherVendorsSpeakNoProtocol) {
    load("device m 0xC077\n  vendor 0x046D\ndevice p 0x0204\n  plain\n");
    for (const char* name : {"m", "p"}) {
        hid_device* h = open(name);
        EXPECT_EQ(send(h, request(562, 0, 0)), 65);
        EXPECT_TRUE(recv(h, 30).empty());
    }
}

} // namespace
