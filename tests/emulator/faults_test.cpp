// Scripted answers and injected faults, per function and per device.
#include "host.h"

using namespace host;

class Faults : public EmuTest {
  protected:
    // One reader with the given statements.
    void reader(const std::string& statements) {
        load("device r 0x0204\n" + statements + "\n");
        h = open("r");
        ASSERT_NE(h, nullptr);
    }
    bool noted(const std::string& s) {
        auto n = emu::notes("r");
        return std::find(n.begin(), n.end(), s) != n.end();
    }
    hid_device* h = nullptr;
};

TEST_F(Faults, ScriptedResultAndOutput) {
    reader("fn 600 result 3 out x:0a0b");
    Ctl c = ctl(h, 600, {}, 2);
    EXPECT_EQ(c.result, 3);
    EXPECT_EQ(c.out, (Bytes{0x0A, 0x0B}));
}

TEST_F(Faults, SequenceServesTimesThenTheLastRepeats) {
    reader("fn 504 result -2 times 2\nfn 504 out \"X\"");
    EXPECT_EQ(ctl(h, 504, text("A")).result, -2);
    EXPECT_EQ(ctl(h, 504, text("A")).result, -2);
    for (int i = 0; i < 3; ++i) {
        Ctl c = ctl(h, 504, text("A"));
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(c.out, text("X"));
    }
}

TEST_F(Faults, SequenceFallsBackToTheModel) {
    reader("fn 504 out \"4.0.0\"\nfn 504 model");
    EXPECT_EQ(ctl(h, 504, text("FWVERSION")).out, text("4.0.0"));
    EXPECT_EQ(ctl(h, 504, text("FWVERSION")).out, text("2.14.0"));
    EXPECT_EQ(ctl(h, 504, text("FWVERSION")).out, text("2.14.0"));
}

TEST_F(Faults, ResultOverridesTheModelButKeepsItsSideEffects) {
    reader("fn 502 model result 9");
    EXPECT_EQ(ctl(h, 502, text("SOUND=1"), 255).result, 9);
    EXPECT_EQ(emu::param("r", "SOUND"), "1");
}

TEST_F(Faults, NoAckLeavesFiveRequestsUnanswered) {
    reader("fn 2107 noack\nfn 2107 model");
    for (int i = 0; i < 5; ++i) {
        send(h, request(2107, 0, 4));
        EXPECT_TRUE(recv(h, 15).empty()) << "attempt " << i + 1;
    }
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 4));
    send(h, header(T_FETCH));
    EXPECT_EQ(recv(h), report({4, 0, 0, 0, 1}));
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 1}));
}

TEST_F(Faults, NoAckAll) {
    reader("fn 13 noack all");
    for (int i = 0; i < 12; ++i) {
        send(h, request(13, 0, 256));
        EXPECT_TRUE(recv(h, 3).empty());
    }
    EXPECT_TRUE(emu::exchanges("r").empty());
}

TEST_F(Faults, RequestAnsweredWithCtlError) {
    reader("fn 2107 reqerror 7");
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), report({0x8B, 9, 0, 0, 0, 7}));
    EXPECT_TRUE(recv(h, 20).empty());
    auto x = emu::exchanges("r");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].outcome, "request_error");
    EXPECT_EQ(x[0].result, 7);
}

TEST_F(Faults, CallbackInPlaceOfTheAcknowledgement) {
    reader("fn 2107 cbfirst 2 1 \"77\"");
    for (int i = 0; i < 2; ++i) {
        send(h, request(2107, 0, 4));
        EXPECT_EQ(recv(h), report({0x8B, 21, 0, 0, 0, 3, 0, 1}));
        send(h, header(T_CB_ACK));
        EXPECT_EQ(recv(h), report({3, '7', '7', 0}));
        send(h, header(T_CB_DONE));
    }
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), ack());
    auto c = emu::callbacks("r");
    ASSERT_EQ(c.size(), 2u);
    EXPECT_TRUE(c[0].in_place_of_ack);
    EXPECT_EQ(c[1].outcome, "done");
}

TEST_F(Faults, WrongTypeInPlaceOfTheAck) {
    reader("fn 562 acktype 4");
    send(h, request(562, 0, 0));
    EXPECT_EQ(recv(h), report({0x8B, 4}));
    EXPECT_TRUE(recv(h, 20).empty());
    EXPECT_EQ(ctl(h, 562).result, 0); // the host asks again: a clean answer
}

