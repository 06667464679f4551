// The CTL exchange as a reader sees it: request bytes, retries and their
// timing, callbacks in place of the acknowledgement, output refusal, and the
// reports a read refuses. The output length stays 0 on every way out that
// fetched no output.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "link/callback_queue.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Bounds {
    double min = 0;
    double max = 1e9;
};

struct ExchangeCase {
    const char* name;
    const char* statements; // of reader r1
    uint16_t function = 13;
    Bytes input = {};
    int32_t capacity = 256;
    int32_t result = 0;
    int32_t output_len = 0;
    const char* output = ""; // the buffer's text afterwards; nullptr: not checked
    int verbosity = 0;
    std::string err = "";         // standard error at that verbosity
    bool err_whole = true;        // else a part of it
    std::vector<Bytes> wire = {}; // starts of the reports the host wrote; {}: not checked
    size_t requests = 1;
    const char* outcome = "";             // the reader's record of the last exchange; "": none
    std::vector<std::string> queued = {}; // callbacks left queued, "code:data"
    Bounds took = {};                     // ms in reader_ctl
    Bounds gap = {};                      // ms between two requests
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.name;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const ExchangeCase CASES[] = {
    {.name = "InputGoesOutAfterTheRequestHeader",
     .statements = "  fn 258 result 0\n",
     .function = 258,
     .input = {1, 2, 3, 4, 5},
     .wire = {{0x8B, 0x01, 0, 0, 0, 5, 0x01, 0x02, 0, 0, 0x01, 0x00}, {0x05, 1, 2, 3, 4, 5, 0}},
     .outcome = "no_output"},
    {.name = "OutputIsFetchedAndDelivered",
     .statements = "  fn 13 out \"hello reader\"\n",
     .output_len = 13,
     .output = "hello reader",
     .wire = {{0x8B, CTL_REQUEST, 0, 0, 0, 0, 0, 13, 0, 0, 0x01, 0x00},
              {0x8B, CTL_FETCH, 0, 0, 0, 0}},
     .outcome = "fetched"},
    {.name = "NegativeResultOfTheReader",
     .statements = "  fn 13 result -25\n",
     .result = -25,
     .outcome = "no_output"},
    {.name = "TracesAtVerbosityTwo",
     .statements = "  fn 258 out \"ok\"\n",
     .function = 258,
     .input = {9, 9},
     .capacity = 8,
     .output_len = 3,
     .output = "ok",
     .verbosity = 2,
     .err = "\nInput size: 2, function: 258\nBytes written: 65\nBytes read: 64\nCTL ACK\n"
            "CTL acknowledged\nWriting input CTL data...\nBytes written: 65\n"
            "Input CTL data written...\nBytes read: 64\nBytes written: 65\n"
            "Output CTL data size: 3\nBytes read: 64\nOutput CTL data OK: 3\n"
            "Final return value: 0\n",
     .outcome = "fetched"},
    {.name = "RequestErrorEndsAfterOneAttemptWithoutPause",
     .statements = "  fn 13 reqerror 7\n",
     .result = 7,
     .verbosity = 1,
     .err = "CTL request error: 7\n",
     .outcome = "request_error",
     .took = {0, 25}},
    {.name = "SilentReaderGetsFiveRequestsAfterNinetyMsWaitsAndThirtyMsPauses",
     .statements = "  fn 13 noack all\n",
     .result = LINK_ERROR,
     .verbosity = 1,
     .err =
         repeat("Cannot read CTL response from reader: -110\n", 5) + "CTL send attepts exhausted\n",
     .requests = 5,
     .took = {5 * (90 + 30) - 10, 5 * (90 + 30) + 400},
     .gap = {115, 250}},
    {.name = "OtherHeaderInPlaceOfAckIsRetried",
     .statements = "  fn 13 acktype 3\n  fn 13 model\n",
     .output_len = 13,
     .output = "Reader ready",
     .verbosity = 2,
     .err = "Invalid CTL response: 3\nCTL not acknowledged, type: 3, retval: 0, attempt: 1\n",
     .err_whole = false,
     .requests = 2,
     .outcome = "fetched"},
    {.name = "AckAsDataPacketIsRefusedAndRetried",
     .statements = "  fn 13 dataheader ack\n  fn 13 model\n",
     .output_len = 13,
     .output = "Reader ready",
     .verbosity = 1,
     .err = "Invalid packet type\nCannot read CTL response from reader: -1\n",
     .requests = 2,
     .outcome = "fetched"},
    {.name = "ShortAckIsRefusedAndRetried",
     .statements = "  fn 13 short ack 5\n  fn 13 model\n",
     .output_len = 13,
     .output = "Reader ready",
     .verbosity = 1,
     .err = "Read size invalid\nCannot read CTL response from reader: -1\n",
     .requests = 2,
     .outcome = "fetched"},
    {.name = "WriteFailureOfTheRequestEndsAtOnce",
     .statements = "  fn 13 hidfail request\n",
     .result = LINK_IO_ERROR,
     .verbosity = 1,
     .err = "Write error: -1\nCannot write CTL to reader: -9999\n",
     .took = {0, 25}},
    {.name = "CallbackInPlaceOfAckIsQueuedAndTheRequestRepeated",
     .statements = "  fn 13 cbfirst 1 1 r\"0123456789\"\n  fn 13 model\n",
     .output_len = 13,
     .output = "Reader ready",
     .wire = {{0x8B, CTL_REQUEST},
              {0x8B, CB_ACK, 0, 0, 0, 0},
              {0x8B, CB_DONE, 0, 0, 0, 0},
              {0x8B, CTL_REQUEST},
              {0x8B, CTL_FETCH}},
     .requests = 2,
     .outcome = "fetched",
     .queued = {"1:0123456789"},
     .gap = {29, 250}},
    {.name = "FiveCallbacksInPlaceOfAckExhaustTheAttempts",
     .statements = "  fn 13 cbfirst 5 2\n",
     .result = LINK_ERROR,
     .requests = 5,
     .queued = {"2:", "2:", "2:", "2:", "2:"}},
    {.name = "OutputLargerThanTheCapacityIsRefused",
     .statements = "  fn 13 result 3 out rep:300:41\n",
     .result = 3,
     .verbosity = 1,
     .err = "Not enough output data buffer: 300\n",
     .wire = {{0x8B, CTL_REQUEST}, {0x8B, CTL_ERROR, 0xFF, 0xFF, 0xFF, 0xFB}},
     .outcome = "refused"},
    {.name = "NegativeOutputLengthIsRefusedNotRead",
     .statements = "  fn 13 out \"abc\" donelen -100\n",
     .outcome = "refused"},
    {.name = "ErrorInPlaceOfDoneFails",
     .statements = "  fn 13 doneerror 12\n",
     .result = LINK_ERROR,
     .verbosity = 1,
     .err = "CTLDONE fail: 12\n",
     .outcome = "done_error"},
    {.name = "CallbackWhereDoneIsAwaitedIsNotTakenIn",
     .statements = "  fn 13 donetype 21\n",
     .result = LINK_ERROR,
     .verbosity = 1,
     .err = "Incorrect response: 21\n",
     .requests = 1,
     .outcome = "done_error"},
    {.name = "UnplugDuringOutputEndsWithIoError",
     .statements = "  fn 13 out rep:200:42 unplug output\n",
     .result = LINK_IO_ERROR,
     .output = nullptr,
     .verbosity = 1,
     .err = "Read error: -1\nCannot read CTL output data: -9999\n",
     .outcome = "fetched"},
    {.name = "NoDoneWithinTheWaitTimesOutSlow",
     .statements = "  fn 13 silent\n",
     .result = LINK_TIMEOUT,
     .wire = {{0x8B, CTL_REQUEST}},
     .outcome = "no_done",
     .took = {9990 - 10, 9990 + 1500}},
};

class CtlExchange : public EmulatedReaders, public ::testing::WithParamInterface<ExchangeCase> {};

std::vector<std::string> drain_queue(Reader* r) {
    std::vector<std::string> out;
    uint16_t code;
    uint32_t length;
    uint8_t* data;
    while (cb_queue_peek(r, &code, &length, &data) == 0) {
        out.push_back(std::to_string(code) + ":" +
                      std::string(reinterpret_cast<char*>(data), length));
        cb_queue_pop(r, nullptr, nullptr, nullptr);
    }
    return out;
}

TEST_P(CtlExchange, Outcome) {
    const ExchangeCase& c = GetParam();
    Reader* r = open_reader(std::string("device r1 0x0204\n  serial X1\n") + c.statements);
    ASSERT_NE(r, nullptr);
    diag_verbosity = c.verbosity;
    uint8_t out[256] = {};
    int32_t len = c.capacity;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_ctl(r, c.function, static_cast<int32_t>(c.input.size()),
                         c.input.empty() ? nullptr : c.input.data(), &len, out),
              c.result);
    const double took = elapsed_ms(start);
    const std::string text = err.finish();
    EXPECT_EQ(len, c.output_len);
    if (c.output != nullptr) {
        EXPECT_STREQ(reinterpret_cast<char*>(out), c.output);
    }
    if (c.err_whole)
        EXPECT_EQ(text, c.err);
    else
        EXPECT_NE(text.find(c.err), std::string::npos) << text;
    EXPECT_GE(took, c.took.min);
    EXPECT_LT(took, c.took.max);
    EXPECT_EQ(r->in_ctl, 1) << "a poll right after takes the queue without reading";
    EXPECT_EQ(drain_queue(r), c.queued);

    const auto sent = host_reports("r1");
    if (!c.wire.empty()) {
        ASSERT_EQ(sent.size(), c.wire.size());
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_EQ(Bytes(sent[i].begin(), sent[i].begin() + c.wire[i].size()), c.wire[i])
                << "report " << i;
    }
    std::vector<double> at;
    for (const emu::Report& rep : emu::reports("r1"))
        if (rep.to_device && rep.bytes[0] == 0x8B && rep.bytes[1] == CTL_REQUEST)
            at.push_back(rep.ms);
    EXPECT_EQ(at.size(), c.requests);
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], c.gap.min) << i;
        EXPECT_LT(at[i] - at[i - 1], c.gap.max) << i;
    }

    const auto x = emu::exchanges("r1");
    if (*c.outcome == '\0') {
        EXPECT_TRUE(x.empty());
        return;
    }
    ASSERT_FALSE(x.empty());
    EXPECT_EQ(x.back().outcome, c.outcome);
    EXPECT_EQ(x.back().capacity, static_cast<uint32_t>(c.capacity));
    EXPECT_EQ(x.back().input, c.input);
    if (x.back().refused) {
        EXPECT_EQ(x.back().host_error, -5);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CtlExchange, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
