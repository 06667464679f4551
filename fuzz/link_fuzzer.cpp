// SPDX-License-Identifier: GPL-2.0-or-later
// A hostile reader: the fuzz input decides every report the "device"
// delivers and which writes fail, and drives one CTL exchange and a few
// callback polls through the real link code. hidapi is replaced by the
// scripted stand-in of fake_hid.cpp, and the link's waits are instant.
#include <cstdint>
#include <memory>

#include "base/diag.h"
#include "fake_hid.h"
#include "link/ctl_exchange.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"

namespace {

int32_t touch_all(void*, ReaderLink*, uint16_t, uint32_t length, const uint8_t* data) {
    // Reading every byte lets the sanitizer catch a length that lies.
    unsigned sum = 0;
    for (uint32_t i = 0; i < length; ++i)
        sum += data[i];
    return static_cast<int32_t>(sum & 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    fake_hid_reset(data + 6, size - 6);
    fake_hid.fail_write = data[0];
    diag_verbosity = data[1] & 1 ? 2 : 0;
    const uint16_t function = static_cast<uint16_t>((data[2] << 8) | data[3]);
    const int32_t input_len = data[4];
    const int32_t capacity = data[5] * 4;

    auto reader = std::make_unique<ReaderLink>();
    reader->in_report_size = REPORT_SIZE;
    reader->out_report_size = REPORT_SIZE;
    if (reader_open_path(reader.get(), "") != 0) return 0;
    auto input = std::make_unique<uint8_t[]>(static_cast<size_t>(input_len) + 1);
    auto output = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity) + 1);
    int32_t output_len = capacity;
    reader_ctl(reader.get(), function, input_len, input.get(), &output_len,
               capacity != 0 ? output.get() : nullptr);
    if (output_len < 0 || output_len > capacity) __builtin_trap();
    for (int i = 0; i < 4 && fake_hid.pos < fake_hid.size; ++i)
        reader_poll_callbacks(reader.get(), touch_all);
    reader_close(reader.get());
    return 0;
}
