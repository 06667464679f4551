// The CTL exchange as a reader sees it: request bytes, retries and their
// timing, callbacks in place of the acknowledgement, output refusal.
#include <gtest/gtest.h>

#include <vector>

#include "link/callback_queue.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

std::string reader_with(const std::string& statements) {
    return "device r1 0x0204\n  serial X1\n" + statements;
}

int count_requests(std::string_view device) {
    int n = 0;
    for (const auto& r : host_reports(device))
        if (r[0] == 0x8B && r[1] == CTL_REQUEST) ++n;
    return n;
}

std::vector<double> request_times(std::string_view device) {
    std::vector<double> t;
    for (const emu::Report& r : emu::reports(device))
        if (r.to_device && r.bytes[0] == 0x8B && r.bytes[1] == CTL_REQUEST) t.push_back(r.ms);
    return t;
}

class CtlExchange : public EmulatedReaders {};

TEST_F(CtlExchange, RequestHeaderAndInputOnTheWire) {
    Reader* r = open_reader(reader_with("  fn 258 result 0\n"));
    const uint8_t input[5] = {1, 2, 3, 4, 5};
    uint8_t out[256];
    int32_t len = 256;
    EXPECT_EQ(reader_ctl(r, 258, 5, input, &len, out), 0);
    const auto sent = host_reports("r1");
    ASSERT_EQ(sent.size(), 2u) << "request and one data packet; no fetch for empty output";
    EXPECT_EQ(std::vector<uint8_t>(sent[0].begin(), sent[0].begin() + 12),
              (std::vector<uint8_t>{0x8B, 0x01, 0, 0, 0, 5, 0x01, 0x02, 0, 0, 0x01, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(sent[1].begin(), sent[1].begin() + 7),
              (std::vector<uint8_t>{0x05, 1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(len, 0);
    EXPECT_EQ(r->in_ctl, 1);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].capacity, 256u);
    EXPECT_EQ(x[0].input, std::vector<uint8_t>(input, input + 5));
}

TEST_F(CtlExchange, OutputIsFetchedAndDelivered) {
    Reader* r = open_reader(reader_with("  fn 13 out \"hello reader\"\n"));
    uint8_t out[256] = {};
    int32_t len = 256;
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(len, 13);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "hello reader");
    const auto sent = host_reports("r1");
    ASSERT_EQ(sent.size(), 2u) << "no data packet without input";
    EXPECT_EQ(sent[1][1], CTL_FETCH);
}

TEST_F(CtlExchange, RequestErrorEndsAfterOneAttempt) {
    Reader* r = open_reader(reader_with("  fn 13 reqerror 7\n"));
    diag_verbosity = 1;
    int32_t len = 256;
    uint8_t out[256];
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 7);
    EXPECT_LT(elapsed_ms(start), 25) << "no pause after CTL_ERROR";
    EXPECT_EQ(err.finish(), "CTL request error: 7\n");
    EXPECT_EQ(count_requests("r1"), 1);
    EXPECT_EQ(len, 0) << "no output arrived";
}

TEST_F(CtlExchange, SilentReaderGetsFiveRequestsThirtyMsApartAfterNinetyMsWaits) {
    Reader* r = open_reader(reader_with("  fn 13 noack all\n"));
    diag_verbosity = 1;
    int32_t len = 256;
    uint8_t out[256];
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_ERROR);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, 5 * (90 + 30) - 10);
    EXPECT_LT(took, 5 * (90 + 30) + 400);
    const std::string text = err.finish();
    EXPECT_NE(text.find("CTL send attepts exhausted\n"), std::string::npos);
    EXPECT_EQ(len, 0) << "no output arrived";
    const auto t = request_times("r1");
    ASSERT_EQ(t.size(), 5u);
    for (size_t i = 1; i < t.size(); ++i) {
        EXPECT_GE(t[i] - t[i - 1], 115) << i;
        EXPECT_LT(t[i] - t[i - 1], 250) << i;
    }
}

TEST_F(CtlExchange, RetriedAttemptIsTracedWithTheReceivedHeader) {
    Reader* r = open_reader(reader_with("  fn 13 acktype 3\n  fn 13 model\n"));
    diag_verbosity = 2;
    int32_t len = 256;
    uint8_t out[256];
    FdCapture err(2);
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    const std::string text = err.finish();
    EXPECT_NE(text.find("Invalid CTL response: 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("CTL not acknowledged, type: 3, retval: 0, attempt: 1\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(count_requests("r1"), 2);
}

TEST_F(CtlExchange, HidWriteFailureEndsAtOnce) {
    Reader* r = open_reader(reader_with("  fn 13 hidfail request\n"));
    int32_t len = 256;
    uint8_t out[256];
    const double start = now_ms();
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_IO_ERROR);
    EXPECT_LT(elapsed_ms(start), 25);
    EXPECT_EQ(emu::reports("r1").size(), 1u) << "no second attempt";
}

TEST_F(CtlExchange, CallbackInPlaceOfAckIsQueuedAndRequestRepeated) {
    Reader* r = open_reader(reader_with("  fn 13 cbfirst 1 1 r\"0123456789\"\n  fn 13 model\n"));
    int32_t len = 256;
    uint8_t out[256];
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(r->in_ctl, 1);
    uint16_t code;
    uint32_t length;
    uint8_t* data;
    ASSERT_EQ(cb_queue_peek(r, &code, &length, &data), 0);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), "0123456789");
    const auto cbs = emu::callbacks("r1");
    ASSERT_EQ(cbs.size(), 1u);
    EXPECT_EQ(cbs[0].outcome, "done");
    EXPECT_TRUE(cbs[0].in_place_of_ack);
    const auto t = request_times("r1");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_GE(t[1] - t[0], 29) << "the request is sent again after the 30 ms pause";
}

