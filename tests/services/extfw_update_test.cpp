// The module firmware sequence: Start with the length, 504-byte pieces,
// Finish; busy waits, an unfinished earlier sequence, rejected pieces.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hidapi.h>

#include <atomic>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "services/extfw_update.h"
#include "services/reader_functions.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

// The progress value at each piece request, recorded by the shim below.
std::atomic<int32_t>* watched = nullptr;
std::vector<int32_t> at_piece_request;

std::vector<uint8_t> image(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

// Function and input size of each exchange the reader completed.
std::string calls() {
    std::string out;
    for (const emu::Exchange& x : emu::exchanges("r1"))
        out += (out.empty() ? "" : " ") + std::to_string(x.function) + ":" +
               std::to_string(x.input.size());
    return out;
}

struct ExtfwCase {
    const char* name;
    const char* statements; // of reader r1
    uint32_t size;          // of the image
    int32_t result;
    const char* calls;                    // "function:input size" of each exchange
    std::vector<std::string> traces = {}; // lines about Extfw at verbosity 2
    std::vector<double> min_gaps = {};    // ms between the first exchanges
    double max_ms = 1e9;                  // from the first to the last of those
};

void PrintTo(const ExtfwCase& c, std::ostream* os) {
    *os << c.name;
}

const ExtfwCase CASES[] = {
    {.name = "ImageGoesOutIn504BytePieces",
     .statements = "",
     .size = 1009,
     .result = 0,
     .calls = "535:4 536:504 536:504 536:1 537:0"},
    {.name = "ExactMultipleHasNoEmptyPiece",
     .statements = "",
     .size = 1008,
     .result = 0,
     .calls = "535:4 536:504 536:504 537:0"},
    {.name = "EmptyImageIsStartAndFinish",
     .statements = "",
     .size = 0,
     .result = 0,
     .calls = "535:4 537:0"},
    {.name = "BusyStartIsAskedAgainAfterGrowingWaits",
     .statements = "  extfw busy start 2\n",
     .size = 10,
     .result = 0,
     .calls = "535:4 535:4 535:4 536:10 537:0",
     .traces = {"Extfw busy", "Extfw busy"},
     .min_gaps = {9, 14},
     .max_ms = 200},
    {.name = "BusyPieceIsRepeatedNeverSkipped",
     .statements = "  extfw busy piece 2 4\n",
     .size = 1500,
     .result = 0,
     .calls = "535:4 536:504 536:504 536:504 536:504 536:504 536:504 536:492 537:0",
     .traces = {"Extfw busy", "Extfw busy", "Extfw busy", "Extfw busy"}},
    {.name = "RejectedPieceEndsWithoutFinish",
     .statements = "  extfw reject piece 2 -5\n",
     .size = 1500,
     .result = -5,
     .calls = "535:4 536:504 536:504",
     .traces = {"Cannot send Extfw data: -5"}},
    {.name = "UnfinishedSequenceIsClosedAndStartedAgain",
     .statements = "  extfw unfinished 2000\n",
     .size = 600,
     .result = 0,
     .calls = "535:4 537:0 535:4 536:504 536:96 537:0",
     .traces = {"Extfw seq error"}},
    {.name = "StartFailureIsReported",
     .statements = "  fn 535 result -7\n",
     .size = 0,
     .result = -7,
     .calls = "535:4",
     .traces = {"Cannot start Extfw update: -7"}},
    {.name = "ModuleThatKeepsReportingAnOldSequenceGivesUp",
     .statements = "  fn 535 result -13\n",
     .size = 0,
     .result = RDR_SEQUENCE_ERROR,
     .calls = "535:4 537:0 535:4 537:0 535:4 537:0 535:4 537:0 535:4 537:0 535:4",
     .traces = {"Extfw seq error", "Extfw seq error", "Extfw seq error", "Extfw seq error",
                "Extfw seq error", "Cannot start Extfw update: -13"}},
    {.name = "FinishFailureIsReported",
     .statements = "  fn 537 result -9\n",
     .size = 0,
     .result = -9,
     .calls = "535:4 537:0",
     .traces = {"Cannot finalize Extfw update: -9"}},
};

class ExtfwSequence : public EmulatedReaders, public ::testing::WithParamInterface<ExtfwCase> {};

TEST_P(ExtfwSequence, Exchanges) {
    const ExtfwCase& c = GetParam();
    Reader* r = open_reader(std::string("device r1 0x0204\n  serial E1\n") + c.statements);
    ASSERT_NE(r, nullptr);
    const auto img = image(c.size);
    diag_verbosity = 2;
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, img.data(), c.size), c.result);
    std::istringstream lines(err.finish());
    std::vector<std::string> traces;
    for (std::string line; std::getline(lines, line);)
        if (line.find("Extfw") != std::string::npos) traces.push_back(line);
    EXPECT_EQ(traces, c.traces);
    EXPECT_EQ(calls(), c.calls);
    const auto x = emu::exchanges("r1");
    for (const emu::Exchange& e : x)
        if (e.function == FN_EXTFW_START) {
            EXPECT_EQ(e.input, (std::vector<uint8_t>{0, 0, static_cast<uint8_t>(c.size >> 8),
                                                     static_cast<uint8_t>(c.size)}));
        }
    for (size_t i = 0; i < c.min_gaps.size(); ++i)
        EXPECT_GE(x.at(i + 1).ms - x.at(i).ms, c.min_gaps[i]) << i;
    if (!c.min_gaps.empty()) {
        EXPECT_LT(x.at(c.min_gaps.size()).ms - x[0].ms, c.max_ms);
    }
    if (c.result == 0) {
        EXPECT_EQ(emu::module_image("r1"), img);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtfwSequence, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExtfwWaits, GrowToHalfASecondAndStay) {
    int w = EXTFW_FIRST_WAIT_MS;
    std::vector<int> waits;
    for (int i = 0; i < 12; ++i) {
        waits.push_back(w);
        w = extfw_next_wait(w);
    }
    EXPECT_EQ(waits, (std::vector<int>{10, 15, 22, 33, 49, 73, 109, 163, 244, 366, 500, 500}));
}

class Extfw : public EmulatedReaders {};

TEST_F(Extfw, ProgressRunsFromFromToTo) {
    Reader* r = open_reader("device r1 0x0204\n  serial E1\n");
    std::atomic<int32_t> shown{0};
    r->extfw_progress = &shown;
    r->progress_from = 50;
    r->progress_to = 100;
    const auto img = image(2016);
    watched = &shown;
    EXPECT_EQ(reader_extfw_update(r, img.data(), 2016), 0);
    watched = nullptr;
    EXPECT_EQ(at_piece_request, (std::vector<int32_t>{50, 62, 75, 87}));
    EXPECT_EQ(shown.load(), 100);
    r->extfw_progress = nullptr;
}

} // namespace

extern "C" int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    using WriteFn = int (*)(hid_device*, const unsigned char*, size_t);
    static const auto real = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "hid_write"));
    const bool piece_request = length > 8 && data[1] == 0x8B && data[2] == 1 &&
                               data[7] == (FN_EXTFW_DATA >> 8) && data[8] == (FN_EXTFW_DATA & 0xFF);
    if (watched != nullptr && piece_request) at_piece_request.push_back(watched->load());
    return real(dev, data, length);
}
