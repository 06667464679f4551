// Firmware updates as a technician runs them: -u through the service
// firmware and back, -X on the card reader module, and readers that
// misbehave, look alike or vanish on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/process_case.h"
#include "support/transcript.h"

namespace {

const std::string KBD = "device kbd 0x0202\n  extra 0\n  serial RD2K0001\n  port 1-4\n";
const std::string SVC = "device svc 0x0200\n  serial RD2V0001\n  normal 0x0204\n";
const std::string NOT_NEEDED = "External reader firmware update not needed";

std::string image(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 13 + 1);
    return s;
}

// Concatenated inputs of the module pieces the reader received.
std::string module_bytes(const ProcessResult& p, const std::string& device) {
    std::string all;
    for (const auto& r : transcript_records(p.transcript, "exchange", device))
        if (r.fields.at("fn") == "536") all += r.fields.at("in");
    return all;
}

// The module of the device received exactly the image of n bytes.
std::function<void(const ProcessResult&)> module_got(const std::string& device, size_t n) {
    return [=](const ProcessResult& r) { EXPECT_EQ(module_bytes(r, device), hex(image(n))); };
}

// A -u or -X run (its options first) with an image of n bytes.
ProcessCase update(std::string name, std::vector<std::string> options, std::string scenario,
                   size_t n) {
    options.insert(options.end(), {"-i", "$D/image.fw"});
    return {.name = std::move(name),
            .args = options,
            .how = on(std::move(scenario)),
            .files = {{"image.fw", image(n)}},
            .out = std::nullopt,
            .err = std::nullopt};
}

// Readers whose serial numbers do not tell them apart: the one selected is
// found again on its USB port, and when the port cannot decide either, the
// update is refused before any exchange.
ProcessCase look_alikes(std::string name, const std::string& serial,
                        const std::string& second_port) {
    ProcessCase c = update(std::move(name), {"-r", "1", "-u", "-v"},
                           "device a 0x0202\n  extra 0\n  port 1-4\n" + serial +
                               "device b 0x0202\n  extra 0\n  port " + second_port + "\n" + serial,
                           100);
    c.device = "b";
    c.counts = {{511, 1}, {510, 1}};
    c.also = [](const ProcessResult& r) {
        EXPECT_TRUE(transcript_functions(r.transcript, "a").empty()) << "reader 0 was not selected";
    };
    return c;
}

