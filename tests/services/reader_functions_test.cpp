// SPDX-License-Identifier: GPL-2.0-or-later
// What a parameter read asks and delivers; waiting until a reader is ready
// (busy, not ready, status 0, failures, what the card test worker's
// ReadyWatch shows and stops); the status texts.

#include <climits>

#include "base/result.h"
#include "link/reader_rig.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

// Reader r1's statements, the key and capacity asked; the result and the
// buffer afterwards.
struct ParamCase {
    const char *name, *statements, *key;
    uint32_t capacity;
    int32_t result;
    const char* value;
};

const ParamCase PARAMS[] = {
    {"ValueIsDelivered", "", PARAM_FWVERSION, 256, 0, "2.14.0"},
    {"UnknownKeyLeavesTheBufferAlone", "noparam SOUND", PARAM_SOUND, 256, -2, "untouched"},
    {"RefusedValueLeavesTheBufferAlone", "fn 504 out rep:300:41", PARAM_FWVERSION, 256,
     PARAM_NOT_DELIVERED, "untouched"},
    {"UnterminatedValueIsCutToTheCapacity", "fn 504 out r\"ABCDEFGH\"", PARAM_FWVERSION, 8, 0,
     "ABCDEFG"},
    {"UnterminatedValueEndsWhereItsBytesEnd", "fn 504 out r\"ABCDEFGH\"", PARAM_FWVERSION, 32, 0,
     "ABCDEFGH"},
};

class ParamRead : public EmulatedReaders, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(ParamRead, Value) {
    const ParamCase& c = GetParam();
    Reader* r = open_reader(reader_r1(c.statements));
    ASSERT_NE(r, nullptr);
    char value[PARAM_VALUE_SIZE] = "untouched";
    EXPECT_EQ(reader_get_param(r, c.key, value, static_cast<int32_t>(c.capacity)), c.result);
    EXPECT_STREQ(value, c.value);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].function, FN_GET_PARAM);
    EXPECT_EQ(std::string(x[0].input.begin(), x[0].input.end()), std::string(c.key) + '\0');
    EXPECT_EQ(x[0].capacity, c.capacity);
}

TABLE_TEST(Cases, ParamRead, PARAMS);

constexpr int32_t NO_WATCH = INT32_MIN;

// The reader's status items; the wait's result, the status requests, the
// wait's own lines at verbosity 2, what the watch shows at the end (NO_WATCH:
// no watch given), whether it asks to stop from the start, the ms it takes.
struct WaitCase {
    const char *name, *status;
    int result;
    size_t requests;
    const char* traces;
    int32_t shown;
    double min_ms = 0, max_ms = 60000;
    bool stop = false;
};

const WaitCase CASES[] = {
    {"ReadyAtOnce", "1", 0, 1, "", NO_WATCH, 0, 500},
    {"BusyTwiceThenReady", "busy:2 1", 0, 3, "Busy: -25\nBusy: -25\n", 1, 990, 3000},
    {"NotReadyIsTracedUntilReady", "2:2 1", 0, 3, "Reader not ready: 2\nReader not ready: 2\n",
     NO_WATCH},
    {"FourthZeroStatusCountsAsReady", "0", 0, 4,
     "Reader not ready: 0\nReader not ready: 0\nReader not ready: 0\n", NO_WATCH},
    {"ZerosNeedNotComeInARow", "cycle 0 2", 0, 7,
     "Reader not ready: 0\nReader not ready: 2\nReader not ready: 0\nReader not ready: 2\n"
     "Reader not ready: 0\nReader not ready: 2\n",
     NO_WATCH},
    {"UpdateNeededCountsAsReady", "6", 0, 1, "", 6},
    {"FailureEndsAfterTwoSeconds", "error=-110", -110, 1, "Cannot get status: -110\n", NO_WATCH,
     1990, 4000},
    {"StopRequestEndsTheWaitAfterNotReady", "4", READY_WAIT_STOPPED, 1, "Reader not ready: 4\n", 4,
     495, 60000, true},
    {"StopRequestEndsTheWaitOnABusyReaderShowingRebooting", "busy", READY_WAIT_STOPPED, 1,
     "Busy: -25\n", STATUS_REBOOTING, 0, 1000, true},
};

class WaitReady : public EmulatedReaders, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitReady, Sequence) {
    const WaitCase& c = GetParam();
    Reader* r = open_reader(reader_r1(std::string("status ") + c.status));
    ASSERT_NE(r, nullptr);
    std::atomic<int32_t> shown{NO_WATCH};
    std::atomic<uint8_t> stop{c.stop};
    diag_verbosity = 2;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_wait_ready(r, c.shown == NO_WATCH ? ReadyWatch{} : ReadyWatch{&shown, &stop}),
              c.result);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, c.min_ms);
    EXPECT_LT(took, c.max_ms);
    EXPECT_EQ(lines_with(err.finish(), {"Busy:", "status:", "not ready:"}), c.traces);
    EXPECT_EQ(shown.load(), c.shown);
    const auto x = emu::exchanges("r1");
    ASSERT_EQ(x.size(), c.requests);
    EXPECT_EQ(x[0].capacity, 4u) << "the 4-byte status";
}

TABLE_TEST(Cases, WaitReady, CASES);

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
