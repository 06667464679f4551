// The reader side of the CTL exchange and of callback transfers, byte for
// byte, and how the reader copes with hosts that get it wrong.
#include <random>

#include "host.h"

using namespace host;

class Protocol : public EmuTest {
  protected:
    void SetUp() override {
        EmuTest::SetUp();
        load("device r 0x0204\n  serial S1\n");
        h = open("r");
        ASSERT_NE(h, nullptr);
    }
    hid_device* h = nullptr;
};

TEST_F(Protocol, ExchangeWithoutDataIsAckThenDone) {
    ASSERT_EQ(send(h, report({0x8B, 0x01, 0, 0, 0, 0, 0x02, 0x32, 0, 0, 0, 0})), 65);
    EXPECT_EQ(recv(h), report({0x8B, 0x02}));
    EXPECT_EQ(recv(h), report({0x8B, 0x04, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(recv(h, 20).empty());
    auto x = emu::exchanges("r");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, 562);
    EXPECT_EQ(x[0].capacity, 0u);
    EXPECT_EQ(x[0].result, 0);
    EXPECT_EQ(x[0].output_len, 0);
    EXPECT_EQ(x[0].outcome, "no_output");
    EXPECT_FALSE(x[0].fetched);
}

TEST_F(Protocol, InputArrivesInPacketsAndOutputLeavesInPackets) {
    Bytes file(130);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>('a' + i % 26);
    file[5] = '\n'; // a configuration file, not an assignment
    send(h, request(502, 130, 255));
    EXPECT_EQ(recv(h), ack());
    send(h, data_packet(file.data(), 63));
    send(h, data_packet(file.data() + 63, 63));
    EXPECT_TRUE(recv(h, 20).empty()); // nothing before the last input byte
    send(h, data_packet(file.data() + 126, 4));
    EXPECT_EQ(recv(h), done(0, 0));

    send(h, report({0x8B, 0x01, 0, 0, 0, 0, 0x01, 0xF7, 0x00, 0x7A, 0x12, 0x00})); // 503, 8000000
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), report({0x8B, 0x04, 0, 0, 0, 0, 0, 0, 0, 130}));
    send(h, report({0x8B, 0x05}));
    Bytes p1 = recv(h), p2 = recv(h), p3 = recv(h);
    EXPECT_EQ(p1, data_packet(file.data(), 63));
    EXPECT_EQ(p2, data_packet(file.data() + 63, 63));
    EXPECT_EQ(p3, data_packet(file.data() + 126, 4));
    EXPECT_EQ(p1[0], 0x3F);
    EXPECT_EQ(p3[0], 0x04);
    auto x = emu::exchanges("r");
    ASSERT_EQ(x.size(), 2u);
    EXPECT_EQ(x[0].input, file);
    EXPECT_EQ(x[1].outcome, "fetched");
    EXPECT_TRUE(x[1].fetched);
    EXPECT_EQ(emu::config_file("r"), file);
}

TEST_F(Protocol, OutputLongerThanTheCapacityIsAnnouncedAndRefused) {
    ASSERT_EQ(emu::script("r", "param LONG rep:300:41"), 0);
    send(h, request(504, 5, 256));
    EXPECT_EQ(recv(h), ack());
    send(h, data_packet(text("LONG")));
    EXPECT_EQ(recv(h), report({0x8B, 0x04, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x2C}));
    send(h, report({0x8B, 0x09, 0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_TRUE(recv(h, 30).empty());
    auto x = emu::exchanges("r");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].output_len, 300);
    EXPECT_TRUE(x[0].refused);
    EXPECT_EQ(x[0].host_error, -5);
    EXPECT_EQ(x[0].outcome, "refused");
}

TEST_F(Protocol, SpontaneousCallbackTransfer) {
    ASSERT_EQ(emu::send_event("r", 1, "1234"), 0);
    EXPECT_EQ(recv(h), report({0x8B, 21, 0, 0, 0, 5, 0, 1, 0, 0, 0, 0}));
    send(h, report({0x8B, 22}));
    EXPECT_EQ(recv(h), report({0x05, '1', '2', '3', '4', 0}));
    EXPECT_EQ(emu::callbacks("r").at(0).outcome, "pending");
    send(h, report({0x8B, 24}));
    EXPECT_TRUE(recv(h, 20).empty());
    auto c = emu::callbacks("r");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].code, 1);
    EXPECT_EQ(c[0].data, text("1234"));
    EXPECT_FALSE(c[0].in_place_of_ack);
    EXPECT_EQ(c[0].outcome, "done");
    EXPECT_EQ(ctl(h, 562).result, 0);
}

