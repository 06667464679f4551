// SPDX-License-Identifier: GPL-2.0-or-later
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
ProcessCase update(std::string name, std::vector<std::string> options, const std::string& scenario,
                   size_t n, int status = 0, std::optional<std::string> err = std::nullopt) {
    options.insert(options.end(), {"-i", "$D/image.fw"});
    return ProcessCase(std::move(name), options, on(scenario), status, std::move(err))
        .prints(std::nullopt)
        .with_file("image.fw", image(n));
}

// Readers whose serial numbers do not tell them apart: the one selected is
// found again on its USB port, and when the port cannot decide either, the
// update is refused before any exchange.
ProcessCase look_alikes(std::string name, const std::string& serial, const std::string& port,
                        int status = 0) {
    return update(std::move(name), {"-r", "1", "-u", "-v"},
                  "device a 0x0202\n  extra 0\n  port 1-4\n" + serial +
                      "device b 0x0202\n  extra 0\n  port " + port + "\n" + serial,
                  100, status)
        .at("b")
        .times(511, status == 0)
        .times(510, status == 0)
        .checking([](const ProcessResult& r) {
            EXPECT_TRUE(transcript_functions(r.transcript, "a").empty()) << "not selected";
        });
}

// The image went to the loader whole, and the restart followed it.
void image_then_restart(const ProcessResult& r) {
    const auto x = transcript_records(r.transcript, "exchange", "kbd");
    for (size_t i = 0; i + 1 < x.size(); ++i)
        if (x[i].fields.at("fn") == "510") {
            EXPECT_EQ(x[i].fields.at("in"), hex(image(3000)));
            EXPECT_EQ(x[i + 1].fields.at("fn"), "506");
        }
}

void busy_five_times(const ProcessResult& r) {
    int busy = 0;
    for (size_t at = 0; (at = r.err.find("Busy: -25\n", at)) != std::string::npos; ++at)
        ++busy;
    EXPECT_EQ(busy, 5);
    const auto x = transcript_records(r.transcript, "exchange", "kbd");
    ASSERT_GE(x.size(), 7u);
    EXPECT_GE(x[5].ms - x[0].ms, 2400);
    module_got("kbd", 600)(r);
}

