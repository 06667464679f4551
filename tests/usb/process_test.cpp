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

// Starts brinlet under umockdev-wrapper; the test bed directory reaches it
// through UMOCKDEV_DIR, which the bus set in this process's environment.
pid_t start_brinlet(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv_s = {UMOCKDEV_WRAPPER, BRINLET_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
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
    return pid;
}

// Waits for the process (killing it after the time-out) and collects it.
ProcessRun finish_brinlet(pid_t pid, const std::string& dir) {
    ProcessRun r;
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
    r.out = slurp(dir + "/stdout");
    r.err = slurp(dir + "/stderr");
    return r;
}

ProcessRun run_brinlet(const std::vector<std::string>& args, const std::string& dir) {
    return finish_brinlet(start_brinlet(args, dir), dir);
}

void pause_s(double s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(s * 1000)));
}

std::vector<int> functions_of(std::string_view device) {
    std::vector<int> fns;
    for (const auto& x : emu::exchanges(device))
        fns.push_back(x.function);
    return fns;
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

// -u end to end: the keyboard personality switches to its service
// firmware (another product on another interface of the same port), takes
// the image, restarts into its normal firmware and updates its module.
TEST_F(UsbProcess, StandardFirmwareUpdateThroughBothPersonalityChanges) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
          "  extfw needed on\n");
    const std::string dir = scratch_dir();
    std::string image(5000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 31 + 7);
    {
        std::ofstream f(dir + "/fw.bin", std::ios::binary);
        f << image;
    }
    const ProcessRun r = run_brinlet({"-u", "-v", "-v", "-i", dir + "/fw.bin"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> want(image.begin(), image.end());
    EXPECT_EQ(emu::firmware("kbd", 510), want);
    EXPECT_EQ(emu::module_image("kbd"), want);
    const std::vector<int> fns = functions_of("kbd");
    ASSERT_FALSE(fns.empty());
    EXPECT_EQ(fns.front(), 511);
    EXPECT_EQ(std::count(fns.begin(), fns.end(), 506), 1);
    EXPECT_EQ(fns.back(), 537);
}

// Card test mode on four readers through the real libraries; one leaves
// and comes back and is tested again, the others go on reading.
TEST_F(UsbProcess, CardTestOnFourReadersWithOneReplugged) {
    std::string scenario;
    for (int i = 1; i <= 4; ++i)
        scenario += "device r" + std::to_string(i) + " 0x0204\n  serial RDT0" + std::to_string(i) +
                    "\n  port 1-" + std::to_string(i + 1) + "\n";
    scenario += "  card \"CARD42\" after 530\n";
    start(scenario);
    const std::string dir = scratch_dir();
    const pid_t pid = start_brinlet({"-t"}, dir);
    pause_s(3);
    emu::unplug("r2");
    pause_s(1.5);
    emu::plug("r2");
    pause_s(4.5);
    kill(pid, SIGINT);
    const ProcessRun r = finish_brinlet(pid, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 1; i <= 4; ++i) {
        const std::string name = "r" + std::to_string(i);
        EXPECT_NE(r.out.find("RDT0" + std::to_string(i) + ", "), std::string::npos) << name;
        const std::vector<int> fns = functions_of(name);
        EXPECT_EQ(std::count(fns.begin(), fns.end(), 530), name == "r2" ? 2 : 1) << name;
    }
    EXPECT_NE(r.out.find("CARD (tmout): 'CARD42'"), std::string::npos)
        << "the fourth reader's card";
}

} // namespace
