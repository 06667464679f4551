// SPDX-License-Identifier: GPL-2.0-or-later
// The brinlet binary, linked with the system's hidapi-libusb, as a process
// under umockdev-wrapper: it finds the emulated readers through the same
// fake sysfs and usbdevfs as this process, whose threads answer its ioctls.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emu.h"
#include "support/process.h"
#include "usb_rig.h"

namespace {

using namespace std::chrono_literals;

// The test bed directory reaches the process through UMOCKDEV_DIR, which
// the bus set in this process's environment.
const ProcessOptions UNDER_UMOCKDEV = {
    .launcher = {UMOCKDEV_WRAPPER}, .keep_preload = true, .timeout_s = 60};

std::vector<int> functions_of(std::string_view device) {
    std::vector<int> fns;
    for (const auto& x : emu::exchanges(device))
        fns.push_back(x.function);
    return fns;
}

class UsbProcess : public UsbReaders {};

// -l, then -g -o of a configuration of many reports from the composite
// keyboard reader and -c -i of that file to the serial reader, each chosen
// by its serial.
TEST_F(UsbProcess, ListGetAndSendConfiguration) {
    std::string cfg, blob; // blob: cfg in the scenario's notation
    for (int i = 0; cfg.size() < 5000; ++i) {
        cfg +=
            "LINE" + std::to_string(i) + "=" + std::string(static_cast<size_t>(i % 50), 'x') + "\n";
        blob += "LINE" + std::to_string(i) + "=" + std::string(static_cast<size_t>(i % 50), 'x') +
                "\\n";
    }
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n  config_blob r\"" +
          blob + "\"\ndevice ser 0x0204\n  serial RD2S008812\n  port 1-4.3\n");
    const std::string dir = temp_dir();
    const std::string kbd = " \"USB reader v2/v3 (usb keyboard class)\" \"RD2K004711\"\n";
    const std::string ser = " \"USB reader v2/v3 (usb serial class)\" \"RD2S008812\"\n";
    const ProcessResult runs[] = {
        run_brinlet({"-l"}, UNDER_UMOCKDEV),
        run_brinlet({"-g", "-s", "RD2K004711", "-o", dir + "/cfg"}, UNDER_UMOCKDEV),
        run_brinlet({"-c", "-s", "RD2S008812", "-i", dir + "/cfg"}, UNDER_UMOCKDEV)};
    for (const ProcessResult& r : runs) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    // The bus decides the order.
    EXPECT_TRUE(runs[0].out == "0" + kbd + "1" + ser || runs[0].out == "0" + ser + "1" + kbd)
        << runs[0].out;
    EXPECT_EQ(runs[1].out + runs[2].out, "");
    EXPECT_EQ(read_file(dir + "/cfg"), cfg);
    EXPECT_EQ(emu::config_file("ser"), std::vector<uint8_t>(cfg.begin(), cfg.end()));
}

// -u end to end: the keyboard personality switches to its service
// firmware (another product on another interface of the same port), takes
// the image, restarts into its normal firmware and updates its module.
TEST_F(UsbProcess, StandardFirmwareUpdateThroughBothPersonalityChanges) {
    start("device kbd 0x0202\n  extra 0\n  serial RD2K004711\n  port 1-4.2\n"
          "  extfw needed on\n");
    const std::string dir = temp_dir();
    std::string image(5000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 31 + 7);
    write_file(dir + "/fw.bin", image);
    const ProcessResult r = run_brinlet({"-u", "-i", dir + "/fw.bin"}, UNDER_UMOCKDEV);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
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
    start(scenario + "  card \"CARD42\" after 530\n");
    const StartedProcess running = start_brinlet({"-t"}, UNDER_UMOCKDEV);
    // r2 registers for callbacks (530) when set up, and again once back.
    const auto registered = [](long times) {
        for (int ms = 0; ms < 20000; ms += 50, std::this_thread::sleep_for(50ms))
            if (std::ranges::count(functions_of("r2"), 530) >= times) return true;
        return false;
    };
    EXPECT_TRUE(registered(1));
    emu::unplug("r2");
    std::this_thread::sleep_for(1500ms);
    emu::plug("r2");
    EXPECT_TRUE(registered(2));
    // The USB library's threads, and the readers', leave Ctrl+C to the
    // console's thread.
    EXPECT_EQ(threads_taking_ending_signals(running.pid), "");
    kill(running.pid, SIGINT);
    const ProcessResult r = finish_brinlet(running);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (int i = 1; i <= 4; ++i) {
        const std::string name = "r" + std::to_string(i);
        EXPECT_NE(r.out.find("RDT0" + std::to_string(i) + ", "), std::string::npos) << name;
        EXPECT_EQ(std::ranges::count(functions_of(name), 530), name == "r2" ? 2 : 1) << name;
    }
    EXPECT_NE(r.out.find("CARD (tmout): 'CARD42'"), std::string::npos)
        << "the fourth reader's card";
}