TEST_F(Protocol, CallbackWithoutDataNeedsNoDataPackets) {
    emu::send_event("r", 4, Bytes{});
    EXPECT_EQ(recv(h), cb_request(4, 0));
    send(h, header(T_CB_ACK));
    EXPECT_TRUE(recv(h, 20).empty());
    send(h, header(T_CB_DONE));
    EXPECT_EQ(emu::callbacks("r").at(0).outcome, "done");
}

TEST_F(Protocol, RequestWhileTheCallbackWaitsIsIgnored) {
    emu::send_event("r", 2, Bytes{});
    send(h, request(562, 0, 0)); // crosses the CB_REQUEST on the wire
    EXPECT_EQ(recv(h), cb_request(2, 0));
    EXPECT_TRUE(recv(h, 20).empty());
    send(h, header(T_CB_ACK));
    send(h, header(T_CB_DONE));
    EXPECT_EQ(ctl(h, 562).result, 0);
    auto n = emu::notes("r");
    EXPECT_NE(
        std::find(n.begin(), n.end(), "CTL_REQUEST for 562 ignored during a callback transfer"),
        n.end());
}

TEST_F(Protocol, PendingCallbackAnswersTheNextRequest) {
    send(h, request(504, 10, 256));
    EXPECT_EQ(recv(h), ack());
    send_data(h, text("FWVERSION"));
    EXPECT_EQ(recv(h), done(0, 7));
    emu::send_event("r", 3, Bytes{}); // waits: the reader is busy with the output
    EXPECT_TRUE(recv(h, 20).empty());
    send(h, request(562, 0, 0)); // the host gives up the output
    EXPECT_EQ(recv(h), cb_request(3, 0));
    send(h, header(T_CB_ACK));
    send(h, header(T_CB_DONE));
    send(h, request(562, 0, 0));
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 0));
    auto c = emu::callbacks("r");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_TRUE(c[0].in_place_of_ack);
    auto x = emu::exchanges("r");
    ASSERT_EQ(x.size(), 2u);
    EXPECT_EQ(x[0].outcome, "abandoned");
    EXPECT_EQ(x[1].function, 562);
}