std::vector<ProcessCase> firmware_cases() {
    std::vector<ProcessCase> cases;
    ProcessCase c =
        update("updatefromnormalfirmwarethroughserviceandback", {"-u", "-v", "-v"}, KBD, 3000);
    c.device = "kbd";
    c.starts = {511};
    c.counts = {{510, 1}};
    c.last = {{"fn", "1500"}};
    c.err_has = {"reader is back!\n", "Resetting back to normal firmware",
                 "DONE 0Starting external reader firmware check\n", NOT_NEEDED};
    c.also = [](const ProcessResult& r) {
        const auto x = transcript_records(r.transcript, "exchange", "kbd");
        for (size_t i = 0; i + 1 < x.size(); ++i)
            if (x[i].fields.at("fn") == "510") {
                EXPECT_EQ(x[i].fields.at("in"), hex(image(3000)));
                EXPECT_EQ(x[i + 1].fields.at("fn"), "506");
            }
    };
    cases.push_back(c);
    c = update("readeroninterfacezerokeepsitspath", {"-u"},
               "device rdr 0x0201\n  serial RS1\n  service_delay 0.2\n", 100);
    c.device = "rdr";
    c.counts = {{511, 1}, {510, 1}};
    cases.push_back(c);
    c = update("nothingisdrawnafterthefetcheddata", {"-u", "-b", "503", "-q"},
               SVC + "  config_blob r\"CFG\"\n  extfw_check busy:1 needed\n", 100);
    c.also = [](const ProcessResult& r) {
        ASSERT_GE(r.out.size(), 3u);
        EXPECT_EQ(r.out.substr(r.out.size() - 3), "CFG") << "the data is the last thing written";
    };
    cases.push_back(c);
    c = update("updatefromservicefirmwareskipstheswitch", {"-u"}, SVC, 100);
    c.device = "svc";
    c.starts = {510, 506};
    c.counts = {{511, 0}};
    cases.push_back(c);
    c = update("moduleupdatefollowswiththesameimage", {"-u"}, SVC + "  extfw needed on\n", 1009);
    c.device = "svc";
    c.counts = {{536, 3}};
    c.last = {{"fn", "537"}};
    c.also = module_got("svc", 1009);
    cases.push_back(c);
    // A file that cannot be the image ends the run before anything is
    // sent: the reader stays in the firmware it runs.
    for (const auto& [name, path, status, tail] :
         {std::tuple{"missingimage", "$D/missing.fw", 2,
                     "Cannot open $D/missing.fw for reading: No such file or directory\n"},
          std::tuple{"directoryasimage", "$D", 2, "Cannot read file: Is a directory\n"},
          std::tuple{"imagetoolarge", "$D/huge.fw", 3,
                     "Input file too large, maximum is: 8000000\n"}}) {
        cases.push_back({.name = name,
                         .args = {"-u", "-v", "-i", path},
                         .how = on(KBD),
                         .files = {{"huge.fw", std::string(8000000, 'x')}},
                         .status = status,
                         .err = tail,
                         .functions = std::vector<int>{}});
    }
    cases.push_back(look_alikes("lookalikeswithasharedserial", "  serial RD2K0001\n", "1-5"));
    cases.push_back(look_alikes("lookalikeswithoutserial", "  serial none\n", "1-5"));
    c = look_alikes("lookalikesonthesameport", "  serial RD2K0001\n", "1-4\n  usb_config 2");
    c.status = 5;
    c.counts = {};
    c.functions = std::vector<int>{};
    c.err = "Reader cannot be told from another reader after its restart: its serial number is "
            "empty or not unique\n";
    cases.push_back(c);
    c = update("readerbackstillinnormalfirmwareisswitchedagain", {"-u"},
               KBD + "  service stay\nat 0.8 with kbd service return\n", 10);
    c.device = "kbd";
    c.counts = {{511, 2}};
    cases.push_back(c);
    c = update("refusedimagestillrestartsthereaderbutfails", {"-u"}, SVC + "  fn 510 result -4\n",
               10);
    c.status = 252; // the transfer's result, not the module check's 0
    c.device = "svc";
    c.counts = {{506, 1}};
    c.last = {{"fn", "1500"}};
    cases.push_back(c);
    c = update("refusedswitchgivesfive", {"-u", "-v"}, KBD + "  fn 511 result -3\n", 10);
    c.status = 5;
    c.err = "Cannot force firmware update: -3\n";
    cases.push_back(c);
    c = update("readernotreadyafterrestartgivesfive", {"-u", "-v", "-v"},
               SVC + "  status_after_reset error=-5\n", 10);
    c.status = 5;
    c.err_has = {"DONE -5Cannot wait for reader: -5\n"};
    c.device = "svc";
    c.counts = {{1500, 0}};
    cases.push_back(c);
    c = update("switchwithmodulechecksendsnoimage", {"-u", "-X"}, KBD + "  extfw needed on\n", 600);
    c.device = "kbd";
    c.starts = {511};
    c.counts = {{510, 0}, {506, 0}}; // no restart phase
    c.also = module_got("kbd", 600);
    cases.push_back(c);
    c = update("modulechecknotneeded", {"-X", "-v", "-v"}, KBD, 600);
    c.device = "kbd";
    c.functions = std::vector{1500};
    c.err_has = {NOT_NEEDED};
    cases.push_back(c);
    c = update("modulecheckbusyfivetimesthenneeded", {"-X", "-v", "-v"},
               KBD + "  extfw_check busy:5 needed\n", 600);
    c.also = [](const ProcessResult& r) {
        int busy = 0;
        for (size_t at = 0; (at = r.err.find("Busy: -25\n", at)) != std::string::npos; ++at)
            ++busy;
        EXPECT_EQ(busy, 5);
        const auto x = transcript_records(r.transcript, "exchange", "kbd");
        ASSERT_GE(x.size(), 7u);
        EXPECT_GE(x[5].ms - x[0].ms, 2400);
        module_got("kbd", 600)(r);
    };
    cases.push_back(c);
    c = update("moduleupdatefailureistheexitstatus", {"-X"},
               KBD + "  extfw needed on\n  extfw reject piece 2 -5\n", 1200);
    c.status = 251;
    cases.push_back(c);
    return cases;
}

