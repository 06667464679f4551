// SPDX-License-Identifier: GPL-2.0-or-later
// The emulator in place of the system hidapi: a program linked with
// hidapi-libusb runs through tools/brinlet-emu with the emulator preloaded,
// steered by the environment (scenario, transcript).
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Preload : public ::testing::Test {
  protected:
    void SetUp() override {
        char d[] = "/tmp/emu-preload-XXXXXX";
        ASSERT_NE(mkdtemp(d), nullptr);
        dir = d;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string file(const std::string& name, const std::string& text) {
        std::string p = dir + "/" + name;
        std::ofstream(p) << text;
        return p;
    }

    // Runs the probe through the wrapper; env entries are NAME=VALUE.
    Outcome run(const std::string& scenario, const std::string& args, const std::string& env = "") {
        Outcome r;
        const std::string out = dir + "/out", err = dir + "/err";
        std::string cmd = "env -u BRINLET_EMU_TRANSCRIPT -u BRINLET_EMU_CONTROL "
                          "BRINLET_BIN=" EMU_PROBE " BRINLET_EMU_LIB=" EMU_LIB " " +
                          env + " " EMU_WRAPPER " " + scenario + " -- " + args + " >" + out +
                          " 2>" + err;
        int st = std::system(cmd.c_str());
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    std::string dir;
};

} // namespace

TEST_F(Preload, ProgramLinkedWithHidapiSeesTheScenario) {
    Outcome r = run(EMU_SCENARIOS "/default.scn", "list");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1-4.2:1.0 f1e0 0202 0 RD2K004711 Norvane\n"
                     "1-4.2:1.1 f1e0 0202 1 RD2K004711 Norvane\n"
                     "1-4.3:1.1 f1e0 0204 1 RD2S008812 Norvane\n"
                     "1-5:1.0 f1e0 0200 0 RD2V001234 Norvane\n");
}

TEST_F(Preload, ExchangeAndTranscriptFile) {
    std::string scn = file("s.scn", "device r 0x0204\n  serial none\n  param FWVERSION 9.9\n");
    std::string tr = dir + "/t.txt";
    // Written at exit even without hid_exit.
    Outcome r = run(scn, "get 1-1:1.1 FWVERSION noexit", "BRINLET_EMU_TRANSCRIPT=" + tr);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "value 9.9\n");
    std::string t = slurp(tr);
    EXPECT_EQ(t.rfind("# brinlet-emu transcript 1\n", 0), 0u);
    EXPECT_NE(t.find("exchange r "), std::string::npos);
    EXPECT_NE(t.find(" fn=504 cap=256 in_len=10 result=0 out_len=4 outcome=fetched"),
              std::string::npos);
}

TEST_F(Preload, ScenarioErrorGoesToStderrAndLeavesNoDevices) {
    std::string scn = file("bad.scn", "device r 0x0204\n  frobnicate\n");
    Outcome r = run(scn, "list");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("brinlet-emu: scenario " + scn + ": line 2: unknown statement"),
              std::string::npos)
        << r.err;
}

TEST_F(Preload, WrapperRefusesAMissingScenario) {
    Outcome r = run(dir + "/nothing.scn", "list");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("cannot read scenario"), std::string::npos);
}
