// Firmware updates as a technician runs them: -u through the service
// firmware and back, -X on the card reader module, and readers that
// misbehave or vanish on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

namespace {

const std::string KBD = "device kbd 0x0202\n  extra 0\n  serial RD2K0001\n  port 1-4\n";
const std::string SVC = "device svc 0x0200\n  serial RD2V0001\n  normal 0x0204\n";

std::string image(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 13 + 1);
    return s;
}

std::string write_image(size_t n) {
    const std::string path = temp_dir() + "/image.fw";
    write_file(path, image(n));
    return path;
}

int count(const std::vector<int>& v, int x) {
    return static_cast<int>(std::count(v.begin(), v.end(), x));
}

// Concatenated inputs of the module pieces the reader received.
std::string module_bytes(const ProcessResult& p, const std::string& device) {
    std::string all;
    for (const auto& r : transcript_records(p.transcript, "exchange", device))
        if (r.fields.at("fn") == "536") all += r.fields.at("in");
    return all;
}

TEST(FirmwareProcess, UpdateFromNormalFirmwareGoesThroughServiceAndBack) {
    const std::string fw = write_image(3000);
    const ProcessResult p = run_brinlet({"-u", "-i", fw, "-v", "-v"}, on(KBD));
    EXPECT_EQ(p.status, 0) << p.err;
    const std::vector<int> fns = transcript_functions(p.transcript, "kbd");
    ASSERT_GE(fns.size(), 5u);
    EXPECT_EQ(fns[0], 511);
    EXPECT_EQ(count(fns, 510), 1);
    EXPECT_EQ(fns.back(), 1500);
    const auto x = transcript_records(p.transcript, "exchange", "kbd");
    for (const auto& r : x) {
        if (r.fields.at("fn") == "510") {
            EXPECT_EQ(r.fields.at("in"), hex(image(3000)));
        }
    }
    const auto after_510 = std::find(fns.begin(), fns.end(), 510);
    EXPECT_EQ(*(after_510 + 1), 506);
    EXPECT_NE(p.err.find("reader is back!\n"), std::string::npos);
    EXPECT_NE(p.err.find("Resetting back to normal firmware"), std::string::npos);
    EXPECT_NE(p.err.find("DONE 0Starting external reader firmware check\n"), std::string::npos);
    EXPECT_NE(p.err.find("External reader firmware update not needed"), std::string::npos);
}

TEST(FirmwareProcess, ReaderOnInterfaceZeroKeepsItsPathAndIsUpdated) {
    const std::string fw = write_image(100);
    const ProcessResult p =
        run_brinlet({"-u", "-i", fw}, on("device rdr 0x0201\n  serial RS1\n  service_delay 0.2\n"));
    EXPECT_EQ(p.status, 0) << p.err;
    const std::vector<int> fns = transcript_functions(p.transcript, "rdr");
    EXPECT_EQ(count(fns, 511), 1);
    EXPECT_EQ(count(fns, 510), 1);
}

TEST(FirmwareProcess, NothingIsDrawnAfterFetchedDataClosedStandardOutput) {
    const std::string fw = write_image(100);
    const ProcessResult p =
        run_brinlet({"-u", "-b", "503", "-q", "-i", fw},
                    on(SVC + "  config_blob r\"CFG\"\n  extfw_check busy:1 needed\n"));
    EXPECT_EQ(p.status, 0) << p.err;
    ASSERT_GE(p.out.size(), 3u);
    EXPECT_EQ(p.out.substr(p.out.size() - 3), "CFG") << "the data is the last thing written";
}

TEST(FirmwareProcess, UpdateFromServiceFirmwareSkipsTheSwitch) {
    const std::string fw = write_image(100);
    const ProcessResult p = run_brinlet({"-u", "-i", fw}, on(SVC));
    EXPECT_EQ(p.status, 0);
    const std::vector<int> fns = transcript_functions(p.transcript, "svc");
    ASSERT_GE(fns.size(), 3u);
    EXPECT_EQ(fns[0], 510);
    EXPECT_EQ(fns[1], 506);
    EXPECT_EQ(count(fns, 511), 0);
}

