// SPDX-License-Identifier: GPL-2.0-or-later
// Waiting until a reader is ready: busy, not ready, status 0, failures, and
// what the card test worker's ReadyWatch shows and stops.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <sstream>
#include <thread>

#include "services/reader_functions.h"
#include "services/reader_status.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

constexpr int32_t NO_WATCH = INT32_MIN;

struct WaitCase {
    const char* name;
    const char* status; // the reader's status items
    int result;
    size_t requests;
    const char* traces; // the wait's own lines at verbosity 2
    int32_t shown;      // what the watch shows at the end; NO_WATCH: no watch given
    bool stop;          // the watch asks to stop from the start
    double min_ms;
    double max_ms; // 0: no bound
};

void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << c.name;
}

const WaitCase CASES[] = {
    {"ReadyAtOnce", "1", 0, 1, "", NO_WATCH, false, 0, 100},
    {"BusyTwiceThenReady", "busy:2 1", 0, 3, "Busy: -25\nBusy: -25\n", 1, false, 990, 1500},
    {"NotReadyIsTracedUntilReady", "2:2 1", 0, 3, "Reader not ready: 2\nReader not ready: 2\n",
     NO_WATCH, false, 0, 0},
    {"FourthZeroStatusCountsAsReady", "0", 0, 4,
     "Reader not ready: 0\nReader not ready: 0\nReader not ready: 0\n", NO_WATCH, false, 0, 0},
    {"ZerosNeedNotComeInARow", "cycle 0 2", 0, 7,
     "Reader not ready: 0\nReader not ready: 2\nReader not ready: 0\nReader not ready: 2\n"
     "Reader not ready: 0\nReader not ready: 2\n",
     NO_WATCH, false, 0, 0},
    {"UpdateNeededCountsAsReady", "6", 0, 1, "", 6, false, 0, 0},
    {"FailureEndsAfterTwoSeconds", "error=-110", -110, 1, "Cannot get status: -110\n", 0, false,
     1990, 2600},
    {"StopRequestEndsTheWaitAfterNotReady", "4", -1, 1, "Reader not ready: 4\n", 4, true, 495, 0},
    {"StopRequestEndsTheWaitOnABusyReaderToo", "busy", -1, 1, "Busy: -25\n", STATUS_REBOOTING, true,
     0, 1000},
};

class WaitReady : public EmulatedReaders, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitReady, Sequence) {
    const WaitCase& c = GetParam();
    Reader* r =
        open_reader(std::string("device r1 0x0204\n  serial W1\n  status ") + c.status + "\n");
    ASSERT_NE(r, nullptr);
    std::atomic<int32_t> shown{0};
    std::atomic<uint8_t> stop{c.stop ? uint8_t{1} : uint8_t{0}};
    diag_verbosity = 2;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r, c.shown == NO_WATCH ? ReadyWatch{} : ReadyWatch{&shown, &stop}),
              c.result);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, c.min_ms);
    if (c.max_ms > 0) {
        EXPECT_LT(took, c.max_ms);
    }
    std::istringstream lines(err.finish());
    std::string traces;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Busy:", 0) == 0 || line.rfind("Cannot get status:", 0) == 0 ||
            line.rfind("Reader not ready:", 0) == 0)
            traces += line + "\n";
    EXPECT_EQ(traces, c.traces);
    if (c.shown != NO_WATCH) {
        EXPECT_EQ(shown.load(), c.shown);
    }
    const auto x = emu::exchanges("r1");
    EXPECT_EQ(x.size(), c.requests);
    for (const emu::Exchange& e : x) {
        EXPECT_EQ(e.function, FN_GET_STATUS);
        EXPECT_EQ(e.capacity, 4u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WaitReady, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

class ReadyWatchWhileBusy : public EmulatedReaders {};

TEST_F(ReadyWatchWhileBusy, ShowsRebootingUntilTheReaderAnswers) {
    Reader* r = open_reader("device r1 0x0204\n  serial W1\n  status busy:2 4\n");
    std::atomic<int32_t> shown{0};
    std::atomic<uint8_t> stop{0};
    std::thread waiter([r, &shown, &stop] { reader_wait_ready(r, {&shown, &stop}); });
    const auto after_requests = [](size_t n) {
        while (emu::exchanges("r1").size() < n)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    after_requests(1);
    EXPECT_EQ(shown.load(), STATUS_REBOOTING);
    after_requests(3);
    EXPECT_EQ(shown.load(), 4);
    stop = 1;
    waiter.join();
}

TEST(StatusText, Table) {
    std::string texts;
    for (int32_t code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 100, 101, -1})
        texts += std::to_string(code) + " " + reader_status_text(code) + "\n";
    EXPECT_EQ(texts, "0 unknown reader status\n1 reader operating ok\n2 reader initializing\n"
                     "3 reader init error\n4 reader firmware update in progress\n"
                     "5 reader fw update error\n6 reader firmware update needed\n"
                     "7 reader selftest error\n8 undefined reader status\n"
                     "100 USB firmware not compatible with reader\n101 no reader connected\n"
                     "-1 reader rebooting\n");
}

} // namespace