TEST(FirmwareProcess, EveryUpdateEndsWithItsStatusStreamsAndExchanges) {
    const std::vector<ProcessCase> cases = firmware_cases();
    const std::vector<ProcessResult> runs = run_cases(cases, 6);
    for (size_t i = 0; i < cases.size(); ++i)
        check_case(cases[i], runs[i]);
}

// The 60-attempt find-again time-out and the module check's 30 s of busy
// answers, side by side.
TEST(FirmwareProcess, ReadersThatDoNotComeBackOrStayBusyEndInTimeSlow) {
    std::vector<ProcessCase> cases;
    ProcessCase c = update("readerbackinservicefirmwareisnotasuccess", {"-u", "-v"},
                           SVC + "  reset_to 0x0200 interface 0\n", 10);
    c.status = 5;
    c.err = "Reader did not leave the service firmware\n";
    c.max_ms = 80000;
    cases.push_back(c);
    c = update("readerthatnevercomesback", {"-u", "-v"}, KBD + "  service never\n", 10);
    c.status = 255;
    c.err = "Cannot find back the reader, timeout.";
    c.min_ms = 60000;
    c.max_ms = 75000;
    cases.push_back(c);
    c = update("modulestaysbusyandnoupdateisassumed", {"-X", "-v", "-v"},
               KBD + "  extfw_check busy\n", 10);
    c.device = "kbd";
    c.counts = {{1500, 61}};
    c.functions = std::vector<int>(61, 1500);
    c.err_has = {NOT_NEEDED};
    c.min_ms = 30000;
    c.max_ms = 33000;
    cases.push_back(c);
    const std::vector<ProcessResult> runs = run_cases(cases, 3);
    for (size_t i = 0; i < cases.size(); ++i)
        check_case(cases[i], runs[i]);
}

// The values of the progress bar drawings in out.
std::vector<int> bar_values(const std::string& out) {
    std::vector<int> values;
    for (size_t at = 0; (at = out.find('\r', at)) != std::string::npos; ++at)
        values.push_back(std::stoi(out.substr(at + 1, 3)));
    EXPECT_GE(values.size(), 3u) << out;
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.empty() ? 0 : values.back(), 100);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_EQ(out.back(), '\n');
    return values;
}

TEST(FirmwareProcess, ModuleCheckProgressJumpsToFiftyAndEndsAtHundred) {
    const std::string dir = temp_dir();
    write_file(dir + "/fw", image(40000));
    const ProcessResult p =
        run_brinlet({"-X", "-q", "-i", dir + "/fw"},
                    on(KBD + "  extfw_check busy:1 needed\n  extfw busy pieces 1\n"));
    EXPECT_EQ(p.status, 0);
    const std::vector<int> values = bar_values(p.out);
    EXPECT_EQ(values.front(), 0);
    for (int v : values)
        EXPECT_TRUE(v == 0 || v >= 50) << v;
}

TEST(FirmwareProcess, UpdateProgressRunsToFiftyThenToHundred) {
    const std::string dir = temp_dir();
    write_file(dir + "/fw", image(60000));
    const ProcessResult p =
        run_brinlet({"-u", "-q", "-i", dir + "/fw"},
                    on(SVC + "  latency 1\n  extfw needed on\n  extfw busy pieces 1\n"));
    EXPECT_EQ(p.status, 0);
    const std::vector<int> values = bar_values(p.out);
    EXPECT_NE(std::find(values.begin(), values.end(), 50), values.end());
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
    const std::string dir = temp_dir();
    write_file(dir + "/fw", image(5000));
    const ProcessResult first = run_brinlet(
        {"-u", "-i", dir + "/fw"}, on(SVC + "  extfw needed on\n" + GetParam().statements));
    EXPECT_NE(first.status, 0);
    EXPECT_FALSE(first.signaled) << "ended by itself, no crash";
    EXPECT_LT(first.elapsed_ms, 80000);
    // The reader is back; its module may still hold the interrupted sequence.
    const ProcessResult second = run_brinlet(
        {"-u", "-i", dir + "/fw"}, on(SVC + "  extfw needed on\n  extfw unfinished 5000\n"));
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

} // namespace
