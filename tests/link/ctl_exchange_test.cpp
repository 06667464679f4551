// SPDX-License-Identifier: GPL-2.0-or-later
// Reports on the wire: blocks framed into 64-byte reports (control byte,
// 63-byte payloads, progress while input data goes out, what a data read
// accepts, the open state), and the CTL exchange as a reader sees it:
// request bytes, retries and their timing, callbacks in place of the
// acknowledgement, output refusal, and the reports a header read refuses.
// The output length stays 0 on every way out that fetched no output.
#include <dlfcn.h>
#include <hidapi.h>

#include <atomic>
#include <numeric>

#include "base/result.h"
#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_rig.h"

namespace {

// The progress value as it stood at each hid_write, recorded by the shim
// below while a test watches one.
std::atomic<int32_t>* watched = nullptr;
std::vector<int32_t> seen_at_write;

class Framing : public EmulatedReaders {};

TEST_F(Framing, BlocksAreCutInto63BytePayloads) {
    Reader* r = open_reader(reader_r1(""));
    std::vector<uint8_t> data(130);
    std::iota(data.begin(), data.end(), uint8_t{1});
    for (int32_t length : {0, 63, 64, 130})
        EXPECT_EQ(reader_write_block(r, data.data(), length, false), length);
    // The 64th byte travels alone; the rest of a short report is zero.
    const char* want = "3F 01 | 3F 01 | 01 40 00 | 3F 01 | 3F 40 | 04 7F 80 81 82 00";
    EXPECT_EQ(report_starts("r1", want), want);
}

TEST_F(Framing, InputProgressAdvancesBeforeEachReport) {
    Reader* r = open_reader(reader_r1("fn 258 result 0"));
    std::atomic<int32_t> shown{-1};
    const std::vector<uint8_t> input(130);
    int32_t len = 0;
    seen_at_write.clear();
    watched = &shown;
    const ProgressSink progress{&shown, 0, 100};
    EXPECT_EQ(reader_ctl(r, 258, 130, input.data(), &len, nullptr, &progress), 0);
    watched = nullptr;
    EXPECT_EQ(seen_at_write, (std::vector<int32_t>{-1, 0, 48, 96})) << "not moved by the request";
    EXPECT_EQ(shown.load(), 100);
}

TEST_F(Framing, DataReadTakesHeaderPacketsAsData) {
    Reader* r = open_reader(reader_r1("card_removed"));
    uint8_t buf[CTL_HEADER_SIZE] = {};
    EXPECT_EQ(reader_read_block(r, buf, 0, 10, false), 0);
    EXPECT_EQ(reader_read_block(r, buf, CTL_HEADER_SIZE, 100, false), CTL_HEADER_SIZE);
    EXPECT_EQ(buf[0], CB_REQUEST);
}

TEST_F(Framing, OpenAndCloseRefuseTheWrongState) {
    Reader* r = open_reader(reader_r1(""));
    EXPECT_EQ(reader_open(r), LINK_WRONG_STATE);
    EXPECT_EQ(reader_close(r), 0);
    EXPECT_EQ(reader_close(r), LINK_WRONG_STATE);
    EXPECT_EQ(reader_open(nullptr), LINK_ERROR);
    EXPECT_EQ(reader_close(nullptr), LINK_ERROR);
    EXPECT_EQ(reader_open(r), 0) << "a reader can be opened again";
}

// An exchange of function 13, or of 258 when the row has input, with reader
// r1 given the statements: what reader_ctl returns, the buffer's text
// afterwards, the reader's record of the exchange ("": none), all of standard
// error at the verbosity, the CTL_REQUEST reports, the starts of the reports
// the host wrote (report_starts; "": not checked), the callbacks left queued
// (as the handler of a poll sees them), the ms spent in reader_ctl and
// between two requests. The output length counts the text and its NUL once
// fetched, else it is 0.
struct ExchangeCase {
    const char *name, *statements;
    int32_t result;
    std::string output;
    const char* outcome;
    std::string err = "";
    int verbosity = 1;
    size_t requests = 1;
    const char *reports = "", *queued = "";
    std::string input = "";
    double took_min = 0, took_max = 60000, gap_min = 0, gap_max = 60000;
};

const std::string NO_ACK = "Cannot read CTL response from reader: -110\n";

const ExchangeCase CASES[] = {
    {"InputGoesOutAfterTheRequestHeader", "fn 258 result 0", 0, "", "no_output", "", 1, 1,
     "8B 01 00 00 00 05 01 02 00 00 01 00 | 05 01 02 03 04 05 00", "", "\x01\x02\x03\x04\x05"},
    {"OutputIsFetchedAndDelivered", "fn 13 out \"hello reader\"", 0, "hello reader", "fetched", "",
     1, 1, "8B 01 00 00 00 00 00 0D 00 00 01 00 | 8B 05 00 00 00 00"},
    {"NegativeResultOfTheReader", "fn 13 result -25", -25, "", "no_output"},
    {"TracesAtVerbosityTwo", "fn 258 out \"ok\"", 0, "ok", "fetched",
     "\nInput size: 2, function: 258\nBytes written: 65\nBytes read: 64\nCTL ACK\n"
     "CTL acknowledged\nWriting input CTL data...\nBytes written: 65\nInput CTL data written...\n"
     "Bytes read: 64\nBytes written: 65\nOutput CTL data size: 3\nBytes read: 64\n"
     "Output CTL data OK: 3\nFinal return value: 0\n",
     2, 1, "", "", "\x09\x09"},
    {"RequestErrorEndsAfterOneAttemptWithoutPause", "fn 13 reqerror 7", 7, "", "request_error",
     "CTL request error: 7\n", 1, 1, "", "", "", 0, 80},
    {"SilentReaderGetsFiveRequestsAfterNinetyMsWaitsAndThirtyMsPauses", "fn 13 noack all",
     LINK_ERROR, "", "",
     NO_ACK + NO_ACK + NO_ACK + NO_ACK + NO_ACK + "CTL send attepts exhausted\n", 1, 5, "", "", "",
     5 * (90 + 30) - 10, 5 * (90 + 30) + 400, 115, 250},
    {"OtherHeaderInPlaceOfAckIsRetriedAndTraced", "fn 13 acktype 3; fn 13 model", 0, "Reader ready",
     "fetched",
     "\nInput size: 0, function: 13\nBytes written: 65\nBytes read: 64\nInvalid CTL response: 3\n"
     "CTL not acknowledged, type: 3, retval: 0, attempt: 1\nBytes written: 65\nBytes read: 64\n"
     "CTL ACK\nCTL acknowledged\nBytes read: 64\nBytes written: 65\nOutput CTL data size: 13\n"
     "Bytes read: 64\nOutput CTL data OK: 13\nFinal return value: 0\n",
     2, 2},
    {"AckAsDataPacketIsRefusedAndRetried", "fn 13 dataheader ack; fn 13 model", 0, "Reader ready",
     "fetched", "Invalid packet type\nCannot read CTL response from reader: -1\n", 1, 2},
    {"ShortAckIsRefusedAndRetried", "fn 13 short ack 5; fn 13 model", 0, "Reader ready", "fetched",
     "Read size invalid\nCannot read CTL response from reader: -1\n", 1, 2},
    // Ten bytes after the control byte that claims eleven: one byte short.
    {"AckOneByteShortIsRefusedAndRetried", "fn 13 short ack 11; fn 13 model", 0, "Reader ready",
     "fetched", "Read size invalid\nCannot read CTL response from reader: -1\n", 1, 2},
    {"WriteFailureOfTheRequestEndsAtOnce", "fn 13 hidfail request", LINK_IO_ERROR, "", "",
     "Write error: -1\nCannot write CTL to reader: -9999\n", 1, 1, "", "", "", 0, 80},
    {"WriteFailureOfTheInputEnds", "fn 258 hidfail input", LINK_IO_ERROR, "", "",
     "Write error: -1\nCannot write input CTL data to reader: -9999\n", 1, 1, "", "", "\x01"},
    {"WriteFailureOfTheFetchEnds", "fail_write 2; fn 13 out \"abc\"", LINK_IO_ERROR, "", "",
     "Write error: -1\nCannot write header to reader: -9999\n"},
    {"CallbackInPlaceOfAckIsQueuedAndTheRequestRepeated",
     "fn 13 cbfirst 1 1 r\"0123456789\"; fn 13 model", 0, "Reader ready", "fetched", "", 1, 2,
     "8B 01 | 8B 16 00 00 00 00 | 8B 18 00 00 00 00 | 8B 01 | 8B 05", "1:10:0123456789", "", 0,
     60000, 29, 250},
    // The removal was announced before the request: queued first.
    {"FiveCallbacksInPlaceOfAckExhaustTheAttemptsAndQueueInOrder",
     "card_removed; fn 13 cbfirst 4 2", LINK_ERROR, "", "", "CTL send attepts exhausted\n", 1, 5,
     "", "4:0:-,2:0:-,2:0:-,2:0:-,2:0:-"},
    {"OutputLargerThanTheCapacityIsRefused", "fn 13 result 3 out rep:300:41", 3, "", "refused",
     "Not enough output data buffer: 300\n", 1, 1, "8B 01 | 8B 09 FF FF FF FB"},
    {"NegativeOutputLengthIsRefusedNotRead", "fn 13 out \"abc\" donelen -100", 0, "", "refused",
     "Not enough output data buffer: -100\n", 1, 1, "8B 01 | 8B 09 FF FF FF FB"},
    {"ErrorInPlaceOfDoneFails", "fn 13 doneerror 12", LINK_ERROR, "", "done_error",
     "CTLDONE fail: 12\n"},
    {"CallbackWhereDoneIsAwaitedIsNotTakenIn", "fn 13 donetype 21", LINK_ERROR, "", "done_error",
     "Incorrect response: 21\n"},
    // What arrived before the unplug stays in the buffer; the length says nothing was fetched.
    {"UnplugDuringOutputEndsWithIoError", "fn 13 out rep:200:42 unplug output", LINK_IO_ERROR,
     std::string(63, 'B'), "fetched", "Read error: -1\nCannot read CTL output data: -9999\n"},
    {"NoDoneWithinTheWaitTimesOutSlow", "fn 13 silent", LINK_TIMEOUT, "", "no_done",
     "Cannot read header from reader: -110\n", 1, 1, "8B 01", "", "", 9990 - 10, 9990 + 1500},
};

class CtlExchange : public EmulatedReaders, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(CtlExchange, Outcome) {
    const ExchangeCase& c = GetParam();
    Reader* r = open_reader(reader_r1(c.statements));
    ASSERT_NE(r, nullptr);
    diag_verbosity = c.verbosity;
    uint8_t out[256] = {};
    int32_t len = sizeof out;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_ctl(r, c.input.empty() ? 13 : 258, static_cast<int32_t>(c.input.size()),
                         reinterpret_cast<const uint8_t*>(c.input.data()), &len, out),
              c.result);
    const double took = elapsed_ms(start);
    EXPECT_EQ(err.finish(), c.err);
    EXPECT_EQ(len, c.result == 0 && !c.output.empty() ? c.output.size() + 1 : 0);
    EXPECT_EQ(reinterpret_cast<char*>(out), c.output);
    EXPECT_GE(took, c.took_min);
    EXPECT_LT(took, c.took_max);
    handled.clear();
    EXPECT_EQ(reader_poll_callbacks(r, record), 0) << "a poll right after takes the queue unread";
    EXPECT_EQ(handled, c.queued);
    EXPECT_EQ(*c.reports ? report_starts("r1", c.reports) : "", c.reports);

    std::vector<double> at;
    for (const emu::Report& rep : emu::reports("r1"))
        if (rep.to_device && rep.bytes[0] == 0x8B && rep.bytes[1] == CTL_REQUEST)
            at.push_back(rep.ms);
    EXPECT_EQ(at.size(), c.requests);
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], c.gap_min) << i;
        EXPECT_LT(at[i] - at[i - 1], c.gap_max) << i;
    }
    const auto x = emu::exchanges("r1");
    EXPECT_EQ(x.empty() ? "" : x.back().outcome, c.outcome);
}

TABLE_TEST(Cases, CtlExchange, CASES);

} // namespace

// Records the watched progress value at every report, then writes it.
extern "C" int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    using WriteFn = int (*)(hid_device*, const unsigned char*, size_t);
    static const auto real = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "hid_write"));
    if (watched != nullptr) seen_at_write.push_back(watched->load());
    return real(dev, data, length);
}
