// SPDX-License-Identifier: GPL-2.0-or-later
// What the emulated reader puts on the wire: the exchange, the callback
// transfer and every scripted fault, byte by byte, and what it makes of
// odd host reports.
#include <string>
#include <vector>

#include "host.h"

using namespace host;

namespace {

// One host step: write (expecting success or failure), read (expecting a
// report, a time-out, a failure or a cut report).
struct Op {
    enum Kind { Write, WriteFails, Read, Quiet, ReadFails, ReadCut } kind;
    Bytes bytes;
    size_t cut = 64;
};
Op w(const Bytes& b) {
    return {Op::Write, b};
}
Op r(const Bytes& b) {
    return {Op::Read, b};
}
const Op QUIET{Op::Quiet, {}}, FAILS{Op::ReadFails, {}};

const Bytes REQ = request(2100, 0, 256), FETCH = header(T_FETCH);
const Bytes OUT = report({4, 1, 2, 3, 4}); // FN_GET_FEATURES of `features 0x01020304`

struct WireCase {
    std::string name;
    std::string items; // of `fn 2100`; "" for the model alone
    std::vector<Op> ops;
    std::string outcome; // of the one recorded exchange; "" for none
};

const WireCase WIRE_CASES[] = {
    {"Model", "", {w(REQ), r(ack()), r(done(0, 4)), w(FETCH), r(OUT)}, "fetched"},
    {"ResultWithoutOutput", "result -7", {w(REQ), r(ack()), r(done(-7, 0)), QUIET}, "no_output"},
    {"ScriptedOutput",
     "out x:0a0b",
     {w(REQ), r(ack()), r(done(0, 2)), w(FETCH), r(report({2, 10, 11}))},
     "fetched"},
    {"HostRefusesTheOutput",
     "",
     {w(REQ), r(ack()), r(done(0, 4)), w(header(T_ERROR, -5)), QUIET},
     "refused"},
    {"NoAck", "noack 2", {w(REQ), QUIET, w(REQ), QUIET, w(REQ), r(ack()), r(done(0, 4))}, ""},
    {"RequestError", "reqerror 0", {w(REQ), r(header(T_ERROR, 0)), QUIET}, "request_error"},
    {"CallbackFirst",
     "cbfirst 1 7 x:09",
     {w(REQ), r(header(T_CB_REQUEST, 1, 7)), w(header(T_CB_ACK)), r(report({1, 9})),
      w(header(T_CB_DONE)), w(REQ), r(ack()), r(done(0, 4))},
     ""},
    {"AckType", "acktype 3", {w(REQ), r(header(3)), w(REQ), r(ack())}, ""},
    {"ShortAck", "short ack 5", {w(REQ), {Op::ReadCut, ack(), 5}, w(REQ), r(ack())}, ""},
    {"AckAsData", "dataheader ack", {w(REQ), r(report({0x0B, T_ACK})), w(REQ), r(ack())}, ""},
    {"AckReadFails", "hidfail ack", {w(REQ), FAILS, r(ack()), w(REQ), r(ack()), r(done(0, 4))}, ""},
    {"RequestWriteFails", "hidfail request", {{Op::WriteFails, REQ}, QUIET, w(REQ), r(ack())}, ""},
    {"DoneError", "doneerror -9", {w(REQ), r(ack()), r(header(T_ERROR, -9)), QUIET}, "done_error"},
    {"DoneType",
     "donetype 7",
     {w(REQ), r(ack()), r(report({0x8B, 7, 0, 0, 0, 0, 0, 0, 0, 4}))},
     "done_error"},
    {"DoneLenOver", "donelen over", {w(REQ), r(ack()), r(done(0, 257))}, ""},
    {"DoneLenNegative", "donelen -3", {w(REQ), r(ack()), r(done(0, -3))}, ""},
    {"DoneLenPadsWithZeros",
     "donelen 6",
     {w(REQ), r(ack()), r(done(0, 6)), w(FETCH), r(report({6, 1, 2, 3, 4, 0, 0}))},
     "fetched"},
    {"ShortDone", "short done 4", {w(REQ), r(ack()), {Op::ReadCut, done(0, 4), 4}}, ""},
    {"DoneAsData",
     "dataheader done",
     {w(REQ), r(ack()), r(report({0x0B, T_DONE, 0, 0, 0, 0, 0, 0, 0, 4}))},
     ""},
    {"ShortData",
     "short data 3",
     {w(REQ), r(ack()), r(done(0, 4)), w(FETCH), {Op::ReadCut, OUT, 3}},
     "fetched"},
    {"OutputReadFails",
     "hidfail output",
     {w(REQ), r(ack()), r(done(0, 4)), w(FETCH), FAILS, r(OUT)},
     "fetched"},
    {"Silent", "silent", {w(REQ), r(ack()), QUIET}, "no_done"},
    {"UnplugOnRequest", "unplug request", {w(REQ), FAILS}, ""},
    {"UnplugInPlaceOfDone", "unplug done", {w(REQ), r(ack()), FAILS}, "unplugged"},
    {"UnplugAfterFirstOutputPacket",
     "unplug output",
     {w(REQ), r(ack()), r(done(0, 4)), w(FETCH), r(OUT), FAILS},
     "fetched"},
};

void PrintTo(const WireCase& c, std::ostream* os) {
    *os << c.name;
}

class Wire : public EmuTest<::testing::TestWithParam<WireCase>> {};

TEST_P(Wire, ReportsOnTheWire) {
    const WireCase& c = GetParam();
    load("device r 0x0204\n  features 0x01020304\n" +
         (c.items.empty() ? "" : "  fn 2100 " + c.items + "\n"));
    hid_device* h = open("r");
    ASSERT_NE(h, nullptr);
    for (size_t i = 0; i < c.ops.size(); ++i) {
        const Op& op = c.ops[i];
        SCOPED_TRACE("step " + std::to_string(i));
        int rc = 0;
        switch (op.kind) {
        case Op::Write:
        case Op::WriteFails:
            EXPECT_EQ(send(h, op.bytes), op.kind == Op::Write ? 65 : -1);
            break;
        case Op::Read:
            EXPECT_EQ(recv(h), op.bytes);
            break;
        case Op::ReadCut:
            EXPECT_EQ(recv(h), Bytes(op.bytes.begin(), op.bytes.begin() + op.cut));
            break;
        case Op::Quiet:
        case Op::ReadFails:
            recv(h, 50, &rc);
            EXPECT_EQ(rc, op.kind == Op::Quiet ? 0 : -1);
            break;
        }
    }
    const auto x = emu::exchanges("r");
    if (c.outcome.empty()) return;
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Fn, Wire, ::testing::ValuesIn(WIRE_CASES), CaseName());

class Transfer : public EmuTest<> {};

TEST_F(Transfer, InputAndOutputTravelIn63BytePackets) {
    load("device r 0x0204\n");
    hid_device* h = open("r");
    Bytes file(100);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>('a' + i % 26);
    send(h, request(502, 100, 0));
    EXPECT_EQ(recv(h), ack());
    send_data(h, file);
    EXPECT_EQ(recv(h), done(0, 0));
    send(h, request(503, 0, 1000));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 100));
    send(h, header(T_FETCH));
    Bytes first = recv(h), second = recv(h);
    EXPECT_EQ(first[0], 63);
    EXPECT_EQ(Bytes(first.begin() + 1, first.end()), Bytes(file.begin(), file.begin() + 63));
    EXPECT_EQ(second[0], 37);
    EXPECT_EQ(Bytes(second.begin() + 1, second.begin() + 38), Bytes(file.begin() + 63, file.end()));
    EXPECT_EQ(emu::config_file("r"), file);
}