TEST_F(CtlExchange, FiveCallbacksInPlaceOfAckExhaustTheAttempts) {
    Reader* r = open_reader(reader_with("  fn 13 cbfirst 5 2\n"));
    int32_t len = 256;
    uint8_t out[256];
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_ERROR);
    int queued = 0;
    while (cb_queue_pop(r, nullptr, nullptr, nullptr) == 0)
        ++queued;
    EXPECT_EQ(queued, 5);
}

TEST_F(CtlExchange, OutputLargerThanCapacityIsRefused) {
    Reader* r = open_reader(reader_with("  fn 13 result 3 out rep:300:41\n"));
    diag_verbosity = 1;
    uint8_t out[256] = {};
    int32_t len = 256;
    FdCapture err(2);
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 3) << "the reader's result";
    EXPECT_EQ(err.finish(), "Not enough output data buffer: 300\n");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(out[0], 0) << "nothing read";
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_TRUE(x[0].refused);
    EXPECT_EQ(x[0].host_error, -5);
}

TEST_F(CtlExchange, NegativeOutputLengthIsRefusedNotRead) {
    Reader* r = open_reader(reader_with("  fn 13 out \"abc\" donelen -100\n"));
    uint8_t out[16] = {};
    int32_t len = 16;
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(len, 0);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_TRUE(x[0].refused);
    EXPECT_EQ(x[0].host_error, -5);
}

TEST_F(CtlExchange, ErrorInPlaceOfDoneFails) {
    Reader* r = open_reader(reader_with("  fn 13 doneerror 12\n"));
    diag_verbosity = 1;
    int32_t len = 256;
    uint8_t out[256];
    FdCapture err(2);
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_ERROR);
    EXPECT_EQ(err.finish(), "CTLDONE fail: 12\n");
    EXPECT_EQ(len, 0) << "no output arrived";
}

TEST_F(CtlExchange, CallbackWhereDoneIsAwaitedIsNotTakenIn) {
    Reader* r = open_reader(reader_with("  fn 13 donetype 21\n"));
    diag_verbosity = 1;
    int32_t len = 256;
    uint8_t out[256];
    FdCapture err(2);
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_ERROR);
    EXPECT_EQ(err.finish(), "Incorrect response: 21\n");
    uint16_t code;
    uint32_t length;
    uint8_t* data;
    EXPECT_EQ(cb_queue_peek(r, &code, &length, &data), 1);
}

TEST_F(CtlExchange, UnplugDuringOutputEndsWithIoError) {
    Reader* r = open_reader(reader_with("  fn 13 out rep:200:42 unplug output\n"));
    uint8_t out[256];
    int32_t len = 256;
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_IO_ERROR);
    EXPECT_EQ(len, 0) << "not all of the output arrived";
}

TEST_F(CtlExchange, TracesAtVerbosityTwo) {
    Reader* r = open_reader(reader_with("  fn 258 out \"ok\"\n"));
    diag_verbosity = 2;
    const uint8_t input[2] = {9, 9};
    uint8_t out[8];
    int32_t len = 8;
    FdCapture err(2);
    EXPECT_EQ(reader_ctl(r, 258, 2, input, &len, out), 0);
    EXPECT_EQ(err.finish(), "\nInput size: 2, function: 258\n"
                            "Bytes written: 65\n"
                            "Bytes read: 64\n"
                            "CTL ACK\n"
                            "CTL acknowledged\n"
                            "Writing input CTL data...\n"
                            "Bytes written: 65\n"
                            "Input CTL data written...\n"
                            "Bytes read: 64\n"
                            "Bytes written: 65\n"
                            "Output CTL data size: 3\n"
                            "Bytes read: 64\n"
                            "Output CTL data OK: 3\n"
                            "Final return value: 0\n");
}

TEST_F(CtlExchange, NoDoneWithinTheWaitTimesOutSlow) {
    Reader* r = open_reader(reader_with("  fn 13 silent\n"));
    int32_t len = 256;
    uint8_t out[256];
    const double start = now_ms();
    EXPECT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), LINK_TIMEOUT);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, 9990 - 10);
    EXPECT_LT(took, 9990 + 1500);
    EXPECT_EQ(host_reports("r1").size(), 1u) << "no header after the time-out";
}

} // namespace
