// SPDX-License-Identifier: GPL-2.0-or-later
// A batch run in this process: whatever the reader answers, every file the
// run opened is closed when it returns.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "cli/batch.h"
#include "support/reader_fixture.h"

namespace {

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

class BatchFiles : public EmulatedReaders {};

TEST_F(BatchFiles, OutputFileIsClosedWhenNoOutputArrives) {
    const std::string out = testing::TempDir() + "/batch-files-out";
    for (const char* answer : {"result -7", "reqerror 0", "model"}) {
        SCOPED_TRACE(answer);
        load(std::string("device r 0x0204\n  serial R\n  fn 503 ") + answer + "\n");
        const int before = open_descriptors();
        ToolSettings settings{};
        settings.operations = batch_operation_bit(batch_operation('g'));
        settings.operation = batch_operation('g');
        settings.has_output_path = 1;
        settings.output_path = out.c_str();
        for (int i = 0; i < 5; ++i)
            batch_run(settings, ReaderChoice{});
        EXPECT_EQ(open_descriptors(), before);
    }
    unlink(out.c_str());
}

} // namespace
