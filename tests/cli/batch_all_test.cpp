// SPDX-License-Identifier: GPL-2.0-or-later
// -a in this process, where the thread sanitizer watches the runs side by
// side: two readers fetch at once, two readers are updated at once (each
// enumerating while the other restarts), and each ends with its own bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/batch_all.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

namespace {

class BatchAll : public EmulatedReaders {
  protected:
    // Runs brinlet's arguments (after the program name) with -a; the
    // result, and standard output in *out.
    int32_t run(std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), "brinlet");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        ToolSettings settings;
        ReaderChoice choice;
        settings_parse(static_cast<int>(argv.size()), argv.data(), &settings, &choice);
        FdCapture capture(1);
        const int32_t r = batch_run_all(settings, nullptr);
        *out = capture.finish();
        return r;
    }
};

const std::string TWO = "device r1 0x0202\n  serial R1\n  config_blob rep:5000:31\n"
                        "device r2 0x0204\n  serial R2\n  config_blob rep:7000:32\n";

// The summary with every seconds column as "S".
std::string summary_without_seconds(std::string out) {
    for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos && at + 1 < out.size();) {
        size_t field = at + 1;
        for (int i = 0; i < 3 && field != std::string::npos; ++i)
            field = out.find('\t', field) + 1;
        const size_t end = out.find('\t', field);
        out.replace(field, end - field, "S");
        at = field;
    }
    return out;
}

TEST_F(BatchAll, TwoReadersFetchAtOnceIntoFilesOfTheirOwn) {
    load(TWO);
    const std::string dir = testing::TempDir() + "/batch-all-fetch";
    std::filesystem::create_directories(dir);
    std::string out;
    EXPECT_EQ(run({"-a", "-g", "-o", dir + "/%s.cfg"}, &out), 0);
    EXPECT_EQ(summary_without_seconds(out),
              "serial\tresult\tstatus\tseconds\tmessage\nR1\tok\t0\tS\t\nR2\tok\t0\tS\t\n");
    EXPECT_EQ(read_file(dir + "/R1.cfg"), std::string(5000, '\x31'));
    EXPECT_EQ(read_file(dir + "/R2.cfg"), std::string(7000, '\x32'));
    for (const char* name : {"r1", "r2"}) {
        const auto x = emu::exchanges(name);
        ASSERT_EQ(x.size(), 1u) << name;
        EXPECT_EQ(x[0].function, 503);
        EXPECT_TRUE(x[0].fetched);
    }
    std::filesystem::remove_all(dir);
}

TEST_F(BatchAll, TwoReadersUpdatedAtOnceEachTakeTheImage) {
    load(TWO + "  extfw needed on\n");
    std::string fw(20000, '\0');
    for (size_t i = 0; i < fw.size(); ++i)
        fw[i] = static_cast<char>(i * 11 + 5);
    const std::string path = testing::TempDir() + "/batch-all-image";
    write_file(path, fw);
    std::string out;
    EXPECT_EQ(run({"-a", "-u", "-i", path}, &out), 0);
    EXPECT_EQ(summary_without_seconds(out),
              "serial\tresult\tstatus\tseconds\tmessage\nR1\tok\t0\tS\t\nR2\tok\t0\tS\t\n");
    const std::vector<uint8_t> want(fw.begin(), fw.end());
    for (const char* name : {"r1", "r2"}) {
        EXPECT_EQ(emu::firmware(name, 510), want) << name;
        EXPECT_EQ(emu::restarts(name), 2) << name;
    }
    EXPECT_EQ(emu::module_image("r2"), want);
    EXPECT_TRUE(emu::module_image("r1").empty());
    std::remove(path.c_str());
}

} // namespace
