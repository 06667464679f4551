// SPDX-License-Identifier: GPL-2.0-or-later
// What the emulated readers remember between processes (BRINLET_EMU_STATE):
// the program updates readers in one process through the preloaded
// emulator, and a later world loaded from the same state file must show
// the versions the images carried; several processes saving at once must
// all keep their readers' changes.
#include <sys/wait.h>
#include <unistd.h>

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

struct TempDir {
    std::string path;
    TempDir() {
        char d[] = "/tmp/emu-state-XXXXXX";
        path = mkdtemp(d) != nullptr ? d : "";
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

const char* BENCH = "device ser 0x0204\n  serial S1\n  param FWVERSION \"2.13.0\"\n"
                    "  extfw needed on\n"
                    "device svc 0x0200\n  serial S2\n  normal 0x0201\n  param USBMODE 0\n";

struct VersionCase {
    std::string name;
    std::string args; // brinlet's options; the image is IMG
    std::string image;
    std::string device, key; // key "module": the module record's version
    std::string expected;
    uint16_t product; // what the device runs afterwards
};

const VersionCase VERSION_CASES[] = {
    {.name = "StandardImageSetsFirmware",
     .args = "-u -s S1",
     .image = "head\nBRINLET-VERSION: 2.15.1\nrest",
     .device = "ser",
     .key = "FWVERSION",
     .expected = "2.15.1",
     .product = 0x0204},
    {.name = "MarkerFirstLineAndBlanks",
     .args = "-u -s S1",
     .image = "BRINLET-VERSION:   3.0.0-rc1  \r\nx",
     .device = "ser",
     .key = "FWVERSION",
     .expected = "3.0.0-rc1",
     .product = 0x0204},
    {.name = "NoMarkerKeepsFirmware",
     .args = "-u -s S1",
     .image = "just bytes\n",
     .device = "ser",
     .key = "FWVERSION",
     .expected = "2.13.0",
     .product = 0x0204},
    {.name = "MarkerInsideALineIsNone",
     .args = "-u -s S1",
     .image = "xBRINLET-VERSION: 9.9.9\n",
     .device = "ser",
     .key = "FWVERSION",
     .expected = "2.13.0",
     .product = 0x0204},
    {.name = "EmptyMarkerIsNone",
     .args = "-u -s S1",
     .image = "BRINLET-VERSION: \n",
     .device = "ser",
     .key = "FWVERSION",
     .expected = "2.13.0",
     .product = 0x0204},
    {.name = "ServiceImageSetsServiceVersion",
     .args = "-w -s S1",
     .image = "BRINLET-VERSION: 1.1.0\n",
     .device = "ser",
     .key = "SERVICE_VER",
     .expected = "1.1.0",
     .product = 0x0204},
    {.name = "ModuleImageSetsRecordVersion",
     .args = "-X -s S1",
     .image = "BRINLET-VERSION: 3.0.7\n",
     .device = "ser",
     .key = "module",
     .expected = "3.0.7",
     .product = 0x0204},
    {.name = "ModuleVersionNotThreeNumbers",
     .args = "-X -s S1",
     .image = "BRINLET-VERSION: 3.0\n",
     .device = "ser",
     .key = "module",
     .expected = "1.4.2",
     .product = 0x0204},
    {.name = "ServiceReaderComesBackNormal",
     .args = "-u -s S2",
     .image = "BRINLET-VERSION: 2.15.1\n",
     .device = "svc",
     .key = "FWVERSION",
     .expected = "2.15.1",
     .product = 0x0201},
};

class VersionRule : public ::testing::TestWithParam<VersionCase> {};

// One process updates, another world loads the state file it left.
TEST_P(VersionRule, LaterWorldSeesIt) {
    const VersionCase& c = GetParam();
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::ofstream(dir.path + "/s.scn") << BENCH;
    std::ofstream(dir.path + "/img", std::ios::binary) << c.image;
    const std::string cmd =
        "env -u BRINLET_EMU_CONTROL -u BRINLET_EMU_TRANSCRIPT BRINLET_BIN=" BRINLET_BIN
        " BRINLET_EMU_LIB=" EMU_LIB " BRINLET_EMU_STATE=" +
        dir.path + "/state " EMU_WRAPPER " " + dir.path + "/s.scn -- " + c.args + " -i " +
        dir.path + "/img >/dev/null 2>" + dir.path + "/err";
    const int st = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << slurp(dir.path + "/err");
    EXPECT_TRUE(slurp(dir.path + "/state").starts_with("# brinlet-emu state 1\n"));
    ASSERT_EQ(emu::use_state_file(dir.path + "/state"), 0) << emu::last_error();
    ASSERT_EQ(emu::load_scenario(BENCH), 0);
    EXPECT_EQ(c.key == "module" ? emu::module_version(c.device) : emu::param(c.device, c.key),
              c.expected);
    EXPECT_EQ(emu::product(c.device), c.product);
    // The other reader was not touched and kept its scenario's state.
    EXPECT_EQ(emu::param(c.device == "ser" ? "svc" : "ser", "FWVERSION"),
              c.device == "ser" ? "2.14.0" : "2.13.0");
    // A world without the state file starts from the scenario again.
    ASSERT_EQ(emu::use_state_file(dir.path + "/none"), 0);
    ASSERT_EQ(emu::load_scenario(BENCH), 0);
    EXPECT_EQ(emu::param("ser", "FWVERSION"), "2.13.0");
}

TABLE_TEST(State, VersionRule, VERSION_CASES);

constexpr int WRITERS = 6;

std::string writers_scenario() {
    std::string text;
    for (int i = 0; i < WRITERS; ++i)
        text += "device r" + std::to_string(i) + " 0x0204\n  serial W" + std::to_string(i) + "\n";
    return text;
}

// Every child loads the same state, changes its own reader, waits until all
// have loaded, then saves: a writer that did not merge under the lock
// would drop the others' readers.
TEST(State, WritersAtOnceKeepEveryChange) {
    TempDir dir;
    const std::string state = dir.path + "/state";
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < WRITERS; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            bool ok =
                emu::use_state_file(state) == 0 && emu::load_scenario(writers_scenario()) == 0;
            ok = ok && emu::command("param r" + std::to_string(i) + " SOUND " +
                                    std::to_string(i + 1)) == 0;
            char byte;
            ok = read(go[0], &byte, 1) == 0 && ok; // end of file: every child is ready
            ok = ok && emu::save_state() == 0;
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(go[0]);
    usleep(200000);
    close(go[1]);
    for (pid_t pid : children) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    ASSERT_EQ(emu::use_state_file(state), 0);
    ASSERT_EQ(emu::load_scenario(writers_scenario()), 0);
    for (int i = 0; i < WRITERS; ++i)
        EXPECT_EQ(emu::param("r" + std::to_string(i), "SOUND"), std::to_string(i + 1)) << i;
    // Nothing half written is left beside the file.
    EXPECT_EQ(std::system(("ls " + dir.path + " | grep -q tmp").c_str()) != 0, true);
}

TEST(State, NotAStateFileIsRefused) {
    TempDir dir;
    std::ofstream(dir.path + "/state") << "device r0\nend\n";
    EXPECT_EQ(emu::use_state_file(dir.path + "/state"), -1);
    EXPECT_NE(emu::last_error().find("not a brinlet-emu state file"), std::string::npos);
}

// Texts with any byte (NUL, line ends, blanks) come back byte for byte.
TEST(State, BytesSurviveTheRoundTrip) {
    TempDir dir;
    const std::string state = dir.path + "/state";
    ASSERT_EQ(emu::use_state_file(state), 0);
    ASSERT_EQ(emu::load_scenario("device r 0x0204\n"), 0);
    ASSERT_EQ(emu::command("param r READER r\"a b\\n#c\\x00\\xff\""), 0);
    ASSERT_EQ(emu::save_state(), 0);
    ASSERT_EQ(emu::use_state_file(state), 0);
    ASSERT_EQ(emu::load_scenario("device r 0x0204\n"), 0);
    EXPECT_EQ(emu::param("r", "READER"), std::string("a b\n#c", 6));
}

} // namespace
