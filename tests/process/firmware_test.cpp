// SPDX-License-Identifier: GPL-2.0-or-later
// Firmware updates as a technician runs them: -u through the service
// firmware and back, -X on the card reader module, and readers that
// misbehave, look alike or vanish on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/process_case.h"
#include "support/table.h"

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

// The device's module received exactly the image of n bytes, in order.
std::function<void(const ProcessResult&)> module_got(const std::string& device, size_t n) {
    return [=](const ProcessResult& r) {
        std::string all;
        for (const auto& x : transcript_records(r.transcript, "exchange", device))
            if (x["fn"] == "536") all += x["in"];
        EXPECT_EQ(all, hex(image(n)));
    };
}

// A -u or -X run (options before "-i") with an image of n bytes.
ProcessCase update(std::string name, const std::string& options, const std::string& scenario,
                   size_t n, int status = 0, std::optional<std::string> err = "") {
    return ProcessCase(std::move(name), options + " -i $D/image.fw", on(scenario), status,
                       std::move(err))
        .with_file("image.fw", image(n));
}

// Readers whose serial numbers do not tell them apart: the one selected is
// found again on its USB port, and when the port cannot decide either, the
// update is refused before any exchange.
ProcessCase look_alikes(std::string name, const std::string& serial, const std::string& port,
                        int status = 0) {
    return update(std::move(name), "-r 1 -u -v",
                  "device a 0x0202\n  extra 0\n  port 1-4\n" + serial +
                      "device b 0x0202\n  extra 0\n  port " + port + "\n" + serial,
                  100, status)
        .checking([=](const ProcessResult& r) {
            const std::vector<int> fns = transcript_functions(r.transcript, "b");
            EXPECT_TRUE(transcript_functions(r.transcript, "a").empty()) << "not selected";
            EXPECT_EQ(std::count(fns.begin(), fns.end(), 511), status == 0);
            EXPECT_EQ(std::count(fns.begin(), fns.end(), 510), status == 0);
        });
}

// The image went to the loader whole, and the restart followed it.
void image_then_restart(const ProcessResult& r) {
    const auto x = transcript_records(r.transcript, "exchange", "kbd");
    for (size_t i = 0; i + 1 < x.size(); ++i)
        if (x[i]["fn"] == "510") {
            EXPECT_EQ(x[i]["in"], hex(image(3000)));
            EXPECT_EQ(x[i + 1]["fn"], "506");
        }
}

