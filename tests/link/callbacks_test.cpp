// SPDX-License-Identifier: GPL-2.0-or-later
// Callbacks the reader announces: the transfer, the poll and the handler.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"
#include "link/wire.h"
#include "support/capture.h"

namespace {

// What the handler saw: "code:length:data" per call, "-" for no data.
std::string seen;

int32_t record(Reader*, uint16_t code, uint32_t length, const uint8_t* data) {
    seen += (seen.empty() ? "" : ",") + std::to_string(code) + ":" + std::to_string(length) + ":";
    if (data == nullptr)
        seen += "-";
    else if (length <= 16)
        seen += std::string(reinterpret_cast<const char*>(data), length);
    return 0;
}

enum class Before { Nothing, Request, Unplug };

struct PollCase {
    const char* name;
    const char* statements; // of reader r1
    Before before;
    int result;
    const char* seen;
    int verbosity;
    const char* err;        // standard error at that verbosity
    const char* wire;       // starts of the reports the host wrote for the callback
    const char* outcome;    // the reader's record of the callback; "": none
    int32_t host_value = 0; // the CB_DONE or CB_ERROR value it received
    double max_ms = 0;      // 0: no bound
};

void PrintTo(const PollCase& c, std::ostream* os) {
    *os << c.name;
}

const PollCase CASES[] = {
    {"IdleReaderAnswersTimeoutInTenMsSilently", "", Before::Nothing, LINK_TIMEOUT, "", 2, "", "",
     "", 0, 60},
    {"CodeWithoutDataIsAckedQueuedAndDone", "  card_removed\n", Before::Nothing, 4, "4:0:-", 2,
     "Bytes read: 64\nCallback: 4, len: 0\nBytes written: 65\nBytes written: 65\n"
     "Callback processed, retval: 0\n",
     "8B 16 00 00 00 00 00 00 00 00 00 00 | 8B 18 00 00 00 00 00 00 00 00 00 00", "done"},
    {"CardNumberReachesTheHandler", "  callback 1 r\"123456789012\"\n", Before::Nothing, 1,
     "1:12:123456789012", 1, "", "8B 16 | 8B 18", "done"},
    {"OversizedAnnouncementIsRefusedWithNoMemory", "  callback 1 rep:70000:41\n", Before::Nothing,
     1, "", 1, "Not enough memory\n", "8B 1D FF FF FF FE 00 00 00 00 00 00", "refused", -2},
    {"LargestAcceptedCallbackIsTakenIn", "  callback 7 rep:65536:42\n", Before::Nothing, 7,
     "7:65536:", 1, "", "8B 16 | 8B 18", "done"},
    {"OtherHeaderIsDroppedWithMessage", "", Before::Request, LINK_ERROR, "", 1,
     "Not a callback header: 2", "", ""},
    {"UnplugEndsThePollWithIoError", "", Before::Unplug, LINK_IO_ERROR, "", 1, "Read error: -1\n",
     "", ""},
};

class Callbacks : public EmulatedReaders {
  protected:
    void SetUp() override {
        EmulatedReaders::SetUp();
        seen.clear();
    }
};

class CallbackPoll : public Callbacks, public ::testing::WithParamInterface<PollCase> {};

TEST_P(CallbackPoll, Outcome) {
    const PollCase& c = GetParam();
    Reader* r = open_reader(std::string("device r1 0x0204\n  serial C1\n") + c.statements);
    ASSERT_NE(r, nullptr);
    size_t before = 0;
    if (c.before == Before::Request) {
        // A bare CTL_REQUEST, so that the reader answers with a CTL_ACK.
        CtlHeader request;
        ctl_header_clear(&request);
        ctl_header_set_type(&request, CTL_REQUEST);
        ctl_header_set_code(&request, 13);
        reader_write_header(r, request);
        before = 1;
    }
    if (c.before == Before::Unplug) emu::unplug("r1");
    diag_verbosity = c.verbosity;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_poll_callbacks(r, record), c.result);
    const double took = elapsed_ms(start);
    EXPECT_EQ(err.finish(), c.err);
    if (c.max_ms > 0) {
        EXPECT_GE(took, 9);
        EXPECT_LT(took, c.max_ms);
    }
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(wire_starts("r1", c.wire, before), c.wire);
    const auto cbs = emu::callbacks("r1");
    EXPECT_EQ(cbs.empty() ? "" : cbs[0].outcome, c.outcome);
    if (cbs.empty()) return;
    EXPECT_EQ(cbs.size(), 1u);
    EXPECT_EQ(cbs[0].host_value, c.host_value);
}

INSTANTIATE_TEST_SUITE_P(Cases, CallbackPoll, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Callbacks that came in place of an acknowledgement are handed out by the
// next poll without reading, and a poll without handler still empties them.
TEST_F(Callbacks, PollAfterAnExchangeDispatchesWithoutReading) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n  fn 13 cbfirst 2 1 r\"A\"\n"
                            "  fn 13 cbfirst 1 3 r\"B\"\n  fn 13 model\n");
    int32_t len = 256;
    uint8_t out[256];
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    const size_t before = host_reports("r1").size();
    const double start = now_ms();
    EXPECT_EQ(reader_poll_callbacks(r, record), 0);
    EXPECT_LT(elapsed_ms(start), 5) << "no wait for the reader";
    EXPECT_EQ(host_reports("r1").size(), before);
    EXPECT_EQ(r->in_ctl, 0);
    EXPECT_EQ(seen, "1:1:A,1:1:A");
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT) << "the next poll reads again";

    len = 256;
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(reader_poll_callbacks(r, nullptr), 0);
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT);
    EXPECT_EQ(seen, "1:1:A,1:1:A") << "the queue was emptied without the handler";
}

} // namespace