TEST_F(Faults, ShortAck) {
    reader("fn 562 short ack 5");
    send(h, request(562, 0, 0));
    int rc;
    Bytes r = recv(h, 500, &rc);
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(r, (Bytes{0x8B, 2, 0, 0, 0}));
    EXPECT_EQ(ctl(h, 562).result, 0);
}

TEST_F(Faults, AckAsADataPacket) {
    reader("fn 562 dataheader ack");
    send(h, request(562, 0, 0));
    EXPECT_EQ(recv(h), report({0x0B, 2}));
}

TEST_F(Faults, ReadOfTheAckFails) {
    reader("fn 562 hidfail ack");
    send(h, request(562, 0, 0));
    int rc;
    recv(h, 100, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(recv(h), ack()); // still queued
}

TEST_F(Faults, WriteOfTheRequestFails) {
    reader("fn 562 hidfail request");
    EXPECT_EQ(send(h, request(562, 0, 0)), -1);
    EXPECT_TRUE(recv(h, 20).empty());
    EXPECT_EQ(emu::reports("r").at(0).flag, "failed");
    EXPECT_EQ(ctl(h, 562).result, 0);
}

TEST_F(Faults, WriteOfTheInputFails) {
    reader("fn 502 hidfail input");
    send(h, request(502, 8, 255));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(send(h, data_packet(text("SOUND=1"))), -1);
    EXPECT_EQ(send(h, data_packet(text("SOUND=1"))), 65);
    EXPECT_EQ(recv(h), done(0, 0));
}

TEST_F(Faults, CtlErrorInPlaceOfDone) {
    reader("fn 2107 doneerror -3");
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), report({0x8B, 9, 0xFF, 0xFF, 0xFF, 0xFD}));
    EXPECT_EQ(emu::exchanges("r").at(0).outcome, "done_error");
}

TEST_F(Faults, WrongTypeInPlaceOfDone) {
    reader("fn 2107 donetype 21");
    send(h, request(2107, 0, 4));
    recv(h);
    EXPECT_EQ(recv(h), report({0x8B, 21, 0, 0, 0, 0, 0, 0, 0, 4}));
}

TEST_F(Faults, DoneAnnouncesMoreThanTheCapacity) {
    reader("fn 2107 donelen over");
    send(h, request(2107, 0, 4));
    recv(h);
    EXPECT_EQ(recv(h), done(0, 5));
    send(h, header(T_FETCH)); // a host that fetches anyway gets 5 bytes
    EXPECT_EQ(recv(h), report({5, 0, 0, 0, 1, 0}));
}

TEST_F(Faults, DoneAnnouncesAnyLength) {
    reader("fn 2107 donelen -1 times 1\nfn 2107 donelen 70");
    send(h, request(2107, 0, 4));
    recv(h);
    EXPECT_EQ(recv(h), done(0, -1));
    send(h, header(T_FETCH));
    EXPECT_TRUE(recv(h, 20).empty());
    send(h, request(2107, 0, 256));
    recv(h);
    EXPECT_EQ(recv(h), done(0, 70));
    send(h, header(T_FETCH));
    Bytes out = recv_data(h, 70);
    EXPECT_EQ(out.size(), 70u);
    EXPECT_EQ(out[3], 1);
    EXPECT_EQ(out[69], 0);
}

TEST_F(Faults, ShortDoneAndShortData) {
    reader("fn 2107 short done 3 times 1\nfn 2107 short data 2");
    send(h, request(2107, 0, 4));
    recv(h);
    int rc;
    EXPECT_EQ(recv(h, 500, &rc), (Bytes{0x8B, 4, 0}));
    send(h, request(2107, 0, 4));
    recv(h);
    EXPECT_EQ(recv(h), done(0, 4));
    send(h, header(T_FETCH));
    EXPECT_EQ(recv(h, 500, &rc), (Bytes{4, 0}));
}

TEST_F(Faults, DoneAsADataPacket) {
    reader("fn 562 dataheader done");
    send(h, request(562, 0, 0));
    recv(h);
    EXPECT_EQ(recv(h), report({0x0B, 4}));
}

