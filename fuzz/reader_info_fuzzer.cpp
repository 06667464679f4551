// SPDX-License-Identifier: GPL-2.0-or-later
// A hostile reader asked for the information report of the configuration
// menu: every parameter, text, module description and module record comes
// from the fuzz input, and the report must be printed whatever it holds.
#include <cstdint>
#include <cstdio>

#include "console/reader_info.h"
#include "discovery/reader_list.h"
#include "fake_hid.h"
#include "link/reader_link.h"

namespace {
constexpr size_t CONTROL_BYTES = 2;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The report goes to standard output; only its making is under test.
    if (freopen("/dev/null", "w", stdout) == nullptr) __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < CONTROL_BYTES) return 0;
    fake_hid_reset(data + CONTROL_BYTES, size - CONTROL_BYTES);
    fake_hid.fail_write = data[0];
    Reader reader;
    reader.model = &reader_models[data[1] % READER_MODEL_COUNT];
    reader.in_report_size = REPORT_SIZE;
    reader.out_report_size = REPORT_SIZE;
    std::snprintf(reader.path, sizeof reader.path, "1-1:1.%d", reader.model->interface_number);
    if (reader_open(&reader) != 0) return 0;
    ReportedConfig reported;
    reader_print_info(&reader, &reported);
    reader_close(&reader);
    return 0;
}
