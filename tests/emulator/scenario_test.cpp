// SPDX-License-Identifier: GPL-2.0-or-later
// The scenario language: what the emulated reader puts on the wire, byte by
// byte, for its fault statements, byte values and card statements and for
// odd host reports; its error messages, runtime commands and the transcript
// format.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host.h"

using namespace host;

namespace {

// One host step: write (expecting success or failure), read (expecting a
// report, a time-out, a failure or the first `cut` bytes of a report).
struct Op {
    enum Kind { Write, WriteFails, Read, Quiet, ReadFails } kind;
    Bytes bytes;
    size_t cut = 64;
};
const auto w = [](const Bytes& b) -> Op { return {Op::Write, b}; };
const auto r = [](const Bytes& b, size_t cut = 64) -> Op { return {Op::Read, b, cut}; };
const auto D = [](int32_t result, int32_t len) { return r(done(result, len)); };
const auto cb = [](int32_t len, uint16_t code) { return r(header(T_CB_REQUEST, len, code)); };
// Report b with byte i set to v.
Bytes set(Bytes b, size_t i, uint8_t v) {
    b[i] = v;
    return b;
}
// The request and fetch of `fn 2100` (FN_GET_FEATURES of `features
// 0x01020304`), its CTL_ACK and output, a quiet line and a failing read.
const Op W = w(request(2100, 0, 256)), F = w(header(T_FETCH)), A = r(ack()),
         O = r(report({4, 1, 2, 3, 4})), Q{Op::Quiet, {}}, X{Op::ReadFails, {}};

struct WireCase {
    std::string name;
    std::string items; // of `fn 2100`
    std::vector<Op> ops;
    std::string outcome = ""; // of each recorded exchange; "" for none
    std::string note = "";    // the reader's note of an odd host report
};

const std::string VALUE_FILE = testing::TempDir() + "emu_value.bin";

// An exchange whose output, `out VALUE`, is the given bytes.
WireCase out(const char* name, const std::string& value, const Bytes& b) {
    Bytes data{static_cast<uint8_t>(b.size())};
    data.insert(data.end(), b.begin(), b.end());
    return {name, "out " + value, {W, A, D(0, data[0]), F, r(report(data))}, "fetched"};
}

// An odd report from the host when the reader is idle, the answer, then a
// request.
WireCase odd(const char* name, const Bytes& b, std::string note, const Op& answer = Q) {
    return {name, "model", {w(b), answer, W, A}, "", note};
}

const WireCase WIRE_CASES[] = {
    {"Model", "model", {W, A, D(0, 4), F, O}, "fetched"},
    {"ResultWithoutOutput", "result -7", {W, A, D(-7, 0), Q}, "no_output"},
    {"HostRefusesOutput", "model", {W, A, D(0, 4), w(header(T_ERROR, -5)), Q}, "refused"},
    {"NoAck", "noack 2", {W, Q, W, Q, W, A, D(0, 4)}},
    {"RequestError", "reqerror 0", {W, r(header(T_ERROR, 0)), Q}, "request_error"},
    {"CallbackFirst",
     "cbfirst 1 7 x:09",
     {W, cb(1, 7), w(header(T_CB_ACK)), r(report({1, 9})), w(header(T_CB_DONE)), W, A}},
    {"AckType", "acktype 3", {W, r(header(3)), W, A}},
    {"ShortAck", "short ack 5", {W, r(ack(), 5), W, A}},
    {"AckAsData", "dataheader ack", {W, r(set(ack(), 0, 0x0B)), W, A}},
    {"AckReadFails", "hidfail ack", {W, X, A, W, A, D(0, 4)}},
    {"RequestWriteFails", "hidfail request", {{Op::WriteFails, W.bytes}, Q, W, A}},
    {"DoneError", "doneerror -9", {W, A, r(header(T_ERROR, -9)), Q}, "done_error"},
    {"DoneType", "donetype 7", {W, A, r(set(done(0, 4), 1, 7))}, "done_error"},
    {"DoneLenOver", "donelen over", {W, A, D(0, 257)}},
    {"DoneLenNegative", "donelen -3", {W, A, D(0, -3)}},
    {"DoneLenPads", "donelen 6", {W, A, D(0, 6), F, r(report({6, 1, 2, 3, 4}))}, "fetched"},
    {"ShortDone", "short done 4", {W, A, r(done(0, 4), 4)}},
    {"DoneAsData", "dataheader done", {W, A, r(set(done(0, 4), 0, 0x0B))}},
    {"ShortData", "short data 3", {W, A, D(0, 4), F, r(O.bytes, 3)}, "fetched"},
    {"OutputReadFails", "hidfail output", {W, A, D(0, 4), F, X, O}, "fetched"},
    {"Silent", "silent", {W, A, Q}, "no_done"},
    {"UnplugOnRequest", "unplug request", {W, X}},
    {"UnplugInPlaceOfDone", "unplug done", {W, A, X}, "unplugged"},
    {"UnplugAfterFirstOutputPacket", "unplug output", {W, A, D(0, 4), F, O, X}, "fetched"},
    // The forms of a byte value, as output.
    out("OutQuoted", "\"a\\tb\\\\\\\"\\n\\0\"", {'a', '\t', 'b', '\\', '"', '\n', 0, 0}),
    out("OutRaw", "r\"ab\"", {'a', 'b'}),
    out("OutHex", "x:01.02,03_04-05", {1, 2, 3, 4, 5}),
    out("OutRepeat", "rep:3:41", {0x41, 0x41, 0x41}),
    out("OutWord", "ok", {'o', 'k', 0}),
    out("OutFile", "file:" + VALUE_FILE, {0, 1, 0xff}),
    // Card statements: a callback after the exchange, with the card's number.
    {"Card",
     "model\n  card \"77\" after 2100",
     {W, A, D(0, 4), F, O, cb(3, 1), w(header(T_CB_ACK)), r(report({3, '7', '7', 0}))},
     "fetched"},
    {"CardError", "model\n  card_error after 2100", {W, A, D(0, 4), F, O, cb(0, 2)}, "fetched"},
    {"CardRefused", "model\n  card_refused after 2100", {W, A, D(0, 4), F, O, cb(0, 3)}, "fetched"},
    {"CardRemoved", "model\n  card_removed after 2100", {W, A, D(0, 4), F, O, cb(0, 4)}, "fetched"},
    // Devices of other vendors and plain ones speak no protocol.
    {"OtherVendor", "model\n  vendor 0x046D", {W, Q}},
    {"Plain", "model\n  plain", {W, Q}},
    // Odd host reports: the reader notes them and goes on.
    odd("FetchWhenIdle", header(T_FETCH), "CTL_FETCH ignored in state idle"),
    odd("UnknownType", header(77), "unknown header type 77 ignored in state idle"),
    odd("ShortHeader", report({0x85, 1}), "header packet of 5 bytes ignored"),
    odd("DataWhenIdle", report({3, 1, 2, 3}), "data packet of 3 bytes ignored in state idle"),
    odd("NegativeInputLength", request(504, -1, 0),
        "CTL_REQUEST for 504 with input length -1 refused", r(header(T_ERROR, -22))),
    odd("CbDoneWhenIdle", header(T_CB_DONE), "CB_DONE ignored in state idle"),
    odd("HostErrorWhenIdle", header(T_ERROR, -5), "host CTL_ERROR -5 ignored in state idle"),
};

class Wire : public EmuTest<::testing::TestWithParam<WireCase>> {};

TEST_P(Wire, ReportsOnTheWire) {
    const WireCase& c = GetParam();
    std::ofstream(VALUE_FILE, std::ios::binary) << std::string("\x00\x01\xff", 3);
    load("device r 0x0204\n  features 0x01020304\n  fn 2100 " + c.items + "\n");
    hid_device* h = open("r");
    ASSERT_NE(h, nullptr);
    for (size_t i = 0; i < c.ops.size(); ++i) {
        const Op& op = c.ops[i];
        SCOPED_TRACE("step " + std::to_string(i));
        int rc = 0;
        if (op.kind == Op::Write || op.kind == Op::WriteFails)
            EXPECT_EQ(send(h, op.bytes), op.kind == Op::Write ? 65 : -1);
        else if (op.kind == Op::Read)
            EXPECT_EQ(recv(h), Bytes(op.bytes.begin(),
                                     op.bytes.begin() + static_cast<std::ptrdiff_t>(op.cut)));
        else
            EXPECT_EQ((recv(h, 50, &rc), rc), op.kind == Op::Quiet ? 0 : -1);
    }
    const auto n = emu::notes("r");
    const auto x = emu::exchanges("r");
    EXPECT_TRUE(c.note.empty() || std::count(n.begin(), n.end(), c.note) == 1) << c.note;
    std::string outcomes;
    for (const emu::Exchange& e : x)
        outcomes += (outcomes.empty() ? "" : " ") + e.outcome;
    EXPECT_EQ(outcomes, c.outcome);
}

TABLE_TEST(Reader, Wire, WIRE_CASES);

// A scenario starting with an indented line is one of device r; one
// starting with '!' is a runtime command, which leaves the devices as they
// are.
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
    {"AtWordsSplitByCarriageReturns", "device r 0x0204\nat 1.\r\rplug\rq\r",
     "line 2: at: no device 'q'"},
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
    {"CommandStatement", "!with ok frobnicate", "unknown statement 'frobnicate'"},
    {"CommandDevice", "!plug nobody", "no device 'nobody'"},
};

