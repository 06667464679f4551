// Waiting until a reader is ready: busy, not ready, status 0, failures and
// the card test worker's state.
#include <gtest/gtest.h>

#include <thread>

#include "services/reader_functions.h"
#include "services/reader_status.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

// What a card test worker lets the wait see: the status shown and its stop flag.
struct Watched {
    std::atomic<int32_t> status{0};
    std::atomic<uint8_t> stop_requested{0};
    ReadyWatch watch() { return {&status, &stop_requested}; }
};

class WaitReady : public EmulatedReaders {
  protected:
    Reader* with_status(const std::string& items) {
        return open_reader("device r1 0x0204\n  serial W1\n  status " + items + "\n");
    }
    size_t status_requests() { return emu::exchanges("r1").size(); }
};

TEST_F(WaitReady, ReadyAtOnce) {
    Reader* r = with_status("1");
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r), 0);
    EXPECT_LT(elapsed_ms(start), 100);
    EXPECT_EQ(status_requests(), 1u);
    EXPECT_EQ(emu::exchanges("r1")[0].capacity, 4u);
}

TEST_F(WaitReady, BusyTwiceThenReady) {
    Reader* r = with_status("busy:2 1");
    Watched state;
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r, state.watch()), 0);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, 990);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(status_requests(), 3u);
    EXPECT_EQ(state.status.load(), 1);
}

TEST_F(WaitReady, BusyShowsRebootingInTheTestState) {
    Reader* r = with_status("busy:2 4");
    Watched state;
    std::thread waiter([r, &state] { reader_wait_ready(r, state.watch()); });
    while (status_requests() < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(state.status.load(), STATUS_REBOOTING);
    while (status_requests() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(state.status.load(), 4);
    state.stop_requested = 1;
    waiter.join();
}

TEST_F(WaitReady, NotReadyIsTracedUntilReady) {
    Reader* r = with_status("2:2 1");
    diag_verbosity = 2;
    FdCapture err(2);
    EXPECT_EQ(reader_wait_ready(r), 0);
    const std::string text = err.finish();
    size_t traces = 0;
    for (size_t at = 0; (at = text.find("Reader not ready: 2\n", at)) != std::string::npos; ++at)
        ++traces;
    EXPECT_EQ(traces, 2u);
    EXPECT_EQ(status_requests(), 3u);
}

TEST_F(WaitReady, FourthZeroStatusCountsAsReady) {
    Reader* r = with_status("0");
    EXPECT_EQ(reader_wait_ready(r), 0);
    EXPECT_EQ(status_requests(), 4u);
}

TEST_F(WaitReady, ZerosNeedNotComeInARow) {
    Reader* r = with_status("cycle 0 2");
    EXPECT_EQ(reader_wait_ready(r), 0);
    EXPECT_EQ(status_requests(), 7u);
}

TEST_F(WaitReady, UpdateNeededCountsAsReady) {
    Reader* r = with_status("6");
    EXPECT_EQ(reader_wait_ready(r), 0);
    EXPECT_EQ(status_requests(), 1u);
}

TEST_F(WaitReady, FailureEndsAfterTwoSeconds) {
    Reader* r = with_status("error=-110");
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r), -110);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, 1990);
    EXPECT_LT(took, 2600);
}

TEST_F(WaitReady, StopRequestEndsTheWaitAfterNotReady) {
    Reader* r = with_status("4");
    Watched state;
    state.stop_requested = 1;
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r, state.watch()), -1);
    EXPECT_GE(elapsed_ms(start), 495) << "after the 500 ms pause";
    EXPECT_EQ(status_requests(), 1u);
    EXPECT_EQ(state.status.load(), 4);
}

TEST_F(WaitReady, StopRequestEndsTheWaitOnABusyReaderToo) {
    Reader* r = with_status("busy");
    Watched state;
    state.stop_requested = 1;
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r, state.watch()), -1);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(state.status.load(), STATUS_REBOOTING);
}

TEST(StatusText, Table) {
    EXPECT_STREQ(reader_status_text(0), "unknown reader status");
    EXPECT_STREQ(reader_status_text(1), "reader operating ok");
    EXPECT_STREQ(reader_status_text(6), "reader firmware update needed");
    EXPECT_STREQ(reader_status_text(100), "USB firmware not compatible with reader");
    EXPECT_STREQ(reader_status_text(101), "no reader connected");
    EXPECT_STREQ(reader_status_text(-1), "reader rebooting");
    EXPECT_STREQ(reader_status_text(8), "undefined reader status");
}

} // namespace
