// Callbacks the reader announces: the transfer, the poll and the handler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

struct Seen {
    uint16_t code;
    uint32_t length;
    bool null_data;
    std::string data;
};
std::vector<Seen> seen;

int32_t record(Reader*, uint16_t code, uint32_t length, const uint8_t* data) {
    seen.push_back({code, length, data == nullptr,
                    data ? std::string(reinterpret_cast<const char*>(data), length) : ""});
    return 0;
}

class Callbacks : public EmulatedReaders {
  protected:
    void SetUp() override {
        EmulatedReaders::SetUp();
        seen.clear();
    }
};

TEST_F(Callbacks, IdleReaderAnswersTimeoutInTenMsSilently) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n");
    diag_verbosity = 2;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, 9);
    EXPECT_LT(took, 60);
    EXPECT_EQ(err.finish(), "");
    EXPECT_TRUE(seen.empty());
}

TEST_F(Callbacks, CodeWithoutDataIsAckedQueuedAndDone) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n  card_removed\n");
    EXPECT_EQ(reader_poll_callbacks(r, record), 4);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, 4);
    EXPECT_EQ(seen[0].length, 0u);
    EXPECT_TRUE(seen[0].null_data);
    const auto sent = host_reports("r1");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(sent[0].begin(), sent[0].begin() + 12),
              (std::vector<uint8_t>{0x8B, CB_ACK, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(sent[1].begin(), sent[1].begin() + 12),
              (std::vector<uint8_t>{0x8B, CB_DONE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Callbacks, CardNumberDataReachesTheHandler) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n  callback 1 r\"123456789012\"\n");
    EXPECT_EQ(reader_poll_callbacks(r, record), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, "123456789012");
    const auto cbs = emu::callbacks("r1");
    ASSERT_EQ(cbs.size(), 1u);
    EXPECT_EQ(cbs[0].outcome, "done");
    EXPECT_EQ(cbs[0].host_value, 0);
}

TEST_F(Callbacks, OversizedAnnouncementIsRefusedWithNoMemory) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n  callback 1 rep:70000:41\n");
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(reader_poll_callbacks(r, record), 1) << "the poll still returns the code";
    EXPECT_EQ(err.finish(), "Not enough memory\n");
    EXPECT_TRUE(seen.empty()) << "nothing queued";
    const auto cbs = emu::callbacks("r1");
    ASSERT_EQ(cbs.size(), 1u);
    EXPECT_EQ(cbs[0].outcome, "refused");
    EXPECT_EQ(cbs[0].host_value, -2);
    const auto sent = host_reports("r1");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(sent[0].begin(), sent[0].begin() + 12),
              (std::vector<uint8_t>{0x8B, 0x1D, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Callbacks, LargestAcceptedCallbackIsTakenIn) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n  callback 7 rep:65536:42\n");
    EXPECT_EQ(reader_poll_callbacks(r, record), 7);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].length, CB_MAX_LENGTH);
}

TEST_F(Callbacks, PollAfterAnExchangeDispatchesWithoutReading) {
    Reader* r =
        open_reader("device r1 0x0204\n  serial C1\n  fn 13 cbfirst 2 1 r\"A\"\n  fn 13 model\n");
    int32_t len = 256;
    uint8_t out[256];
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    const size_t before = host_reports("r1").size();
    const double start = now_ms();
    EXPECT_EQ(reader_poll_callbacks(r, record), 0);
    EXPECT_LT(elapsed_ms(start), 5) << "no wait for the reader";
    EXPECT_EQ(host_reports("r1").size(), before);
    EXPECT_EQ(r->in_ctl, 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].data, "A");
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT) << "the next poll reads again";
}

TEST_F(Callbacks, OtherHeaderIsDroppedWithMessage) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n");
    CtlHeader request;
    ctl_header_clear(&request);
    ctl_header_set_type(&request, CTL_REQUEST);
    ctl_header_set_code(&request, 13);
    reader_write_header(r, request);
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_ERROR);
    EXPECT_EQ(err.finish(), "Not a callback header: 2");
    EXPECT_EQ(host_reports("r1").size(), 1u) << "nothing sent to the reader";
}

TEST_F(Callbacks, NullHandlerStillEmptiesTheQueue) {
    Reader* r =
        open_reader("device r1 0x0204\n  serial C1\n  fn 13 cbfirst 3 1 r\"B\"\n  fn 13 model\n");
    int32_t len = 256;
    uint8_t out[256];
    reader_ctl(r, 13, 0, nullptr, &len, out);
    EXPECT_EQ(reader_poll_callbacks(r, nullptr), 0);
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT);
    EXPECT_TRUE(seen.empty());
}

TEST_F(Callbacks, UnplugEndsThePollWithIoError) {
    Reader* r = open_reader("device r1 0x0204\n  serial C1\n");
    emu::unplug("r1");
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_IO_ERROR);
}

} // namespace
