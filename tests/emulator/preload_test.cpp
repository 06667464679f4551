// SPDX-License-Identifier: GPL-2.0-or-later
// The emulator in place of the system hidapi: the program, linked with
// hidapi-libusb, runs through tools/brinlet-emu with the emulator preloaded,
// steered by the environment (scenario, transcript).
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "host.h"

namespace {

std::string slurp(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

struct PreloadCase {
    std::string name;
    std::string scenario; // "": the default scenario; "-": a missing file
    std::string args;
    int status;
    // Fragments of standard error and of the transcript after its header;
    // "": the text is empty.
    std::string err, transcript;
};

const PreloadCase CASES[] = {
    {"ProgramWorksOnTheScenarioAndWritesTheTranscript", "", "-g -s RD2K004711", 0, "",
     "exchange kbd "},
    {"ScenarioErrorGoesToStderr", "device r 0x0204\n  frobnicate\n", "-l", 4,
     "brinlet-emu: scenario /tmp/emu-preload-", ""},
    {"WrapperRefusesAMissingScenario", "-", "-l", 66, "cannot read scenario", ""},
};

class Preload : public ::testing::TestWithParam<PreloadCase> {};

TEST_P(Preload, Run) {
    const PreloadCase& c = GetParam();
    char d[] = "/tmp/emu-preload-XXXXXX";
    ASSERT_NE(mkdtemp(d), nullptr);
    const std::string dir = d, scn = dir + "/s.scn";
    if (c.scenario != "-") std::ofstream(scn) << c.scenario;
    const std::string cmd = "env -u BRINLET_EMU_CONTROL BRINLET_BIN=" BRINLET_BIN
                            " BRINLET_EMU_LIB=" EMU_LIB " BRINLET_EMU_TRANSCRIPT=" +
                            dir + "/t " EMU_WRAPPER " " +
                            (c.scenario.empty() ? EMU_SCENARIOS "/default.scn" : scn) + " -- " +
                            c.args + " >/dev/null 2>" + dir + "/err";
    const int st = std::system(cmd.c_str());
    const std::string err = slurp(dir + "/err");
    std::string transcript = slurp(dir + "/t");
    if (transcript.starts_with("# brinlet-emu transcript 1\n")) transcript.erase(0, 27);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == c.status) << st << err;
    for (const auto& [text, part] : {std::pair(err, c.err), std::pair(transcript, c.transcript)})
        EXPECT_TRUE(part.empty() ? text.empty() : text.find(part) != std::string::npos) << text;
    std::system(("rm -rf " + dir).c_str());
}

TABLE_TEST(Wrapper, Preload, CASES);

} // namespace
