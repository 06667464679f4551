// SPDX-License-Identifier: GPL-2.0-or-later
// A hostile reader asked for the information report of the configuration
// menu: every parameter, text, module description and module record comes
// from the fuzz input, and the report must be printed whatever it holds.
// The same reader's inventory, and a history line made of the raw input,
// must each stay one whole line of the right number of fields.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/text.h"
#include "cli/history.h"
#include "console/reader_info.h"
#include "discovery/reader_list.h"
#include "fake_hid.h"
#include "link/reader_link.h"
#include "services/reader_inventory.h"

namespace {
constexpr size_t CONTROL_BYTES = 2;

// One line, ended once, of exactly fields fields, with no control
// character or byte outside valid UTF-8 in it.
void check_line(const std::string& line, size_t fields) {
    if (line.empty() || line.back() != '\n') __builtin_trap();
    if (static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) != fields - 1)
        __builtin_trap();
    if (std::count(line.begin(), line.end(), '\n') != 1) __builtin_trap();
    std::string bare = line.substr(0, line.size() - 1);
    std::replace(bare.begin(), bare.end(), '\t', ' ');
    if (text_field(bare) != bare) __builtin_trap();
}

void check_inventory(Reader* reader) {
    ReaderInventory v;
    reader_inventory_read(reader, &v);
    check_line(
        text_fields_line({"0", reader->serial, v.firmware, v.service_firmware, v.service_status,
                          v.usb_mode, v.protocol, v.hardware, v.hardware_serial, v.library,
                          v.module_part, v.module_firmware, v.module_serial, v.status}),
        14);
}

void check_history_line(const uint8_t* data, size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string_view half = raw.substr(0, size / 2);
    History history;
    history.host = half;
    history.user = raw;
    HistoryRun run;
    run.history = &history;
    run.serial = raw;
    run.model = half;
    run.input = raw.substr(size / 3);
    check_line(history_line(run, half, raw, "", half, raw), 15);
}
} // namespace

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
    if (reader_open_path(&reader, reader.path) != 0) return 0;
    ReportedConfig reported;
    reader_print_info(&reader, &reported);
    check_inventory(&reader);
    reader_close(&reader);
    check_history_line(data, size);
    return 0;
}
