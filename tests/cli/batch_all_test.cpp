// SPDX-License-Identifier: GPL-2.0-or-later
// -a in this process, where the thread sanitizer watches the runs side by
// side: two readers fetch at once, then are updated at once (each
// enumerating while the other restarts), and each ends with its own bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
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
const std::string BOTH_OK =
    "serial\tresult\tstatus\tseconds\tmessage\nR1\tok\t0\tS\t\nR2\tok\t0\tS\t\n";

// The summary with every seconds column as "S".
std::string summary_without_seconds(const std::string& out) {
    return std::regex_replace(out, std::regex("\t[0-9]+\\.[0-9]\t"), "\tS\t");
}

// Each reader fetches into its own file, then both are updated at once.
TEST_F(BatchAll, TwoReadersFetchThenTakeTheImageAtOnce) {
    load(TWO + "  extfw needed on\n");
    const std::string dir = testing::TempDir() + "/batch-all";
    std::filesystem::create_directories(dir);
    std::string out, fw(20000, '\0');
    EXPECT_EQ(run({"-a", "-g", "-o", dir + "/%s.cfg"}, &out), 0);
    EXPECT_EQ(summary_without_seconds(out), BOTH_OK);
    EXPECT_EQ(read_file(dir + "/R1.cfg"), std::string(5000, '\x31'));
    EXPECT_EQ(read_file(dir + "/R2.cfg"), std::string(7000, '\x32'));
    for (size_t i = 0; i < fw.size(); ++i)
        fw[i] = static_cast<char>(i * 11 + 5);
    write_file(dir + "/fw", fw);
    EXPECT_EQ(run({"-a", "-u", "-i", dir + "/fw"}, &out), 0);
    EXPECT_EQ(summary_without_seconds(out), BOTH_OK);
    const std::vector<uint8_t> want(fw.begin(), fw.end());
    for (const char* name : {"r1", "r2"}) {
        EXPECT_EQ(emu::exchanges(name).at(0).function, 503) << name;
        EXPECT_TRUE(emu::exchanges(name).at(0).fetched) << name;
        EXPECT_EQ(emu::firmware(name, 510), want) << name;
        EXPECT_EQ(emu::restarts(name), 2) << name;
    }
    EXPECT_EQ(emu::module_image("r2"), want);
    EXPECT_TRUE(emu::module_image("r1").empty());
    std::filesystem::remove_all(dir);
}

} // namespace
