// Callbacks the reader announces: the transfer, the poll and the handler.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What the handler saw, one "code:length:data" per call; "-" for no data.
std::vector<std::string> seen;

int32_t record(Reader*, uint16_t code, uint32_t length, const uint8_t* data) {
    std::string text = std::to_string(code) + ":" + std::to_string(length) + ":";
    if (data == nullptr)
        text += "-";
    else if (length <= 16)
        text += std::string(reinterpret_cast<const char*>(data), length);
    seen.push_back(text);
    return 0;
}

enum class Before { Nothing, Request, Unplug };

struct PollCase {
    const char* name;
    const char* statements; // of reader r1
    Before before = Before::Nothing;
    int result = 0;
    std::vector<std::string> seen = {};
    int verbosity = 1;
    std::string err = "";         // standard error at that verbosity
    std::vector<Bytes> wire = {}; // starts of the reports the host wrote for the callback
    const char* outcome = "";     // the reader's record of the callback; "": none
    int32_t host_value = 0;
    double max_ms = 1000;
};

void PrintTo(const PollCase& c, std::ostream* os) {
    *os << c.name;
}

const PollCase CASES[] = {
    {.name = "IdleReaderAnswersTimeoutInTenMsSilently",
     .statements = "",
     .result = LINK_TIMEOUT,
     .verbosity = 2,
     .max_ms = 60},
    {.name = "CodeWithoutDataIsAckedQueuedAndDone",
     .statements = "  card_removed\n",
     .result = 4,
     .seen = {"4:0:-"},
     .verbosity = 2,
     .err = "Bytes read: 64\nCallback: 4, len: 0\nBytes written: 65\nBytes written: 65\n"
            "Callback processed, retval: 0\n",
     .wire = {{0x8B, CB_ACK, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
              {0x8B, CB_DONE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
     .outcome = "done"},
    {.name = "CardNumberReachesTheHandler",
     .statements = "  callback 1 r\"123456789012\"\n",
     .result = 1,
     .seen = {"1:12:123456789012"},
     .wire = {{0x8B, CB_ACK}, {0x8B, CB_DONE}},
     .outcome = "done"},
    {.name = "OversizedAnnouncementIsRefusedWithNoMemory",
     .statements = "  callback 1 rep:70000:41\n",
     .result = 1,
     .err = "Not enough memory\n",
     .wire = {{0x8B, CB_ERROR, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0}},
     .outcome = "refused",
     .host_value = -2},
    {.name = "LargestAcceptedCallbackIsTakenIn",
     .statements = "  callback 7 rep:65536:42\n",
     .result = 7,
     .seen = {"7:65536:"},
     .wire = {{0x8B, CB_ACK}, {0x8B, CB_DONE}},
     .outcome = "done"},
    {.name = "OtherHeaderIsDroppedWithMessage",
     .statements = "",
     .before = Before::Request,
     .result = LINK_ERROR,
     .err = "Not a callback header: 2"},
    {.name = "UnplugEndsThePollWithIoError",
     .statements = "",
     .before = Before::Unplug,
     .result = LINK_IO_ERROR,
     .err = "Read error: -1\n"},
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
    EXPECT_LT(took, c.max_ms);
    if (c.result == LINK_TIMEOUT) {
        EXPECT_GE(took, 9);
    }
    EXPECT_EQ(seen, c.seen);
    const auto sent = host_reports("r1");
    ASSERT_EQ(sent.size(), before + c.wire.size());
    for (size_t i = 0; i < c.wire.size(); ++i)
        EXPECT_EQ(Bytes(sent[before + i].begin(), sent[before + i].begin() + c.wire[i].size()),
                  c.wire[i])
            << "report " << i;
    const auto cbs = emu::callbacks("r1");
    if (*c.outcome == '\0') {
        EXPECT_TRUE(cbs.empty());
        return;
    }
    ASSERT_EQ(cbs.size(), 1u);
    EXPECT_EQ(cbs[0].outcome, c.outcome);
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
    EXPECT_EQ(seen, (std::vector<std::string>{"1:1:A", "1:1:A"}));
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT) << "the next poll reads again";

    len = 256;
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(reader_poll_callbacks(r, nullptr), 0);
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT);
    EXPECT_EQ(seen.size(), 2u) << "the queue was emptied without the handler";
}

} // namespace