// Five busy answers over 2.4 s or more, then the module update.
void busy_five_times(const ProcessResult& r) {
    const std::regex busy("Busy: -25\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.err.begin(), r.err.end(), busy), {}), 5);
    const auto x = transcript_records(r.transcript, "exchange", "kbd");
    ASSERT_GE(x.size(), 7u);
    EXPECT_GE(x[5].ms - x[0].ms, 2400);
    module_got("kbd", 600)(r);
}

std::vector<ProcessCase> update_cases() {
    const std::string module = "  extfw needed on\n";
    std::vector<ProcessCase> cases = {
        update("UpdateFromNormalFirmwareThroughServiceAndBack", "-u -v -v", KBD, 3000)
            .starting("kbd", {511})
            .times(510, 1)
            .last("kbd", "fn=1500")
            .mentions("reader is back!\n")
            .mentions("Resetting back to normal firmware")
            .mentions("DONE 0Starting external reader firmware check\n")
            .mentions(NOT_NEEDED)
            .checking(image_then_restart),
        update("ReaderOnInterfaceZeroKeepsItsPath", "-u",
               "device rdr 0x0201\n  serial RS1\n  service_delay 0.2\n", 100)
            .starting("rdr", {511, 510}),
        update("NothingIsDrawnAfterTheFetchedData", "-u -b 503 -q",
               SVC + "  config_blob r\"CFG\"\n  extfw_check busy:1 needed\n", 100)
            .prints("CFG") // the bar goes to standard error, the data is the last output
            .says({})
            .checking([](const ProcessResult& r) {
                const std::regex bar("(\r  0%\\[-{60}\\])*(\r 50%\\[={30}-{30}\\])+\n");
                EXPECT_TRUE(std::regex_match(r.err, bar)) << r.err;
            }),
        // From the service firmware: no switch, and the module update
        // follows with the same image.
        update("UpdateFromServiceFirmwareSkipsTheSwitch", "-u", SVC + module, 1009)
            .starting("svc", {510, 506})
            .times(511, 0)
            .last("svc", "fn=537")
            .times(536, 3)
            .checking(module_got("svc", 1009)),
        // A file that cannot be the image ends the run before anything is
        // sent: the reader stays in the firmware it runs.
        ProcessCase("MissingImage", "-u -v -i $D/missing.fw", on(KBD), 2,
                    "Cannot open $D/missing.fw for reading: No such file or directory\n")
            .wire("", {}),
        ProcessCase("ImageTooLarge", "-u -v -i $D/huge.fw", on(KBD), 3,
                    "Input file too large, maximum is: 8000000\n")
            .with_filled_file("huge.fw", 8000000, 'x')
            .wire("", {}),
        look_alikes("LookAlikesWithASharedSerial", "  serial RD2K0001\n", "1-5"),
        look_alikes("LookAlikesWithoutSerial", "  serial none\n", "1-5"),
        look_alikes("LookAlikesOnTheSamePort", "  serial RD2K0001\n", "1-4\n  usb_config 2", 5)
            .wire("", {})
            .says("Reader cannot be told from another reader after its restart: its serial "
                  "number is empty or not unique\n"),
        // Another reader with the same serial number is plugged in on
        // another port while the selected one restarts: it is a stranger,
        // and the selected reader is waited for and updated.
        update("LookAlikePluggedInDuringTheRestartIsNotTaken", "-u",
               KBD + "  service_delay 1.5\n" +
                   "device b 0x0200\n  serial RD2K0001\n  port 1-5\n  appear 0.7\n",
               100)
            .starting("kbd", {511, 510, 506})
            .checking([](const ProcessResult& r) {
                EXPECT_EQ(transcript_functions(r.transcript, "b"), std::vector<int>{});
            }),
        update("ReaderBackStillInNormalFirmwareIsSwitchedAgain", "-u",
               KBD + "  service stay\nat 0.8 with kbd service return\n", 10)
            .starting("kbd", {511})
            .times(511, 2),
        // The transfer's result, not the module check's 0.
        update("RefusedImageStillRestartsTheReaderButFails", "-u", SVC + "  fn 510 result -4\n", 10,
               252)
            .last("svc", "fn=1500")
            .times(506, 1),
        update("RefusedSwitchGivesFive", "-u -v", KBD + "  fn 511 result -3\n", 10, 5,
               "Cannot force firmware update: -3\n"),
        update("ReaderNotReadyAfterRestartGivesFive", "-u -v -v",
               SVC + "  status_after_reset error=-5\n", 10, 5)
            .mentions("DONE -5Cannot wait for reader: -5\n")
            .times(1500, 0),
        update("SwitchWithModuleCheckSendsNoImage", "-u -X", KBD + module, 600)
            .starting("kbd", {511})
            .times(510, 0)
            .times(506, 0) // no restart phase
            .checking(module_got("kbd", 600)),
        update("ModuleCheckNotNeeded", "-X -v -v", KBD, 600)
            .wire("kbd", {1500})
            .mentions(NOT_NEEDED),
        update("ModuleCheckBusyFiveTimesThenNeeded", "-X -v -v",
               KBD + "  extfw_check busy:5 needed\n", 600)
            .mentions("External reader firmware update needed\n")
            .checking(busy_five_times),
        update("ModuleUpdateFailureIsTheExitStatus", "-X",
               KBD + module + "  extfw reject piece 2 -5\n", 1200, 251),
        // The reader is back after an interrupted update; its module may
        // still hold the interrupted sequence, and the update completes.
        update("UpdateAfterAnInterruptedOne", "-u", SVC + module + "  extfw unfinished 5000\n",
               5000)
            .checking(module_got("svc", 5000)),
    };
    // Unplugs while the image or a module piece goes in (the fault matrix
    // breaks every step's request): the run ends by itself, failing.
    for (const auto& [name, statements] :
         {std::pair{"UnplugDuringImage", "  fn 510 unplug input return 0.3\n"},
          std::pair{"UnplugDuringModulePiece", "  fn 536 unplug input return 0.3\n"}})
        cases.push_back(
            update(name, "-u", SVC + module + statements, 5000, ANY_FAILURE).taking(0, 80000));
    return cases;
}

class FirmwareUpdate : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(FirmwareUpdate, EveryUpdateEndsWithItsStatusStreamsAndExchanges) {
    run_and_check(GetParam());
}

TABLE_TEST(Updates, FirmwareUpdate, update_cases());

// The 60-attempt find-again time-out and the module check's 30 s of busy
// answers: long runs, each a test of its own.
std::vector<ProcessCase> waiting_cases() {
    return {
        update("ReaderBackInServiceFirmwareIsNotASuccess", "-u -v",
               SVC + "  reset_to 0x0200 interface 0\n", 10, 5,
               "Reader did not leave the service firmware\n")
            .taking(0, 80000),
        // Sixty attempts, each an enumeration that finds no reader.
        update("ReaderThatNeverComesBack", "-u -v -v", KBD + "  service never\n", 10, 255)
            .mentions("No readers found.Cannot find back the reader, timeout.")
            .checking([](const ProcessResult& r) {
                const std::regex attempt("No readers found\\.");
                EXPECT_EQ(
                    std::distance(std::sregex_iterator(r.err.begin(), r.err.end(), attempt), {}),
                    60);
            })
            .taking(60000, 90000),
        update("ModuleStaysBusyAndNoUpdateIsAssumed", "-X -v -v", KBD + "  extfw_check busy\n", 10)
            .wire("kbd", std::vector<int>(61, 1500))
            .mentions(NOT_NEEDED)
            .taking(30000, 45000)};
}

class FirmwareWait : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(FirmwareWait, ReadersThatDoNotComeBackOrStayBusyEndInTimeSlow) {
    run_and_check(GetParam());
}

TABLE_TEST(Waits, FirmwareWait, waiting_cases());

} // namespace
