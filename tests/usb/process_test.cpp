// The brinlet binary, linked with the system's hidapi-libusb, as a process
// under umockdev-wrapper: it finds the emulated readers through the same
// fake sysfs and usbdevfs as this process, whose threads answer its ioctls.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emu.h"
#include "usb_rig.h"

namespace {

constexpr double PROCESS_TIMEOUT_MS = 60000;

struct ProcessRun {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string scratch_dir() {
    char name[] = "/tmp/brinlet-usb-XXXXXX";
    const char* d = mkdtemp(name);
    return d != nullptr ? d : "/tmp";
}

// Runs brinlet under umockdev-wrapper; the test bed directory reaches it
// through UMOCKDEV_DIR, which the bus set in this process's environment.
ProcessRun run_brinlet(const std::vector<std::string>& args, const std::string& dir) {
    ProcessRun r;
    const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
    std::vector<std::string> argv_s = {UMOCKDEV_WRAPPER, BRINLET_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const double until = usb_now_ms() + PROCESS_TIMEOUT_MS;
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (usb_now_ms() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    return r;
}

const char* const READERS = "device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
                            "device ser 0x0204\n  serial RD2S008812\n  port 1-4.3\n";

class UsbProcess : public UsbReaders {};

TEST_F(UsbProcess, ListShowsEveryReaderWithItsSerial) {
    start(READERS);
    const ProcessRun r = run_brinlet({"-l"}, scratch_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"USB reader v2/v3 (usb keyboard class)\" \"RD2K004711\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"RD2S008812\""), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
}

TEST_F(UsbProcess, GetConfigWritesTheReadersConfigurationToTheFile) {
    start("device ser 0x0204\n  serial RD2S008812\n  config_blob r\"READER=50\\nSOUND=1\\n\"\n");
    const std::string dir = scratch_dir();
    const ProcessRun r = run_brinlet({"-g", "-o", dir + "/reader.cfg"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir + "/reader.cfg"), "READER=50\nSOUND=1\n");
    const auto ex = emu::exchanges("ser");
    ASSERT_FALSE(ex.empty());
    EXPECT_EQ(ex.back().function, 503);
    EXPECT_EQ(ex.back().outcome, "fetched");
}

TEST_F(UsbProcess, SendConfigDeliversTheFileToTheReader) {
    start("device ser 0x0204\n  serial RD2S008812\n");
    const std::string dir = scratch_dir();
    std::string cfg;
    for (int i = 0; i < 100; ++i)
        cfg += "KEY" + std::to_string(i) + "=" + std::to_string(i * 7) + "\n";
    {
        std::ofstream f(dir + "/in.cfg", std::ios::binary);
        f << cfg;
    }
    const ProcessRun r = run_brinlet({"-c", "-i", dir + "/in.cfg"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto stored = emu::config_file("ser");
    EXPECT_EQ(std::string(stored.begin(), stored.end()), cfg);
}

TEST_F(UsbProcess, ReaderChosenBySerialOnAComposite) {
    start(READERS);
    const std::string dir = scratch_dir();
    const ProcessRun r = run_brinlet({"-g", "-s", "RD2K004711", "-o", dir + "/kbd.cfg"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(slurp(dir + "/kbd.cfg").empty());
    EXPECT_FALSE(emu::exchanges("kbd").empty());
    EXPECT_TRUE(emu::exchanges("ser").empty());
}

} // namespace