class ScenarioError : public EmuTest<::testing::TestWithParam<ErrorCase>> {};

TEST_P(ScenarioError, IsRefusedWithItsReason) {
    const std::string& s = GetParam().scenario;
    EXPECT_EQ(emu::load_scenario("device ok 0x0204\n"), 0);
    EXPECT_EQ(s[0] == '!' ? emu::command(s.substr(1))
                          : emu::load_scenario((s[0] == ' ' ? "device r 0x0204\n" : "") + s + "\n"),
              -1);
    EXPECT_EQ(emu::last_error(), GetParam().error);
    EXPECT_EQ(emu::present("ok"), s[0] == '!');
}

TABLE_TEST(Load, ScenarioError, ERROR_CASES);

class Scenario : public EmuTest<> {};

TEST_F(Scenario, CommandsAtRuntimeAndAtTimes) {
    load("device r 0x0204\nat 0.05 with r status 7\nat 0.05 param r SOUND 5\n");
    EXPECT_EQ(emu::command("with r fn 2100 result -3"), 0);
    EXPECT_EQ(emu::command("event r 1 \"9\" carddata x:41"), 0);
    EXPECT_EQ(emu::pending_callbacks("r"), 1);
    hid_device* h = open("r");
    EXPECT_EQ(recv(h), header(T_CB_REQUEST, 2, 1));
    send(h, header(T_CB_ERROR));
    EXPECT_EQ(ctl(h, 2100).result, -3);
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(ctl(h, 2107).out, (Bytes{0, 0, 0, 7}));
    EXPECT_EQ(emu::param("r", "SOUND"), "5");
}

TEST_F(Scenario, TranscriptFormat) {
    load("device r 0x0204\n  port 1-4\n");
    ctl(open("r"), 504, text("SOUND"));
    emu::unplug("r");
    // Drop the times, the third word of each line, which vary.
    std::string plain;
    std::istringstream lines(emu::transcript_text());
    for (std::string line; std::getline(lines, line); plain += line + "\n") {
        const size_t b = line.find(' ', line.find(' ') + 1), c = line.find(' ', b + 1);
        if (c != std::string::npos && c > b + 1 &&
            line.find_first_not_of("0123456789.", b + 1) == c)
            line.erase(b, c - b);
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

} // namespace