std::vector<ProcessCase> firmware_cases() {
    const std::string too_large = "Input file too large, maximum is: 8000000\n";
    std::vector<ProcessCase> cases = {
        update("updatefromnormalfirmwarethroughserviceandback", {"-u", "-v", "-v"}, KBD, 3000)
            .at("kbd")
            .starting({511})
            .times(510, 1)
            .last("fn", "1500")
            .mentions("reader is back!\n")
            .mentions("Resetting back to normal firmware")
            .mentions("DONE 0Starting external reader firmware check\n")
            .mentions(NOT_NEEDED)
            .checking(image_then_restart),
        update("readeroninterfacezerokeepsitspath", {"-u"},
               "device rdr 0x0201\n  serial RS1\n  service_delay 0.2\n", 100)
            .at("rdr")
            .times(511, 1)
            .times(510, 1),
        update("nothingisdrawnafterthefetcheddata", {"-u", "-b", "503", "-q"},
               SVC + "  config_blob r\"CFG\"\n  extfw_check busy:1 needed\n", 100)
            .checking([](const ProcessResult& r) {
                ASSERT_GE(r.out.size(), 3u);
                EXPECT_EQ(r.out.substr(r.out.size() - 3), "CFG") << "the data is written last";
            }),
        update("updatefromservicefirmwareskipstheswitch", {"-u"}, SVC, 100)
            .at("svc")
            .starting({510, 506})
            .times(511, 0),
        update("moduleupdatefollowswiththesameimage", {"-u"}, SVC + "  extfw needed on\n", 1009)
            .at("svc")
            .times(536, 3)
            .last("fn", "537")
            .checking(module_got("svc", 1009)),
        // A file that cannot be the image ends the run before anything is
        // sent: the reader stays in the firmware it runs.
        ProcessCase("missingimage", {"-u", "-v", "-i", "$D/missing.fw"}, on(KBD), 2,
                    "Cannot open $D/missing.fw for reading: No such file or directory\n")
            .on_wire("", {}),
        ProcessCase("directoryasimage", {"-u", "-v", "-i", "$D"}, on(KBD), 2,
                    "Cannot read file: Is a directory\n")
            .on_wire("", {}),
        ProcessCase("imagetoolarge", {"-u", "-v", "-i", "$D/huge.fw"}, on(KBD), 3, too_large)
            .with_file("huge.fw", std::string(8000000, 'x'))
            .on_wire("", {}),
        look_alikes("lookalikeswithasharedserial", "  serial RD2K0001\n", "1-5"),
        look_alikes("lookalikeswithoutserial", "  serial none\n", "1-5"),
        look_alikes("lookalikesonthesameport", "  serial RD2K0001\n", "1-4\n  usb_config 2", 5)
            .exchanges({})
            .says("Reader cannot be told from another reader after its restart: its serial "
                  "number is empty or not unique\n"),
        update("readerbackstillinnormalfirmwareisswitchedagain", {"-u"},
               KBD + "  service stay\nat 0.8 with kbd service return\n", 10)
            .at("kbd")
            .times(511, 2),
        // The transfer's result, not the module check's 0.
        update("refusedimagestillrestartsthereaderbutfails", {"-u"}, SVC + "  fn 510 result -4\n",
               10, 252)
            .at("svc")
            .times(506, 1)
            .last("fn", "1500"),
        update("refusedswitchgivesfive", {"-u", "-v"}, KBD + "  fn 511 result -3\n", 10, 5,
               "Cannot force firmware update: -3\n"),
        update("readernotreadyafterrestartgivesfive", {"-u", "-v", "-v"},
               SVC + "  status_after_reset error=-5\n", 10, 5)
            .mentions("DONE -5Cannot wait for reader: -5\n")
            .at("svc")
            .times(1500, 0),
        update("switchwithmodulechecksendsnoimage", {"-u", "-X"}, KBD + "  extfw needed on\n", 600)
            .at("kbd")
            .starting({511})
            .times(510, 0)
            .times(506, 0) // no restart phase
            .checking(module_got("kbd", 600)),
        update("modulechecknotneeded", {"-X", "-v", "-v"}, KBD, 600)
            .on_wire("kbd", {1500})
            .mentions(NOT_NEEDED),
        update("modulecheckbusyfivetimesthenneeded", {"-X", "-v", "-v"},
               KBD + "  extfw_check busy:5 needed\n", 600)
            .checking(busy_five_times),
        update("moduleupdatefailureistheexitstatus", {"-X"},
               KBD + "  extfw needed on\n  extfw reject piece 2 -5\n", 1200, 251),
        // The reader is back after an interrupted update (below); its module
        // may still hold the interrupted sequence, and the update completes.
        update("updateafteraninterruptedone", {"-u"},
               SVC + "  extfw needed on\n  extfw unfinished 5000\n", 5000)
            .checking(module_got("svc", 5000)),
    };
    // Unplugs at points through -u: the run ends by itself within its
    // bounds with a failure status.
    for (const auto& [point, statements] :
         {std::pair{"unplugduring510request", "  fn 510 unplug request return 0.3\n"},
          std::pair{"unplugduring510data", "  fn 510 unplug input return 0.3\n"},
          std::pair{"unplugatreport40", "  unplug_at 40 return 0.3\n"},
          std::pair{"unplugduring506", "  fn 506 unplug request return 0.3\n"},
          std::pair{"unplugduringrestartwait",
                    "  status_after_reset busy:3 1\n  fn 2107 unplug done\n"},
          std::pair{"unplugduringmodulecheck", "  fn 1500 unplug request return 0.3\n"},
          std::pair{"unplugduringmodulepiece", "  fn 536 unplug input return 0.3\n"}})
        cases.push_back(
            update(point, {"-u"}, SVC + "  extfw needed on\n" + statements, 5000, ANY_FAILURE)
                .taking(0, 80000));
    return cases;
}

TEST(FirmwareProcess, EveryUpdateEndsWithItsStatusStreamsAndExchanges) {
    run_and_check(firmware_cases(), 6);
}

// The 60-attempt find-again time-out and the module check's 30 s of busy
// answers, side by side.
TEST(FirmwareProcess, ReadersThatDoNotComeBackOrStayBusyEndInTimeSlow) {
    run_and_check({update("readerbackinservicefirmwareisnotasuccess", {"-u", "-v"},
                          SVC + "  reset_to 0x0200 interface 0\n", 10, 5,
                          "Reader did not leave the service firmware\n")
                       .taking(0, 80000),
                   update("readerthatnevercomesback", {"-u", "-v"}, KBD + "  service never\n", 10,
                          255, "Cannot find back the reader, timeout.")
                       .taking(60000, 75000),
                   update("modulestaysbusyandnoupdateisassumed", {"-X", "-v", "-v"},
                          KBD + "  extfw_check busy\n", 10)
                       .on_wire("kbd", std::vector<int>(61, 1500))
                       .mentions(NOT_NEEDED)
                       .taking(30000, 33000)},
                  3);
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

} // namespace