TEST_F(Transfer, CallbackTransfer) {
    load("device r 0x0204\n");
    hid_device* h = open("r");
    emu::send_event("r", 1, "1234");
    EXPECT_EQ(recv(h), header(T_CB_REQUEST, 5, 1));
    send(h, header(T_CB_ACK));
    EXPECT_EQ(recv(h), report({5, '1', '2', '3', '4', 0}));
    send(h, header(T_CB_DONE, 3));
    emu::send_event("r", 4, Bytes{});
    EXPECT_EQ(recv(h), header(T_CB_REQUEST, 0, 4));
    send(h, header(T_CB_ERROR, -1));
    const auto cb = emu::callbacks("r");
    ASSERT_EQ(cb.size(), 2u);
    EXPECT_EQ(cb[0].outcome, "done");
    EXPECT_EQ(cb[0].host_value, 3);
    EXPECT_EQ(cb[1].outcome, "refused");
}

// Odd host reports: the reader notes them and goes on.
struct OddCase {
    std::string name;
    Bytes bytes;
    std::string note;
};

const OddCase ODD_CASES[] = {
    {"FetchWhenIdle", header(T_FETCH), "CTL_FETCH ignored in state idle"},
    {"UnknownType", header(77), "unknown header type 77 ignored in state idle"},
    {"ShortHeader", report({0x85, 1, 0, 0, 0, 0}), "header packet of 5 bytes ignored"},
    {"DataWhenIdle", report({3, 1, 2, 3}), "data packet of 3 bytes ignored in state idle"},
    {"NegativeInputLength", request(504, -1, 0),
     "CTL_REQUEST for 504 with input length -1 refused"},
    {"CbDoneWhenIdle", header(T_CB_DONE), "CB_DONE ignored in state idle"},
    {"HostErrorWhenIdle", header(T_ERROR, -5), "host CTL_ERROR -5 ignored in state idle"},
};

void PrintTo(const OddCase& c, std::ostream* os) {
    *os << c.name;
}

class Odd : public EmuTest<::testing::TestWithParam<OddCase>> {};

TEST_P(Odd, IsNotedAndTheReaderGoesOn) {
    load("device r 0x0204\n");
    hid_device* h = open("r");
    EXPECT_EQ(send(h, GetParam().bytes), 65);
    recv(h, 20);
    const auto n = emu::notes("r");
    EXPECT_NE(std::find(n.begin(), n.end(), GetParam().note), n.end()) << n.back();
    EXPECT_EQ(ctl(h, 2100).out, (Bytes{0, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Report, Odd, ::testing::ValuesIn(ODD_CASES), CaseName());

} // namespace
