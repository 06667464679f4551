// The card reader module's firmware loader: Start, pieces, Finish.
#include "host.h"

using namespace host;

namespace {

Bytes be32(uint32_t v) {
    return {b3(v), b2(v), b1(v), b0(v)};
}

Bytes image(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 13 + 1);
    return b;
}

} // namespace

class Extfw : public EmuTest {
  protected:
    void reader(const std::string& statements = "") {
        load("device r 0x0204\n" + statements + "\n");
        h = open("r");
        ASSERT_NE(h, nullptr);
    }
    int32_t start(uint32_t len) { return ctl(h, 535, be32(len), 0).result; }
    int32_t piece(const Bytes& b) { return ctl(h, 536, b, 0).result; }
    int32_t finish() { return ctl(h, 537, {}, 0).result; }
    hid_device* h = nullptr;
};

TEST_F(Extfw, WholeSequenceKeepsTheImage) {
    reader("extfw needed on");
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, 0);
    Bytes img = image(1009);
    EXPECT_EQ(start(1009), 0);
    EXPECT_EQ(emu::extfw_state("r"), "started");
    EXPECT_EQ(piece(Bytes(img.begin(), img.begin() + 504)), 0);
    EXPECT_EQ(emu::extfw_state("r"), "receiving");
    EXPECT_EQ(piece(Bytes(img.begin() + 504, img.begin() + 1008)), 0);
    EXPECT_EQ(piece(Bytes(img.begin() + 1008, img.end())), 0);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(emu::extfw_state("r"), "idle");
    EXPECT_EQ(emu::module_image("r"), img);
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, 1); // up to date now
}

TEST_F(Extfw, EmptyImage) {
    reader();
    EXPECT_EQ(start(0), 0);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(emu::module_image("r").empty());
}

TEST_F(Extfw, BusyCountsPerStep) {
    reader("extfw busy start 2\nextfw busy piece 2 3\nextfw busy finish 1");
    EXPECT_EQ(start(3), -25);
    EXPECT_EQ(start(3), -25);
    EXPECT_EQ(start(3), 0);
    EXPECT_EQ(piece({1}), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(piece({2}), -25);
    EXPECT_EQ(piece({2}), 0);
    EXPECT_EQ(piece({3}), 0);
    EXPECT_EQ(finish(), -25);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(emu::module_image("r"), (Bytes{1, 2, 3}));
}

TEST_F(Extfw, BusyForEveryPiece) {
    reader("extfw busy pieces 1");
    EXPECT_EQ(start(2), 0);
    EXPECT_EQ(piece({1}), -25);
    EXPECT_EQ(piece({1}), 0);
    EXPECT_EQ(piece({2}), -25);
    EXPECT_EQ(piece({2}), 0);
}

TEST_F(Extfw, UnfinishedSequenceGivesSequenceErrorAcrossAReplug) {
    reader();
    EXPECT_EQ(start(1000), 0);
    EXPECT_EQ(piece(image(504)), 0);
    emu::unplug("r");
    emu::plug("r");
    h = open("r");
    EXPECT_EQ(start(1000), -13);
    EXPECT_EQ(finish(), 0); // closes the old sequence
    EXPECT_EQ(emu::extfw_state("r"), "idle");
    EXPECT_EQ(piece(image(504)), -13); // no data without a new Start
    EXPECT_EQ(start(1000), 0);
}

TEST_F(Extfw, CloseCanReArmTheSequence) {
    reader("extfw unfinished 8\nextfw after_close restart");
    EXPECT_EQ(start(8), -13);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(emu::extfw_state("r"), "started");
    EXPECT_EQ(piece(image(8)), 0);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(emu::module_image("r"), image(8));
}

TEST_F(Extfw, RejectedPiece) {
    reader("extfw reject piece 2 -5");
    EXPECT_EQ(start(1008), 0);
    EXPECT_EQ(piece(image(504)), 0);
    EXPECT_EQ(piece(image(504)), -5);
    EXPECT_EQ(emu::module_partial("r").size(), 504u);
}

TEST_F(Extfw, TooMuchDataAndWrongStart) {
    reader();
    EXPECT_EQ(ctl(h, 535, Bytes{1, 2}, 0).result, -22);
    EXPECT_EQ(piece({1}), -13);
    EXPECT_EQ(finish(), -13);
    EXPECT_EQ(start(2), 0);
    EXPECT_EQ(piece({1, 2, 3}), -22);
}

TEST_F(Extfw, CheckSequence) {
    reader("extfw_check busy:2 needed not_needed");
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, -25);
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, -25);
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, 0);
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, 1);
    EXPECT_EQ(ctl(h, 1500, {}, 256).result, 1);
}

TEST_F(Extfw, CheckBusyForEver) {
    reader("extfw_check busy:*");
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ctl(h, 1500, {}, 256).result, -25);
}