// The summary's lines after its header, sorted (the bus decides the list
// order), each seconds column as "S".
std::vector<std::string> summary_lines(const std::string& out) {
    std::istringstream in(std::regex_replace(out, std::regex("\t[0-9]+\\.[0-9]\t"), "\tS\t"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin() + std::min<std::ptrdiff_t>(std::ssize(lines), 1), lines.end());
    return lines;
}

// -a on four readers at once: -g into a file per reader (the one in its
// service firmware skipped), then -u, each reader through its own
// re-enumerations, three personalities on other interfaces. Each reader
// leaves the bus 0.3 s after it answered a restart request, so that a
// loaded machine reads the answer before the reader is gone.
TEST_F(UsbProcess, FetchAndFirmwareUpdateOfFourReadersAtOnce) {
    std::string scenario = "device kbd 0x0202\n  extra 0\n  serial U1\n  port 1-2\n"
                           "  config_blob rep:3000:4b\n"
                           "device ser 0x0204\n  serial U2\n  port 1-3\n  config_blob rep:5000:53\n"
                           "device rs 0x0201\n  serial U3\n  port 1-4\n  config_blob r\"RS\"\n"
                           "device svc 0x0200\n  serial U4\n  port 1-5\n  normal 0x0204\n";
    start(std::regex_replace(scenario, std::regex("\n(device|$)"), "\n  leave_delay 300\n$1") +
          "  extfw needed on\n");
    const std::string dir = temp_dir(), head = "serial\tresult\tstatus\tseconds\tmessage";
    const ProcessResult g = run_brinlet({"-a", "-g", "-o", dir + "/%s.cfg"}, UNDER_UMOCKDEV);
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(
        summary_lines(g.out),
        (std::vector<std::string>{head, "U1\tok\t0\tS\t", "U2\tok\t0\tS\t", "U3\tok\t0\tS\t",
                                  "U4\tskipped\t6\tS\tOperation not supported on given reader."}));
    EXPECT_EQ(read_file(dir + "/U1.cfg") + read_file(dir + "/U2.cfg") + read_file(dir + "/U3.cfg"),
              std::string(3000, 'K') + std::string(5000, 'S') + "RS");
    EXPECT_FALSE(std::filesystem::exists(dir + "/U4.cfg"));
    std::string image(7000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 17 + 3);
    write_file(dir + "/fw.bin", image);
    const ProcessResult u = run_brinlet({"-a", "-u", "-i", dir + "/fw.bin"}, UNDER_UMOCKDEV);
    EXPECT_EQ(u.status, 0) << u.err;
    EXPECT_EQ(g.err + u.err, "");
    EXPECT_EQ(summary_lines(u.out),
              (std::vector<std::string>{head, "U1\tok\t0\tS\t", "U2\tok\t0\tS\t", "U3\tok\t0\tS\t",
                                        "U4\tok\t0\tS\t"}));
    const std::vector<uint8_t> want(image.begin(), image.end());
    for (const char* name : {"kbd", "ser", "rs", "svc"}) {
        EXPECT_EQ(emu::firmware(name, 510), want) << name;
        const std::vector<int> fns = functions_of(name);
        EXPECT_EQ(std::count(fns.begin(), fns.end(), 511), std::string(name) == "svc" ? 0 : 1)
            << name;
        EXPECT_EQ(std::count(fns.begin(), fns.end(), 506), 1) << name;
    }
    EXPECT_EQ(emu::module_image("svc"), want);
}

} // namespace