TEST_F(Protocol, CbErrorRefusesTheCallback) {
    emu::send_event("r", 1, "99");
    EXPECT_EQ(recv(h), cb_request(1, 3));
    send(h, report({0x8B, 29, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_TRUE(recv(h, 20).empty());
    auto c = emu::callbacks("r");
    EXPECT_EQ(c.at(0).outcome, "refused");
    EXPECT_EQ(c.at(0).host_value, -2);
    EXPECT_EQ(ctl(h, 562).result, 0);
}

TEST_F(Protocol, CallbacksComeOneAfterAnother) {
    emu::send_event("r", 1, "1");
    emu::send_event("r", 4, Bytes{});
    EXPECT_EQ(recv(h), cb_request(1, 2));
    EXPECT_TRUE(recv(h, 20).empty());
    send(h, header(T_CB_ACK));
    EXPECT_EQ(recv(h), data_packet(text("1")));
    send(h, header(T_CB_DONE));
    EXPECT_EQ(recv(h), cb_request(4, 0));
}

TEST_F(Protocol, UnansweredCallbackTimesOut) {
    ASSERT_EQ(emu::script("r", "cb_ack_timeout 50"), 0);
    emu::send_event("r", 1, "7");
    EXPECT_EQ(recv(h), cb_request(1, 2));
    sleep_ms(80);
    EXPECT_EQ(ctl(h, 562).result, 0);
    EXPECT_EQ(emu::callbacks("r").at(0).outcome, "timeout");
}

TEST_F(Protocol, CallbackWaitsForTheDeviceToBeOpened) {
    EmuTest::TearDown();
    EmuTest::SetUp();
    load("device r 0x0204\n  callback 1 \"42\"\n");
    EXPECT_EQ(emu::pending_callbacks("r"), 1);
    hid_device* d = open("r");
    EXPECT_EQ(recv(d), cb_request(1, 3));
    close(d); // before acknowledging it: kept for the next open
    d = open("r");
    EXPECT_EQ(recv(d), cb_request(1, 3));
}

TEST_F(Protocol, NewRequestAbandonsTheWaitingOutput) {
    send(h, request(504, 10, 256));
    recv(h);
    send_data(h, text("FWVERSION"));
    EXPECT_EQ(recv(h), done(0, 7));
    EXPECT_EQ(ctl(h, 562).result, 0);
    auto x = emu::exchanges("r");
    ASSERT_EQ(x.size(), 2u);
    EXPECT_EQ(x[0].outcome, "abandoned");
    EXPECT_EQ(x[1].outcome, "no_output");
}

TEST_F(Protocol, NewRequestDuringInputAbandonsIt) {
    send(h, request(502, 100, 255));
    recv(h);
    send(h, data_packet(Bytes(63, 'x')));
    EXPECT_EQ(ctl(h, 562).result, 0);
    EXPECT_EQ(emu::exchanges("r").at(0).outcome, "abandoned");
}

TEST_F(Protocol, OddHostReportsAreNotedAndIgnored) {
    send(h, report({0x85, 1, 0, 0, 0, 0}));        // header of 5 bytes
    send(h, report({0x05, 1, 2, 3, 4, 5}));        // data while idle
    send(h, report({0x8B, 5}));                    // fetch without output
    send(h, report({0x8B, 22}));                   // CB_ACK without callback
    send(h, report({0x8B, 77}));                   // unknown type
    send(h, report({0xCB, 1, 0, 0, 0, 0, 2, 50})); // bit 6 set, still a request
    EXPECT_EQ(recv(h), ack());
    EXPECT_EQ(recv(h), done(0, 0));
    auto n = emu::notes("r");
    auto has = [&](const char* s) { return std::find(n.begin(), n.end(), s) != n.end(); };
    EXPECT_TRUE(has("header packet of 5 bytes ignored"));
    EXPECT_TRUE(has("data packet of 5 bytes ignored in state idle"));
    EXPECT_TRUE(has("CTL_FETCH ignored in state idle"));
    EXPECT_TRUE(has("CB_ACK ignored in state idle"));
    EXPECT_TRUE(has("unknown header type 77 ignored in state idle"));
    EXPECT_TRUE(has("control byte bit 6 set"));
}

TEST_F(Protocol, LongHeaderPacketUsesTheFirstElevenBytes) {
    send(h, report({0x8C, 1, 0, 0, 0, 0, 2, 50, 0, 0, 0, 0, 0xEE}));
    EXPECT_EQ(recv(h), ack());
}

TEST_F(Protocol, NegativeInputLengthIsRefused) {
    send(h, request(502, -1, 0));
    EXPECT_EQ(recv(h), error(-22));
}

TEST_F(Protocol, GarbageNeverBreaksTheReader) {
    std::mt19937 rng(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes r(64);
        for (auto& b : r)
            b = static_cast<uint8_t>(rng());
        if (i % 3 == 0) r[0] = 0x8B;
        if (i % 7 == 0) r[1] = static_cast<uint8_t>(rng() % 30);
        if (i % 11 == 0) { // a plausible request with a small input
            r[2] = r[3] = r[4] = 0;
            r[5] = static_cast<uint8_t>(rng() % 80);
        }
        ASSERT_EQ(send(h, r), 65);
        while (!recv(h, 0).empty()) {
        }
    }
    // Whatever state the garbage left, a callback transfer or a fresh request
    // brings the reader back.
    send(h, header(T_CB_DONE));
    send(h, header(T_ERROR, -5));
    while (!recv(h, 5).empty()) {
    }
    Ctl c = ctl(h, 504, text("FWVERSION"));
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.out, text("2.14.0"));
}

TEST_F(Protocol, HostReportsAreInTheTranscript) {
    ctl(h, 562);
    auto r = emu::reports("r");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_TRUE(r[0].to_device);
    EXPECT_EQ(Bytes(r[0].bytes.begin(), r[0].bytes.end()), request(562, 0, 256));
    EXPECT_FALSE(r[1].to_device);
    EXPECT_EQ(Bytes(r[1].bytes.begin(), r[1].bytes.end()), ack());
    EXPECT_EQ(Bytes(r[2].bytes.begin(), r[2].bytes.end()), done(0, 0));
    EXPECT_LE(r[0].ms, r[1].ms);
    emu::clear_transcript("r");
    EXPECT_TRUE(emu::reports("r").empty());
    EXPECT_TRUE(emu::exchanges("r").empty());
}

TEST_F(Protocol, NewRequestStopsTheRestOfAnOutputBlock) {
    ASSERT_EQ(emu::script("r", "fn 503 out rep:5040:41"), 0); // 80 data packets
    send(h, request(503, 0, 8000000));
    recv(h);
    EXPECT_EQ(recv(h), done(0, 5040));
    send(h, header(T_FETCH));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(recv(h), data_packet(Bytes(63, 0x41)));
    send(h, request(562, 0, 0));
    int stale = 0;
    Bytes r;
    while ((r = recv(h, 100)).size() == 64 && r[0] == 63)
        ++stale;
    // 30 packets were on the bus; CTL_ACK and CTL_DONE pushed the two oldest
    // out of hidapi's full queue; the other 45 were never sent.
    EXPECT_EQ(stale, 28);
    EXPECT_EQ(r, ack());
    EXPECT_EQ(recv(h), done(0, 0));
}
