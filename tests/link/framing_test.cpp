// SPDX-License-Identifier: GPL-2.0-or-later
// Blocks framed into 64-byte reports: control byte, 63-byte payloads,
// progress while input data goes out, what a data read accepts, and the
// open state. The exchange tests assert headers on the wire and the reports
// a header read refuses.
#include <dlfcn.h>
#include <hidapi.h>

#include <atomic>
#include <vector>

#include "link/reader_link.h"
#include "link/reader_rig.h"

namespace {

// The progress value as it stood at each hid_write, recorded by the shim
// below while a test watches one.
std::atomic<int32_t>* watched = nullptr;
std::vector<int32_t> seen_at_write;

class Framing : public EmulatedReaders {};

TEST_F(Framing, BlocksAreCutInto63BytePayloads) {
    Reader* r = open_reader(reader_r1(""));
    std::vector<uint8_t> data(130);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    for (int32_t length : {0, 63, 64, 130})
        EXPECT_EQ(reader_write_block(r, data.data(), length, false), length);
    // The 64th byte travels alone; the rest of a short report is zero.
    const char* want = "3F 01 | 3F 01 | 01 40 00 | 3F 01 | 3F 40 | 04 7F 80 81 82 00";
    EXPECT_EQ(wire_starts("r1", want), want);
}

TEST_F(Framing, InputProgressAdvancesBeforeEachReport) {
    Reader* r = open_reader(reader_r1(""));
    std::atomic<int32_t> shown{-1};
    r->progress = &shown;
    r->progress_to = 100;
    r->in_data = 1;
    std::vector<uint8_t> data(130, 0x11);
    watched = &shown;
    reader_write_block(r, data.data(), 130, false);
    watched = nullptr;
    EXPECT_EQ(seen_at_write, (std::vector<int32_t>{0, 48, 96}));
    EXPECT_EQ(shown.load(), 100);
    r->in_data = 0;
    shown = -1;
    reader_write_block(r, data.data(), 130, false);
    EXPECT_EQ(shown.load(), -1) << "only input data of an exchange moves the bar";
    r->progress = nullptr;
}

TEST_F(Framing, DataReadTakesHeaderPacketsAsData) {
    Reader* r = open_reader(reader_r1("card_removed"));
    uint8_t buf[CTL_HEADER_SIZE] = {};
    EXPECT_EQ(reader_read_block(r, buf, 0, 10, false), 0);
    EXPECT_EQ(reader_read_block(r, buf, CTL_HEADER_SIZE, 100, false), CTL_HEADER_SIZE);
    EXPECT_EQ(buf[0], CB_REQUEST);
}

TEST_F(Framing, OpenAndCloseRefuseTheWrongState) {
    Reader* r = open_reader(reader_r1(""));
    EXPECT_EQ(reader_open(r), LINK_WRONG_STATE);
    EXPECT_EQ(reader_close(r), 0);
    EXPECT_EQ(reader_close(r), LINK_WRONG_STATE);
    EXPECT_EQ(reader_open(nullptr), LINK_ERROR);
    EXPECT_EQ(reader_close(nullptr), LINK_ERROR);
    EXPECT_EQ(reader_open(r), 0) << "a reader can be opened again";
}

} // namespace

// Records the watched progress value at every report, then writes it.
extern "C" int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    using WriteFn = int (*)(hid_device*, const unsigned char*, size_t);
    static const auto real = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "hid_write"));
    if (watched != nullptr) seen_at_write.push_back(watched->load());
    return real(dev, data, length);
}
