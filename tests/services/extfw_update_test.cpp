// The module firmware sequence: Start with the length, 504-byte pieces,
// Finish; busy waits, an unfinished earlier sequence, rejected pieces.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hidapi.h>

#include <atomic>
#include <numeric>
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

// Functions and input sizes of the exchanges the reader completed.
std::vector<std::pair<int, size_t>> calls() {
    std::vector<std::pair<int, size_t>> out;
    for (const emu::Exchange& x : emu::exchanges("r1"))
        out.emplace_back(x.function, x.input.size());
    return out;
}

class Extfw : public EmulatedReaders {
  protected:
    Reader* reader(const std::string& statements = "") {
        return open_reader("device r1 0x0204\n  serial E1\n" + statements);
    }
};

TEST_F(Extfw, ImageGoesOutIn504BytePieces) {
    Reader* r = reader();
    const auto img = image(1009);
    EXPECT_EQ(reader_extfw_update(r, img.data(), 1009), 0);
    EXPECT_EQ(calls(), (std::vector<std::pair<int, size_t>>{
                           {535, 4}, {536, 504}, {536, 504}, {536, 1}, {537, 0}}));
    EXPECT_EQ(emu::exchanges("r1")[0].input, (std::vector<uint8_t>{0, 0, 0x03, 0xF1}));
    EXPECT_EQ(emu::module_image("r1"), img);
}

TEST_F(Extfw, ExactMultipleHasNoEmptyPiece) {
    Reader* r = reader();
    const auto img = image(1008);
    EXPECT_EQ(reader_extfw_update(r, img.data(), 1008), 0);
    EXPECT_EQ(calls(),
              (std::vector<std::pair<int, size_t>>{{535, 4}, {536, 504}, {536, 504}, {537, 0}}));
}

TEST_F(Extfw, EmptyImageIsStartAndFinish) {
    Reader* r = reader();
    EXPECT_EQ(reader_extfw_update(r, nullptr, 0), 0);
    EXPECT_EQ(calls(), (std::vector<std::pair<int, size_t>>{{535, 4}, {537, 0}}));
}

TEST_F(Extfw, BusyStartIsAskedAgainAfterGrowingWaits) {
    Reader* r = reader("  extfw busy start 2\n");
    diag_verbosity = 2;
    const auto img = image(10);
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, img.data(), 10), 0);
    const std::string text = err.finish();
    EXPECT_EQ(std::count(text.begin(), text.end(), 'E'), 2) << text;
    const auto x = emu::exchanges("r1");
    ASSERT_GE(x.size(), 3u);
    EXPECT_GE(x[1].ms - x[0].ms, 9);
    EXPECT_GE(x[2].ms - x[1].ms, 14);
    EXPECT_LT(x[2].ms - x[0].ms, 200);
}

TEST_F(Extfw, WaitsGrowToHalfASecondAndStay) {
    int w = EXTFW_FIRST_WAIT_MS;
    std::vector<int> waits;
    for (int i = 0; i < 12; ++i) {
        waits.push_back(w);
        w = extfw_next_wait(w);
    }
    EXPECT_EQ(waits, (std::vector<int>{10, 15, 22, 33, 49, 73, 109, 163, 244, 366, 500, 500}));
}

TEST_F(Extfw, BusyPieceIsRepeatedNeverSkipped) {
    Reader* r = reader("  extfw busy piece 2 4\n");
    const auto img = image(1500);
    EXPECT_EQ(reader_extfw_update(r, img.data(), 1500), 0);
    EXPECT_EQ(emu::module_image("r1"), img);
}

TEST_F(Extfw, RejectedPieceEndsWithoutFinish) {
    Reader* r = reader("  extfw reject piece 2 -5\n");
    diag_verbosity = 1;
    const auto img = image(1500);
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, img.data(), 1500), -5);
    EXPECT_EQ(err.finish(), "Cannot send Extfw data: -5\n");
    EXPECT_EQ(calls(), (std::vector<std::pair<int, size_t>>{{535, 4}, {536, 504}, {536, 504}}));
}

TEST_F(Extfw, UnfinishedSequenceIsClosedAndStartedAgain) {
    Reader* r = reader("  extfw unfinished 2000\n");
    diag_verbosity = 2;
    const auto img = image(600);
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, img.data(), 600), 0);
    EXPECT_NE(err.finish().find("Extfw seq error\n"), std::string::npos);
    EXPECT_EQ(calls(), (std::vector<std::pair<int, size_t>>{
                           {535, 4}, {537, 0}, {535, 4}, {536, 504}, {536, 96}, {537, 0}}));
    EXPECT_EQ(emu::module_image("r1"), img);
}

TEST_F(Extfw, StartFailureIsReported) {
    Reader* r = reader("  fn 535 result -7\n");
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, nullptr, 0), -7);
    EXPECT_EQ(err.finish(), "Cannot start Extfw update: -7\n");
}

TEST_F(Extfw, ModuleThatKeepsReportingAnOldSequenceGivesUp) {
    Reader* r = reader("  fn 535 result -13\n");
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, nullptr, 0), RDR_SEQUENCE_ERROR);
    EXPECT_EQ(err.finish(), "Cannot start Extfw update: -13\n");
    int finishes = 0;
    for (const auto& c : calls())
        finishes += c.first == 537;
    EXPECT_EQ(finishes, EXTFW_SEQUENCE_CLOSES_MAX);
}

TEST_F(Extfw, FinishFailureIsReported) {
    Reader* r = reader("  fn 537 result -9\n");
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(reader_extfw_update(r, nullptr, 0), -9);
    EXPECT_EQ(err.finish(), "Cannot finalize Extfw update: -9\n");
}

TEST_F(Extfw, ProgressRunsFromFromToTo) {
    Reader* r = reader();
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
