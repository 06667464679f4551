// Card test support: scripted card events, the card data functions, the
// volatile protocol and the module restart.
#include "host.h"

using namespace host;

class CardTest : public EmuTest {
  protected:
    void reader(const std::string& statements) {
        load("device r 0x0202\n" + statements + "\n");
        h = open("r");
        ASSERT_NE(h, nullptr);
    }
    // Takes in one announced callback: its code and data.
    bool take_callback(uint16_t& code, Bytes& data, int ms = 2000) {
        Bytes r = recv(h, ms);
        if (r.size() != 64 || r[0] != 0x8B || r[1] != T_CB_REQUEST) return false;
        code = static_cast<uint16_t>((r[6] << 8) | r[7]);
        const size_t n = static_cast<size_t>(be32(r, 2));
        send(h, header(T_CB_ACK));
        data = n > 0 ? recv_data(h, n) : Bytes{};
        send(h, header(T_CB_DONE));
        return true;
    }
    hid_device* h = nullptr;
};

TEST_F(CardTest, CardAfterWaitCardThenItsData) {
    reader("card \"04A1B2\" carddata \"MIFARE 1K\" after 562 delay 0.05\n"
           "card_removed after 542 delay 0.05");
    EXPECT_EQ(ctl(h, 530, Bytes{0, 0, 0, 0, 0, 1, 0, 4}, 0).result, 0);
    EXPECT_EQ(ctl(h, 600, {}, 2).result, -20); // no card yet
    EXPECT_EQ(ctl(h, 562, {}, 0).result, 0);
    uint16_t code = 0;
    Bytes data;
    ASSERT_TRUE(take_callback(code, data));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(data, text("04A1B2"));
    Ctl q = ctl(h, 600, {}, 2);
    EXPECT_EQ(q.result, 0);
    EXPECT_EQ(q.out, (Bytes{0, 1}));
    Ctl d = ctl(h, 601, q.out, 256);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.out, text("MIFARE 1K"));
    EXPECT_EQ(ctl(h, 601, Bytes{0, 9}, 256).result, -20);
    EXPECT_EQ(ctl(h, 563, {}, 0).result, 0);
    EXPECT_EQ(ctl(h, 542, {}, 0).result, 0);
    ASSERT_TRUE(take_callback(code, data));
    EXPECT_EQ(code, 4);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(ctl(h, 600, {}, 2).result, -20);
}

TEST_F(CardTest, DefaultCardData) {
    reader("card \"777\"");
    uint16_t code = 0;
    Bytes data;
    ASSERT_TRUE(take_callback(code, data));
    Ctl q = ctl(h, 600, {}, 2);
    EXPECT_EQ(ctl(h, 601, q.out, 256).out, text("UID 777"));
}

TEST_F(CardTest, EachRepeatsAndBurstQueuesSeveral) {
    reader("card_error after 564 each\ncallback 9 x:01 after any 3 burst 2");
    ctl(h, 564, {}, 0); // 1st exchange: code 2 follows
    uint16_t code = 0;
    Bytes data;
    ASSERT_TRUE(take_callback(code, data));
    EXPECT_EQ(code, 2);
    ctl(h, 562, {}, 0); // 2nd
    EXPECT_TRUE(recv(h, 20).empty());
    ctl(h, 564, {}, 0); // 3rd: code 2 again, and two of code 9
    std::vector<uint16_t> codes;
    while (take_callback(code, data, 50))
        codes.push_back(code);
    EXPECT_EQ(codes, (std::vector<uint16_t>{2, 9, 9}));
}

TEST_F(CardTest, CardArrivingDuringAnExchangeFollowsIt) {
    reader("");
    send(h, request(504, 10, 256));
    recv(h);
    emu::send_event("r", 1, "5"); // the reader is waiting for input data
    send_data(h, text("FWVERSION"));
    EXPECT_EQ(recv(h), done(0, 7));
    send(h, header(T_FETCH));
    EXPECT_EQ(recv(h), data_packet(text("2.14.0")));
    // The exchange is over: the callback is announced at once.
    EXPECT_EQ(recv(h), cb_request(1, 2));
}

TEST_F(CardTest, VolatileProtocolAndModuleRestart) {
    reader("param READERPROTOCOL 4\nparam READERPROTOCOLTMP 2\nmodule_restart 120");
    EXPECT_EQ(ctl(h, 504, text("READERPROTOCOLTMP")).out, text("2"));
    EXPECT_EQ(ctl(h, 502, text("READERPROTOCOLTMP=4"), 255).result, 0);
    EXPECT_EQ(ctl(h, 504, text("READERPROTOCOLTMP")).out, text("4"));
    EXPECT_EQ(ctl(h, 502, text("RDRNEEDRESTART=1"), 255).result, 0);
    EXPECT_EQ(ctl(h, 2107, {}, 4).result, -25);
    EXPECT_EQ(ctl(h, 530, Bytes{0, 0, 0, 0, 0, 1, 0, 4}, 0).result, -25);
    EXPECT_EQ(ctl(h, 2100, {}, 4).result, -25);
    EXPECT_EQ(ctl(h, 504, text("USBMODE")).result, 0); // the USB side still answers
    sleep_ms(150);
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(ctl(h, 530, Bytes{0, 0, 0, 0, 0, 1, 0, 4}, 0).result, 0);
    EXPECT_TRUE(emu::present("r"));
    EXPECT_EQ(emu::param("r", "READERPROTOCOLTMP"), "4");
}

TEST_F(CardTest, RestartOfTheWholeReader) {
    reader("param READERPROTOCOLTMP 2\nrdr_restart usb\nreset_delay 0.05");
    EXPECT_EQ(ctl(h, 502, text("RDRNEEDRESTART=1"), 255).result, 0);
    sleep_ms(30);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_FALSE(emu::present("r"));
    sleep_ms(60);
    hid_free_enumeration(hid_enumerate(0, 0));
    EXPECT_TRUE(emu::present("r"));
    EXPECT_EQ(emu::product("r"), 0x0202);
}

TEST_F(CardTest, RegistrationRefused) {
    reader("fn 530 result -7");
    EXPECT_EQ(ctl(h, 530, Bytes{0, 0, 0, 0, 0, 1, 0, 4}, 0).result, -7);
}
