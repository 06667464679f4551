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
    int result = 0;
    size_t requests = 1;
    std::vector<std::string> traces = {}; // the wait's own lines at verbosity 2
    int32_t shown = NO_WATCH;             // status the watch shows at the end
    bool stop = false;                    // the watch asks to stop from the start
    double min_ms = 0;
    double max_ms = 1e9;
};

void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << c.name;
}

const WaitCase CASES[] = {
    {.name = "ReadyAtOnce", .status = "1", .max_ms = 100},
    {.name = "BusyTwiceThenReady",
     .status = "busy:2 1",
     .requests = 3,
     .traces = {"Busy: -25", "Busy: -25"},
     .shown = 1,
     .min_ms = 990,
     .max_ms = 1500},
    {.name = "NotReadyIsTracedUntilReady",
     .status = "2:2 1",
     .requests = 3,
     .traces = {"Reader not ready: 2", "Reader not ready: 2"}},
    {.name = "FourthZeroStatusCountsAsReady",
     .status = "0",
     .requests = 4,
     .traces = {"Reader not ready: 0", "Reader not ready: 0", "Reader not ready: 0"}},
    {.name = "ZerosNeedNotComeInARow",
     .status = "cycle 0 2",
     .requests = 7,
     .traces = {"Reader not ready: 0", "Reader not ready: 2", "Reader not ready: 0",
                "Reader not ready: 2", "Reader not ready: 0", "Reader not ready: 2"}},
    {.name = "UpdateNeededCountsAsReady", .status = "6", .shown = 6},
    {.name = "FailureEndsAfterTwoSeconds",
     .status = "error=-110",
     .result = -110,
     .traces = {"Cannot get status: -110"},
     .shown = 0,
     .min_ms = 1990,
     .max_ms = 2600},
    {.name = "StopRequestEndsTheWaitAfterNotReady",
     .status = "4",
     .result = -1,
     .traces = {"Reader not ready: 4"},
     .shown = 4,
     .stop = true,
     .min_ms = 495},
    {.name = "StopRequestEndsTheWaitOnABusyReaderToo",
     .status = "busy",
     .result = -1,
     .traces = {"Busy: -25"},
     .shown = STATUS_REBOOTING,
     .stop = true,
     .max_ms = 1000},
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
    EXPECT_LT(took, c.max_ms);
    std::istringstream lines(err.finish());
    std::vector<std::string> traces;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Busy:", 0) == 0 || line.rfind("Cannot get status:", 0) == 0 ||
            line.rfind("Reader not ready:", 0) == 0)
            traces.push_back(line);
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
    const std::pair<int32_t, const char*> cases[] = {
        {0, "unknown reader status"},
        {1, "reader operating ok"},
        {2, "reader initializing"},
        {3, "reader init error"},
        {4, "reader firmware update in progress"},
        {5, "reader fw update error"},
        {6, "reader firmware update needed"},
        {7, "reader selftest error"},
        {100, "USB firmware not compatible with reader"},
        {101, "no reader connected"},
        {-1, "reader rebooting"},
        {8, "undefined reader status"}};
    for (const auto& [code, text] : cases)
        EXPECT_STREQ(reader_status_text(code), text) << code;
}

} // namespace
