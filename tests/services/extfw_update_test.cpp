// SPDX-License-Identifier: GPL-2.0-or-later
// The module firmware sequence: Start with the length, 504-byte pieces,
// Finish; busy waits, an unfinished earlier sequence, rejected pieces. The
// process tests watch the progress it shows.

#include <numeric>

#include "link/reader_rig.h"
#include "services/extfw_update.h"
#include "services/reader_functions.h"

namespace {

// Reader r1's statements and the image size; the result, "function:input
// size" of each exchange, the lines about Extfw at verbosity 2, the least ms
// between the first exchanges and the most from the first to the third.
struct ExtfwCase {
    const char *name, *statements;
    uint32_t size;
    int32_t result;
    const char *calls, *traces = "";
    double first_gap = 0, second_gap = 0, max_ms = 60000;
};

const ExtfwCase CASES[] = {
    {"ImageGoesOutIn504BytePieces", "", 1009, 0, "535:4 536:504 536:504 536:1 537:0"},
    {"ExactMultipleHasNoEmptyPiece", "", 1008, 0, "535:4 536:504 536:504 537:0"},
    {"EmptyImageIsStartAndFinish", "", 0, 0, "535:4 537:0"},
    {"BusyStartIsAskedAgainAfterGrowingWaits", "extfw busy start 2", 10, 0,
     "535:4 535:4 535:4 536:10 537:0", "Extfw busy\nExtfw busy\n", 9, 14, 200},
    {"BusyPieceIsRepeatedNeverSkipped", "extfw busy piece 2 4", 1500, 0,
     "535:4 536:504 536:504 536:504 536:504 536:504 536:504 536:492 537:0",
     "Extfw busy\nExtfw busy\nExtfw busy\nExtfw busy\n"},
    {"RejectedPieceEndsWithoutFinish", "extfw reject piece 2 -5", 1500, -5, "535:4 536:504 536:504",
     "Cannot send Extfw data: -5\n"},
    {"UnfinishedSequenceIsClosedAndStartedAgain", "extfw unfinished 2000", 600, 0,
     "535:4 537:0 535:4 536:504 536:96 537:0", "Extfw seq error\n"},
    {"StartFailureIsReported", "fn 535 result -7", 0, -7, "535:4",
     "Cannot start Extfw update: -7\n"},
    {"ModuleThatKeepsReportingAnOldSequenceGivesUp", "fn 535 result -13", 0, RDR_SEQUENCE_ERROR,
     "535:4 537:0 535:4 537:0 535:4 537:0 535:4 537:0 535:4 537:0 535:4",
     "Extfw seq error\nExtfw seq error\nExtfw seq error\nExtfw seq error\nExtfw seq error\n"
     "Cannot start Extfw update: -13\n"},
    {"FinishFailureIsReported", "fn 537 result -9", 0, -9, "535:4 537:0",
     "Cannot finalize Extfw update: -9\n"},
};

class ExtfwSequence : public EmulatedReaders, public ::testing::WithParamInterface<ExtfwCase> {};

TEST_P(ExtfwSequence, Exchanges) {
    const ExtfwCase& c = GetParam();
    Reader* r = open_reader(reader_r1(c.statements));
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> image(c.size);
    std::iota(image.begin(), image.end(), uint8_t{3});
    diag_verbosity = 2;
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, image.data(), c.size), c.result);
    EXPECT_EQ(lines_with(err.finish(), {"Extfw"}), c.traces);
    const std::vector<uint8_t> length{0, 0, static_cast<uint8_t>(c.size >> 8),
                                      static_cast<uint8_t>(c.size)};
    std::string calls;
    const auto x = emu::exchanges("r1");
    for (const emu::Exchange& e : x) {
        calls += (calls.empty() ? "" : " ") + std::to_string(e.function) + ":" +
                 std::to_string(e.input.size());
        if (e.function == FN_EXTFW_START) {
            EXPECT_EQ(e.input, length) << "Start's length";
        }
    }
    EXPECT_EQ(calls, c.calls);
    if (x.size() > 2) {
        EXPECT_GE(x[1].ms - x[0].ms, c.first_gap);
        EXPECT_GE(x[2].ms - x[1].ms, c.second_gap);
        EXPECT_LT(x[2].ms - x[0].ms, c.max_ms);
    }
    EXPECT_EQ(emu::module_image("r1"), c.result == 0 ? image : std::vector<uint8_t>{});
}

TABLE_TEST(Cases, ExtfwSequence, CASES);

TEST(ExtfwWaits, GrowToHalfASecondAndStay) {
    std::vector<int> waits{EXTFW_FIRST_WAIT_MS};
    while (waits.size() < 12)
        waits.push_back(extfw_next_wait(waits.back()));
    EXPECT_EQ(waits, (std::vector<int>{10, 15, 22, 33, 49, 73, 109, 163, 244, 366, 500, 500}));
}

} // namespace
