// SPDX-License-Identifier: GPL-2.0-or-later
// A hostile reader behind a whole batch run: the fuzz input picks the
// operation, the personalities the bus shows at each enumeration (so -u
// sees the reader leave and come back as another product), which write or
// open fails, and every report the reader delivers. Whatever it sends, the
// run must end, and the output file may hold only bytes the reader sent.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/diag.h"
#include "cli/batch.h"
#include "cli/exit_status.h"
#include "cli/tool_settings.h"
#include "discovery/reader_list.h"
#include "fake_hid.h"

namespace {

constexpr size_t CONTROL_BYTES = 9;
constexpr int INPUT_FILES = 4;
constexpr size_t INPUT_SIZES[INPUT_FILES] = {0, 1, 63, 1100}; // 1100: three module pieces
std::string input_paths[INPUT_FILES];
std::string output_path;

void make_files() {
    const std::string dir = "/tmp/brinlet-fuzz-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    for (int i = 0; i < INPUT_FILES; ++i) {
        input_paths[i] = dir + "/in" + std::to_string(i);
        FILE* f = fopen(input_paths[i].c_str(), "wb");
        if (f == nullptr) __builtin_trap();
        for (size_t n = 0; n < INPUT_SIZES[i]; ++n)
            fputc(static_cast<int>('A' + n % 26), f);
        fclose(f);
    }
    output_path = dir + "/out";
}

// One of the operations that talk to a reader, as the command line gives it.
void choose_operation(ToolSettings* s, uint8_t op, uint8_t argument) {
    static constexpr char LETTERS[] = "gcudjmpwbX";
    const char letter = LETTERS[op % 10];
    if (letter == 'p') s->protocol = argument;
    if (letter == 'b') s->raw_function = 1 + argument;
    s->operations = batch_operation_bit(batch_operation(letter));
    s->operation = batch_operation(letter);
}

long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_files();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < CONTROL_BYTES) return 0;
    fake_hid_reset(data + CONTROL_BYTES, size - CONTROL_BYTES);
    fake_hid.fail_write = data[0];
    fake_hid.fail_open = data[1] & 0x0F;
    for (int k = 0; k < FAKE_ENUMERATIONS; ++k)
        fake_hid.products[k] = data[2 + k] % (READER_MODEL_COUNT + 1);
    const uint8_t op = data[6];
    const uint8_t flags = data[7];

    ToolSettings settings{};
    diag_verbosity = 0;
    choose_operation(&settings, op, data[8]);
    settings.reset_after = flags & 1;
    settings.select_by_serial = (flags >> 1) & 1;
    settings.select_by_index = (flags >> 2) & 1;
    settings.has_input_path = 1;
    settings.input_path = input_paths[(flags >> 3) % INPUT_FILES].c_str();
    settings.has_output_path = 1;
    settings.output_path = output_path.c_str();
    unlink(output_path.c_str());

    readers_init();
    const ReaderChoice choice{(flags >> 5) & 1, (flags & 0x40) ? "fz0001" : "other"};
    const int32_t result = batch_run(settings, choice);
    readers_exit();
    if (result != 0 && exit_status(result) == 0) __builtin_trap();
    // Every byte of the output file must have come in a report.
    if (static_cast<size_t>(file_size(output_path)) > fake_hid.size) __builtin_trap();
    return 0;
}
