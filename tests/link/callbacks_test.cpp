// SPDX-License-Identifier: GPL-2.0-or-later
// Callbacks the reader announces: the transfer, the poll, the handler and
// the per-reader queue of callbacks that came in place of an acknowledgement.

#include "base/result.h"
#include "link/callback_queue.h"
#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_rig.h"

namespace {

enum class Before { Nothing, Request, Unplug };

// A poll of reader r1 given the statements: its result, the verbosity, what
// the handler saw, standard error at the verbosity, the starts of the reports
// the host wrote for the callback, the reader's record of each callback: its
// outcome and the CB_DONE or CB_ERROR value it received.
struct PollCase {
    const char *name, *statements;
    int result, verbosity;
    const char *handled, *err, *reports, *outcome;
    Before before = Before::Nothing;
};

const PollCase CASES[] = {
    {"IdleReaderAnswersTimeoutInTenMsSilently", "", LINK_TIMEOUT, 2, "", "", "", ""},
    {"CodeWithoutDataIsAckedQueuedAndDone", "card_removed", 4, 2, "4:0:-",
     "Bytes read: 64\nCallback: 4, len: 0\nBytes written: 65\nBytes written: 65\n"
     "Callback processed, retval: 0\n",
     "8B 16 00 00 00 00 00 00 00 00 00 00 | 8B 18 00 00 00 00 00 00 00 00 00 00", "done 0\n"},
    {"CardNumberReachesTheHandler", "callback 1 r\"123456789012\"", 1, 1, "1:12:123456789012", "",
     "8B 16 | 8B 18", "done 0\n"},
    {"OversizedAnnouncementIsRefusedWithNoMemory", "callback 1 rep:70000:41", 1, 1, "",
     "Not enough memory\n", "8B 1D FF FF FF FE 00 00 00 00 00 00", "refused -2\n"},
    {"LargestAcceptedCallbackIsTakenIn", "callback 7 rep:65536:42", 7, 1, "7:65536:BBBBBBBBBBBB",
     "", "8B 16 | 8B 18", "done 0\n"},
    {"OtherHeaderIsDroppedWithMessage", "", LINK_ERROR, 1, "", "Not a callback header: 2", "", "",
     Before::Request},
    {"UnplugEndsThePollWithIoError", "", LINK_IO_ERROR, 1, "", "Read error: -1\n", "", "",
     Before::Unplug},
};

class CallbackPoll : public EmulatedReaders, public ::testing::WithParamInterface<PollCase> {};

TEST_P(CallbackPoll, Outcome) {
    const PollCase& c = GetParam();
    Reader* r = open_reader(reader_r1(c.statements));
    ASSERT_NE(r, nullptr);
    handled.clear();
    if (c.before == Before::Request) {
        const uint8_t request[CTL_HEADER_SIZE] = {CTL_REQUEST, 0, 0, 0, 0, 0, 13};
        reader_write_block(r, request, CTL_HEADER_SIZE, true);
    }
    if (c.before == Before::Unplug) emu::unplug("r1");
    diag_verbosity = c.verbosity;
    FdCapture err(2);
    const double start = now_ms();
    EXPECT_EQ(reader_poll_callbacks(r, record), c.result);
    const double took = elapsed_ms(start);
    EXPECT_EQ(err.finish(), c.err);
    EXPECT_GE(took, c.result == LINK_TIMEOUT ? 9 : 0);
    EXPECT_LT(took, c.result == LINK_TIMEOUT ? 250 : 60000);
    EXPECT_EQ(handled, c.handled);
    EXPECT_EQ(report_starts("r1", c.reports, c.before == Before::Request), c.reports);
    std::string record;
    for (const emu::Callback& cb : emu::callbacks("r1"))
        record += cb.outcome + " " + std::to_string(cb.host_value) + "\n";
    EXPECT_EQ(record, c.outcome);
}

TABLE_TEST(Cases, CallbackPoll, CASES);

class Callbacks : public EmulatedReaders {};

// The exchange tests poll right after each exchange. A poll without handler
// empties the queue too, and the poll after it reads again; the queue takes
// callbacks again once emptied, and closing frees what is left in it.
TEST_F(Callbacks, PollWithoutHandlerEmptiesTheQueue) {
    Reader* r = open_reader(reader_r1("fn 13 cbfirst 2 1 r\"A\""));
    int32_t len = 256;
    uint8_t out[256];
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(reader_poll_callbacks(r, nullptr), 0);
    handled.clear();
    EXPECT_EQ(reader_poll_callbacks(r, record), LINK_TIMEOUT);
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
    EXPECT_EQ(reader_poll_callbacks(r, record), 0);
    EXPECT_EQ(handled, "1:1:A,1:1:A");
    ASSERT_EQ(reader_ctl(r, 13, 0, nullptr, &len, out), 0);
}

// The program's poll only peeks and drops; a pop can also copy the record.
TEST(CallbackQueue, PopCopiesTheRecordOut) {
    Reader reader;
    ASSERT_EQ(cb_queue_push(&reader.callbacks, 7, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
    uint16_t code = 0;
    uint32_t length = 0;
    char copy[4] = {};
    EXPECT_EQ(cb_queue_pop(&reader.callbacks, &code, &length, reinterpret_cast<uint8_t*>(copy)), 0);
    EXPECT_EQ(std::to_string(code) + ":" + std::to_string(length) + ":" + copy, "7:3:abc");
    EXPECT_EQ(cb_queue_pop(&reader.callbacks, &code, &length, reinterpret_cast<uint8_t*>(copy)), 1);
    EXPECT_EQ(reader.callbacks.tail, nullptr);
}

} // namespace