TEST_F(Faults, ReadOfDoneOrOutputFails) {
    reader("fn 2107 hidfail done times 1\nfn 2107 hidfail output");
    send(h, request(2107, 0, 4));
    recv(h);
    int rc;
    recv(h, 100, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(recv(h), done(0, 4));
    send(h, header(T_FETCH));
    recv(h);
    send(h, request(2107, 0, 4));
    recv(h);
    recv(h);
    send(h, header(T_FETCH));
    recv(h, 100, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(recv(h), report({4, 0, 0, 0, 1}));
}

TEST_F(Faults, DelayBeforeDone) {
    reader("fn 2107 delay 120");
    auto t = std::chrono::steady_clock::now();
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), ack());
    EXPECT_TRUE(recv(h, 50).empty());
    EXPECT_EQ(recv(h, 1000), done(0, 4));
    EXPECT_GE(ms_since(t), 115);
}

TEST_F(Faults, SilentReaderNeverSendsDone) {
    reader("fn 2107 silent times 1\nfn 2107 model");
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), ack());
    EXPECT_TRUE(recv(h, 50).empty());
    EXPECT_EQ(emu::exchanges("r").at(0).outcome, "no_done");
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, 0);
}

TEST_F(Faults, UnplugOnTheRequestAndReturn) {
    reader("fn 2107 unplug request return 0.1\nfn 2107 model");
    send(h, request(2107, 0, 4));
    int rc;
    recv(h, 50, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(emu::present("r"));
    sleep_ms(150);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_TRUE(emu::present("r"));
    hid_device* again = open("r");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ctl(again, 2107, {}, 4).result, 0);
}

TEST_F(Faults, UnplugDuringInput) {
    reader("fn 510 unplug input");
    send(h, request(510, 200, 0));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(send(h, data_packet(Bytes(63, 1))), 65);
    EXPECT_EQ(send(h, data_packet(Bytes(63, 1))), -1);
    EXPECT_FALSE(emu::present("r"));
    EXPECT_EQ(emu::exchanges("r").at(0).outcome, "unplugged");
}

TEST_F(Faults, UnplugInPlaceOfDone) {
    reader("fn 2107 unplug done");
    send(h, request(2107, 0, 4));
    EXPECT_EQ(recv(h), ack());
    int rc;
    recv(h, 50, &rc);
    EXPECT_EQ(rc, -1);
}

TEST_F(Faults, UnplugAfterTheFirstOutputPacket) {
    reader("fn 503 out rep:200:41 unplug output");
    send(h, request(503, 0, 1000));
    recv(h);
    recv(h);
    send(h, header(T_FETCH));
    EXPECT_EQ(recv(h), data_packet(Bytes(63, 0x41)));
    int rc;
    recv(h, 50, &rc);
    EXPECT_EQ(rc, -1);
}

TEST_F(Faults, DeviceWideWriteFailure) {
    reader("fail_write 2");
    EXPECT_EQ(send(h, request(562, 0, 0)), 65);
    EXPECT_EQ(send(h, request(562, 0, 0)), -1);
    EXPECT_EQ(send(h, request(562, 0, 0)), 65);
    EXPECT_TRUE(noted("fault: write 2 fails"));
}

TEST_F(Faults, DeviceWideReadFailure) {
    reader("fail_read 2");
    send(h, request(562, 0, 0));
    EXPECT_EQ(recv(h), ack());
    int rc;
    recv(h, 50, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(recv(h), done(0, 0));
}

TEST_F(Faults, UnplugAfterTheKthWrite) {
    reader("unplug_at 3 return 0.05");
    EXPECT_EQ(ctl(h, 562).result, 0);           // write 1
    EXPECT_EQ(send(h, request(562, 0, 0)), 65); // write 2
    EXPECT_TRUE(emu::present("r"));
    EXPECT_EQ(send(h, request(562, 0, 0)), 65); // write 3: leaves after it
    EXPECT_FALSE(emu::present("r"));
    sleep_ms(80);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_TRUE(emu::present("r"));
}

TEST_F(Faults, ScriptAtRuntime) {
    reader("");
    ASSERT_EQ(emu::script("r", "fn 2107 result -25 times 2"), 0);
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -25);
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -25);
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -25); // the last entry repeats
    ASSERT_EQ(emu::script("r", "fn 2107 clear"), 0);
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, 0);
    EXPECT_EQ(emu::script("r", "fn 2107 bogus"), -1);
    EXPECT_NE(emu::last_error().find("unknown fn item"), std::string::npos);
    EXPECT_EQ(emu::script("nobody", "status 1"), -1);
}