TEST(FirmwareProcess, ModuleUpdateFollowsWithTheSameImage) {
    const std::string fw = write_image(1009);
    const ProcessResult p = run_brinlet({"-u", "-i", fw}, on(SVC + "  extfw needed on\n"));
    EXPECT_EQ(p.status, 0);
    const std::vector<int> fns = transcript_functions(p.transcript, "svc");
    EXPECT_EQ(count(fns, 536), 3);
    EXPECT_EQ(fns.back(), 537);
    EXPECT_EQ(module_bytes(p, "svc"), hex(image(1009)));
}

// A file that cannot be the image ends the run before anything is sent:
// the reader stays in the firmware it runs.
struct BadImage {
    const char* name;
    std::string path; // relative to a fresh directory
    int status;
    std::string err_tail;
};

void PrintTo(const BadImage& c, std::ostream* os) {
    *os << c.name;
}

class FirmwareBadImage : public ::testing::TestWithParam<BadImage> {};

TEST_P(FirmwareBadImage, EndsBeforeTheReaderIsSwitched) {
    const std::string dir = temp_dir();
    write_file(dir + "/huge.fw", std::string(8000000, 'x'));
    const ProcessResult p = run_brinlet({"-u", "-v", "-i", dir + "/" + GetParam().path}, on(KBD));
    EXPECT_EQ(p.status, GetParam().status);
    EXPECT_TRUE(p.err.size() >= GetParam().err_tail.size() &&
                p.err.substr(p.err.size() - GetParam().err_tail.size()) == GetParam().err_tail)
        << p.err;
    EXPECT_TRUE(transcript_functions(p.transcript, "kbd").empty()) << "no exchange at all";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FirmwareBadImage,
    ::testing::Values(BadImage{"missing", "missing.fw", 2, ": No such file or directory\n"},
                      BadImage{"directory", ".", 2, "Cannot read file: Is a directory\n"},
                      BadImage{"toolarge", "huge.fw", 3,
                               "Input file too large, maximum is: 8000000\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Readers whose serial numbers do not tell them apart: the one selected is
// found again on its USB port, and when the port cannot decide either, the
// update is refused before any exchange.
struct LookAlikes {
    const char* name;
    std::string serial_statement;
    std::string second_port;
    int status;
};

void PrintTo(const LookAlikes& c, std::ostream* os) {
    *os << c.name;
}

class FirmwareLookAlikes : public ::testing::TestWithParam<LookAlikes> {};

TEST_P(FirmwareLookAlikes, OnlyTheSelectedReaderIsUpdated) {
    const LookAlikes& c = GetParam();
    const std::string fw = write_image(100);
    const std::string scenario = "device a 0x0202\n  extra 0\n  port 1-4\n" + c.serial_statement +
                                 "device b 0x0202\n  extra 0\n  port " + c.second_port + "\n" +
                                 c.serial_statement;
    const ProcessResult p = run_brinlet({"-r", "1", "-u", "-v", "-i", fw}, on(scenario));
    EXPECT_EQ(p.status, c.status) << p.err;
    EXPECT_TRUE(transcript_functions(p.transcript, "a").empty()) << "reader 0 was not selected";
    const std::vector<int> fns = transcript_functions(p.transcript, "b");
    if (c.status == 0) {
        EXPECT_EQ(count(fns, 511), 1);
        EXPECT_EQ(count(fns, 510), 1);
    } else {
        EXPECT_TRUE(fns.empty());
        EXPECT_EQ(p.err, "Reader cannot be told from another reader after its restart: its "
                         "serial number is empty or not unique\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Serials, FirmwareLookAlikes,
                         ::testing::Values(LookAlikes{"sharedserial", "  serial RD2K0001\n", "1-5",
                                                      0},
                                           LookAlikes{"noserial", "  serial none\n", "1-5", 0},
                                           LookAlikes{"sharedserialandport", "  serial RD2K0001\n",
                                                      "1-4\n  usb_config 2", 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareProcess, ReaderBackStillInNormalFirmwareIsSwitchedAgain) {
    const std::string fw = write_image(10);
    const ProcessResult p =
        run_brinlet({"-u", "-i", fw}, on(KBD + "  service stay\nat 0.8 with kbd service return\n"));
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(count(transcript_functions(p.transcript, "kbd"), 511), 2);
}

TEST(FirmwareProcess, RefusedImageStillRestartsTheReaderButFails) {
    const std::string fw = write_image(10);
    const ProcessResult p = run_brinlet({"-u", "-i", fw}, on(SVC + "  fn 510 result -4\n"));
    EXPECT_EQ(p.status, 252) << "the transfer's result, not the module check's 0";
    const std::vector<int> fns = transcript_functions(p.transcript, "svc");
    EXPECT_EQ(count(fns, 506), 1);
    EXPECT_EQ(fns.back(), 1500);
}

TEST(FirmwareProcess, ReaderBackInServiceFirmwareIsNotASuccessSlow) {
    const std::string fw = write_image(10);
    const ProcessResult p =
        run_brinlet({"-u", "-v", "-i", fw}, on(SVC + "  reset_to 0x0200 interface 0\n"));
    EXPECT_EQ(p.status, 5);
    EXPECT_EQ(p.err, "Reader did not leave the service firmware\n");
}

TEST(FirmwareProcess, RefusedSwitchGivesFive) {
    const std::string fw = write_image(10);
    const ProcessResult p = run_brinlet({"-u", "-v", "-i", fw}, on(KBD + "  fn 511 result -3\n"));
    EXPECT_EQ(p.status, 5);
    EXPECT_EQ(p.err, "Cannot force firmware update: -3\n");
}

TEST(FirmwareProcess, ReaderNotReadyAfterRestartGivesFive) {
    const std::string fw = write_image(10);
    const ProcessResult p =
        run_brinlet({"-u", "-v", "-v", "-i", fw}, on(SVC + "  status_after_reset error=-5\n"));
    EXPECT_EQ(p.status, 5);
    EXPECT_NE(p.err.find("DONE -5Cannot wait for reader: -5\n"), std::string::npos) << p.err;
    EXPECT_EQ(count(transcript_functions(p.transcript, "svc"), 1500), 0);
}

TEST(FirmwareProcess, SwitchWithModuleCheckSendsNoImage) {
    const std::string fw = write_image(600);
    const ProcessResult p = run_brinlet({"-u", "-X", "-i", fw}, on(KBD + "  extfw needed on\n"));
    EXPECT_EQ(p.status, 0);
    const std::vector<int> fns = transcript_functions(p.transcript, "kbd");
    EXPECT_EQ(fns[0], 511);
    EXPECT_EQ(count(fns, 510), 0);
    EXPECT_EQ(count(fns, 506), 0) << "no restart phase";
    EXPECT_EQ(module_bytes(p, "kbd"), hex(image(600)));
}

TEST(FirmwareProcess, ModuleCheckNotNeeded) {
    const std::string fw = write_image(600);
    const ProcessResult p = run_brinlet({"-X", "-i", fw, "-v", "-v"}, on(KBD));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(transcript_functions(p.transcript, "kbd"), (std::vector<int>{1500}));
    EXPECT_NE(p.err.find("External reader firmware update not needed"), std::string::npos);
}

TEST(FirmwareProcess, ModuleCheckBusyFiveTimesThenNeeded) {
    const std::string fw = write_image(600);
    const ProcessResult p =
        run_brinlet({"-X", "-i", fw, "-v", "-v"}, on(KBD + "  extfw_check busy:5 needed\n"));
    EXPECT_EQ(p.status, 0);
    std::string::size_type at = 0;
    int busy = 0;
    while ((at = p.err.find("Busy: -25\n", at)) != std::string::npos)
        ++busy, ++at;
    EXPECT_EQ(busy, 5);
    const auto x = transcript_records(p.transcript, "exchange", "kbd");
    ASSERT_GE(x.size(), 7u);
    EXPECT_GE(x[5].ms - x[0].ms, 2400);
    EXPECT_EQ(module_bytes(p, "kbd"), hex(image(600)));
}

TEST(FirmwareProcess, ModuleUpdateFailureIsTheExitStatus) {
    const std::string fw = write_image(1200);
    const ProcessResult p =
        run_brinlet({"-X", "-i", fw}, on(KBD + "  extfw needed on\n  extfw reject piece 2 -5\n"));
    EXPECT_EQ(p.status, 251);
}

TEST(FirmwareProcess, ModuleCheckProgressJumpsToFiftyAndEndsAtHundred) {
    const std::string fw = write_image(40000);
    const ProcessResult p = run_brinlet(
        {"-X", "-q", "-i", fw}, on(KBD + "  extfw_check busy:1 needed\n  extfw busy pieces 1\n"));
    EXPECT_EQ(p.status, 0);
    std::vector<int> values;
    for (size_t at = 0; (at = p.out.find('\r', at)) != std::string::npos; ++at)
        values.push_back(std::stoi(p.out.substr(at + 1, 3)));
    ASSERT_GE(values.size(), 3u) << p.out;
    EXPECT_EQ(values.front(), 0);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    for (int v : values)
        EXPECT_TRUE(v == 0 || v >= 50) << v;
    EXPECT_EQ(values.back(), 100);
    EXPECT_EQ(p.out.back(), '\n');
}

TEST(FirmwareProcess, UpdateProgressRunsToFiftyThenToHundred) {
    const std::string fw = write_image(60000);
    const ProcessResult p =
        run_brinlet({"-u", "-q", "-i", fw},
                    on(SVC + "  latency 1\n  extfw needed on\n  extfw busy pieces 1\n"));
    EXPECT_EQ(p.status, 0);
    std::vector<int> values;
    for (size_t at = 0; (at = p.out.find('\r', at)) != std::string::npos; ++at)
        values.push_back(std::stoi(p.out.substr(at + 1, 3)));
    ASSERT_GE(values.size(), 3u);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_NE(std::find(values.begin(), values.end(), 50), values.end());
    EXPECT_EQ(values.back(), 100);
    EXPECT_EQ(std::count(p.out.begin(), p.out.end(), '\n'), 1);
}

// Unplugs at points through -u: the run ends within its bounds with a
// failure status, and a second run on the reader that came back completes.
struct FaultPoint {
    const char* name;
    std::string statements;
};

void PrintTo(const FaultPoint& point, std::ostream* os) {
    *os << point.name;
}

class FirmwareFault : public ::testing::TestWithParam<FaultPoint> {};

TEST_P(FirmwareFault, InterruptedUpdateFailsAndCanBeRepeated) {
    const std::string fw = write_image(5000);
    const ProcessResult first =
        run_brinlet({"-u", "-i", fw}, on(SVC + "  extfw needed on\n" + GetParam().statements));
    EXPECT_NE(first.status, 0) << GetParam().name;
    EXPECT_FALSE(first.signaled) << "ended by itself, no crash";
    EXPECT_LT(first.elapsed_ms, 80000);
    // The reader is back; its module may still hold the interrupted sequence.
    const ProcessResult second =
        run_brinlet({"-u", "-i", fw}, on(SVC + "  extfw needed on\n  extfw unfinished 5000\n"));
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(module_bytes(second, "svc"), hex(image(5000)));
}

INSTANTIATE_TEST_SUITE_P(
    Points, FirmwareFault,
    ::testing::Values(FaultPoint{"during510request", "  fn 510 unplug request return 0.3\n"},
                      FaultPoint{"during510data", "  fn 510 unplug input return 0.3\n"},
                      FaultPoint{"atReport40", "  unplug_at 40 return 0.3\n"},
                      FaultPoint{"during506", "  fn 506 unplug request return 0.3\n"},
                      FaultPoint{"duringRestartWait",
                                 "  status_after_reset busy:3 1\n  fn 2107 unplug done\n"},
                      FaultPoint{"duringModuleCheck", "  fn 1500 unplug request return 0.3\n"},
                      FaultPoint{"duringModulePiece", "  fn 536 unplug input return 0.3\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareProcess, ReaderThatNeverComesBackEndsWith255Slow) {
    const std::string fw = write_image(10);
    const ProcessResult p = run_brinlet({"-u", "-v", "-i", fw}, on(KBD + "  service never\n"));
    EXPECT_EQ(p.status, 255);
    EXPECT_EQ(p.err, "Cannot find back the reader, timeout.");
    EXPECT_GE(p.elapsed_ms, 60000);
    EXPECT_LT(p.elapsed_ms, 75000);
}

TEST(FirmwareProcess, ModuleStaysBusyAndNoUpdateIsAssumedSlow) {
    const std::string fw = write_image(10);
    const ProcessResult p =
        run_brinlet({"-X", "-i", fw, "-v", "-v"}, on(KBD + "  extfw_check busy\n"));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(transcript_functions(p.transcript, "kbd").size(), 61u);
    EXPECT_GE(p.elapsed_ms, 30000);
    EXPECT_LT(p.elapsed_ms, 33000);
    EXPECT_NE(p.err.find("External reader firmware update not needed"), std::string::npos);
}

} // namespace
