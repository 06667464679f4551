// SPDX-License-Identifier: GPL-2.0-or-later
// The real binary on emulated readers: each batch option's exchange on the
// wire, the files and streams it writes and its exit status, with inputs
// and outputs that cannot be used (files that are empty, too large, not
// files at all, pipes whose reader went away, closed streams) and options
// alone, without their value or with very long or non-numeric values.
// Each run is a test of its own, so that the runs that sleep through the
// 4 s error pause go side by side. Progress bars of every kind of run are
// here.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "support/process_case.h"
#include "support/table.h"

namespace {

const std::string TWO =
    "device kbd 0x0202\n  extra 0\n  serial RD2K0001\n  config_blob r\"CFG-KBD\\n\"\n"
    "  log_blob r\"log line 1\\nlog line 2\\n\"\n"
    "device ser 0x0204\n  serial RD2S0002\n  config_blob r\"CFG-SER\\n\"\n";
const std::string SERVICE = "device svc 0x0200\n  serial RD2V0003\n";
const std::string R = "device r 0x0204\n  serial R\n";
const std::string BIG_READER = "USB reader v2/v3 (usb serial class)";
const std::string BIG = "device r 0x0204\n  serial RI0001\n  config_blob rep:300000:43\n";
const std::string MODULE_CHECKED = "device k 0x0202\n  extra 0\n  serial RD2K0001\n"
                                   "  extfw_check busy:1 needed\n  extfw busy pieces 1\n";
const std::string MODULE_UPDATED = "device s 0x0200\n  serial RD2V0001\n  normal 0x0204\n"
                                   "  latency 1\n  extfw needed on\n  extfw busy pieces 1\n";
const std::string NOT_SELECTED = "Reader could not be selected\n";
const std::string TOO_LARGE = "Input file too large, maximum is: 8000000\n";
const std::string BANNER = "Norvane USB card reader configuration utility ver. 1.28";
const std::string NO_SPACE = "Cannot write output: No space left on device\n";

// Every drawing of the bar on standard output is "\r", the value in three
// columns, "%[", 60 cells filled as value * 60 / 100 says, and "]"; the
// values rise to 100, ok(values) holds, and a line end follows the last.
std::function<void(const ProcessResult&)> bars(std::function<bool(std::vector<int>)> ok) {
    return [=](const ProcessResult& r) {
        std::vector<int> values;
        std::string drawn;
        for (size_t at = 0; (at = r.out.find('\r', at)) != std::string::npos; ++at) {
            const int v = values.emplace_back(std::stoi(r.out.substr(at + 1, 3)));
            drawn += "\r" + r.out.substr(at + 1, 3) + "%[" +
                     std::string(static_cast<size_t>(v * 60 / 100), '=') +
                     std::string(static_cast<size_t>(60 - v * 60 / 100), '-') + "]";
        }
        EXPECT_EQ(r.out, drawn + "\n");
        EXPECT_TRUE(!values.empty() && std::is_sorted(values.begin(), values.end()) &&
                    values.back() == 100 && ok(values))
            << ::testing::PrintToString(values);
    };
}

// Standard error holds the empty bar, drawn once or more, then the text.
std::function<void(const ProcessResult&)> bars_then(const std::string& text) {
    return [=](const ProcessResult& r) {
        EXPECT_TRUE(std::regex_match(r.err, std::regex("(\r  0%\\[-{60}\\])+" + text))) << r.err;
    };
}

std::vector<ProcessCase> batch_cases() {
    using C = ProcessCase;
    std::string cfg;
    for (int i = 0; i < 300; ++i)
        cfg += static_cast<char>(i);
    const std::string digits(100000, '9'), svc_fw(1000, 'S');
    const std::string all_c(300000, 'C'),
        unsupported = "Operation not supported on given reader.\n";
    const std::string protocol = hex(std::string("READERPROTOCOL=0") + '\0');
    const std::string big_menu = main_menu("0) " + BIG_READER + ", Ser.no.: RI0001\n");
    std::vector<ProcessCase> cases = {
        C("Help", "-l -h -g", on(TWO), 1)
            .mentions(BANNER + "\nUsage: ")
            .mentions("Update of service firmware:\n    brinlet -w -i usb2_service_1.0.3.fw -k\n")
            .wire("", {})
            .taking(0, 3500),
        C("ListingWithoutReaders", "-l -v", on(""), 4, "No configurable readers found\n")
            .taking(3900, 6500),
        C("ListingInEnumerationOrder", "-l -u", on(TWO + SERVICE))
            .prints("0 \"USB reader v2/v3 (usb keyboard class)\" \"RD2K0001\"\n"
                    "1 \"USB reader v2/v3 (usb serial class)\" \"RD2S0002\"\n"
                    "2 \"USB reader v2/v3 (service fw)\" \"RD2V0003\"\n")
            .wire("", {})
            .taking(0, 3500),
        C("GetConfigToFile", "-g -o $D/out", on(TWO))
            .wire("kbd", {503}, "cap=8000000 in_len=0")
            .leaves("CFG-KBD\n"),
        C("SelectionByIndex", "-g -r 1", on(TWO)).prints("CFG-SER\n").wire("kbd", {}),
        C("SerialWinsOverTheIndex", "-g -r 1 -s rd2k0001", on(TWO))
            .prints("CFG-KBD\n")
            .wire("ser", {}),
        C("IndexBeyondTheReaders", "-g -r 2 -v", on(TWO), 4, NOT_SELECTED).wire("", {}),
        C("LogToStandardOutput", "-j", on(TWO))
            .prints("log line 1\nlog line 2\n")
            .wire("kbd", {501}),
        C("SendConfigCarriesTheFileUnchanged", "-c -i $D/in", on(TWO))
            .with_file("in", cfg)
            .wire("kbd", {502}, "in=" + hex(cfg)),
        C("InputFromStandardInput", "-c", on(TWO, "KEY=VALUE\n"))
            .wire("kbd", {502}, "in=" + hex("KEY=VALUE\n")),
        C("ProtocolTextWithItsNulReplacesTheInput", "-c -p 2", on(TWO, "ignored"))
            .wire("kbd", {502}, "in_len=17 in=" + hex(std::string("READERPROTOCOL=2") + '\0')),
        C("DefaultsSendNoDataAndReadNoInput", "-d", {.scenario = TWO, .close_stdin = true})
            .wire("kbd", {505}, "in_len=0"),
        C("CustomConfigWaitsASecondFirst", "-m", on(TWO, "custom"))
            .wire("kbd", {2403})
            .checking([](const ProcessResult& r) {
                EXPECT_GE(transcript_records(r.transcript, "exchange").at(0).ms, 990);
            }),
        C("ServiceFirmwareImage", "-w -i $D/svc.fw", on(TWO))
            .with_file("svc.fw", svc_fw)
            .wire("kbd", {512}, "in=" + hex(svc_fw)),
        C("ServiceFirmwareImageToServiceFirmware", "-w -v -i $D/svc.fw", on(SERVICE), 6,
          unsupported)
            .with_file("svc.fw", svc_fw)
            .wire("", {}),
        C("GetConfigFromServiceFirmware", "-g -v", on(SERVICE), 6, unsupported).wire("", {}),
        C("RawFunctionWithTheLow16BitsOfTheValue", "-b 65549",
          on(R + "  status_message \"Ready!\"\n"))
            .prints(std::string("Ready!") + '\0')
            .wire("r", {13}),
        C("Result256NeverExitsZero", "-d", on(R + "  fn 505 result 256\n"), 255),
        C("ResultMinus256NeverExitsZero", "-d", on(R + "  fn 505 result -256\n"), 255),
        C("FailedFetchLeavesTheOutputFileEmpty", "-g -o $D/out", on(R + "  fn 503 result -7\n"),
          249)
            .with_file("out", "old contents")
            .leaves(""),
        // CTL_ERROR 0 to the request: the call "succeeds" with the reader's
        // value, but no output came, so none of the buffer is written.
        C("RequestRefusedWith0WritesNoConfig", "-g -o $D/out", on(R + "  fn 503 reqerror 0\n"))
            .leaves(""),
        C("RequestRefusedWith0WritesNoLog", "-j -o $D/out", on(R + "  fn 501 reqerror 0\n"))
            .leaves(""),
        // Refused with a positive value: the output length is what arrived,
        // not the buffer's capacity (the input file, then zeros).
        C("RequestRefusedWith7WritesNoOutput", "-b 13 -i $D/in -o $D/out",
          on(R + "  fn 13 reqerror 7\n"), 7)
            .with_file("in", "secret input")
            .leaves(""),
        C("LinkFailureGivesItsStatus", "-g -v", on(R + "  fn 503 noack all\n"), 255)
            .mentions("CTL send attepts exhausted\n"),
        C("InputOfTheLargestSize", "-c -i $D/max", on(R + "  option transcript_reports off\n"))
            .with_filled_file("max", 7999999, 'x')
            .wire("r", {502}, "in_len=7999999"),
        C("InputTooLarge", "-c -v -i $D/over", on(R), 3, TOO_LARGE)
            .with_filled_file("over", 8000000, 'x')
            .wire("", {}),
        C("StandardInputTooLarge", "-c -v", {.scenario = BIG, .stdin_path = "$D/over"}, 3,
          TOO_LARGE)
            .with_filled_file("over", 8000000, 's')
            .wire("", {}),
        C("DevZeroTooLarge", "-c -v -i /dev/zero", on(BIG), 3, TOO_LARGE).wire("", {}),
        C("EmptyInputIsSentAsNoData", "-c -v -i $D/empty", on(BIG))
            .with_file("empty", "")
            .wire("r", {502}, "in_len=0"),
        C("MissingInput", "-c -v -i $D/missing", on(TWO), 2,
          "Cannot open $D/missing for reading: No such file or directory\n"),
        C("DirectoryAsInput", "-c -v -i $D", on(TWO), 2, "Cannot read file: Is a directory\n"),
        C("OutputInAMissingDirectory", "-g -v -o $D/no/dir/cfg", on(TWO), 2,
          "Cannot open $D/no/dir/cfg for writing: No such file or directory\n")
            .wire("", {}),
        C("ClosedStandardInputIsAReadFailure", "-c -v", {.scenario = TWO, .close_stdin = true}, 2,
          "Cannot read file: Bad file descriptor\n"),
        C("FullDiskIsAFailure", "-g -v -o /dev/full", on(TWO), 2, NO_SPACE),
        C("ListingToClosedStandardOutput", "-l -v", {.scenario = TWO, .close_stdout = true}, 2,
          "Cannot write output: Bad file descriptor\n"),
        C("ListingToFullDisk", "-l -v", {.scenario = TWO, .stdout_path = "/dev/full"}, 2, NO_SPACE),
        C("FetchWithProgressToClosedStandardOutput", "-g -q -v",
          {.scenario = TWO, .close_stdout = true}, 2, {})
            .checking(bars_then("Cannot write output: Bad file descriptor\n\n")),
        // A pipe whose reader is gone: the write fails as any failed write,
        // with the message, instead of SIGPIPE ending the run without a word.
        C("PipeWhoseReaderIsGone", "-g -v", {.scenario = BIG, .stdout_to_gone_pipe = true}, 2,
          "Cannot write output: Broken pipe\n"),
        // The bar is on standard error when the data is on standard output.
        C("PipeWhoseReaderIsGoneWithProgress", "-j -q -v",
          {.scenario = BIG, .stdout_to_gone_pipe = true}, 2, {})
            .checking(bars_then("Cannot write output: Broken pipe\n\n")),
        C("ProgressBarOfTheDataSent", "-c -q", on(TWO + "  latency 1\n", std::string(30000, 'c')))
            .prints({})
            .checking(bars([](auto) { return true; })),
        // Standard output holds the reader's bytes alone; the bar and its
        // line end go to standard error.
        C("ProgressWithFetchedData", "-g -q", on(TWO), 0, {})
            .prints("CFG-KBD\n")
            .checking(bars_then("\n")),
        // The module check jumps from 0 to 50, the update runs to 50, then
        // both on to 100 through the module.
        C("ProgressOfTheModuleCheck", "-X -q -i $D/fw", on(MODULE_CHECKED))
            .with_filled_file("fw", 40000, 'm')
            .prints({})
            .checking(bars([](std::vector<int> v) {
                return v[0] == 0 &&
                       std::all_of(v.begin(), v.end(), [](int x) { return x == 0 || x >= 50; });
            })),
        C("ProgressOfTheUpdate", "-u -q -i $D/fw", on(MODULE_UPDATED))
            .with_filled_file("fw", 60000, 'u')
            .prints({})
            .checking(
                bars([](std::vector<int> v) { return std::count(v.begin(), v.end(), 50) > 0; })),
        C("OutputWithoutValueIsStandardOutput", "-g -o", on(BIG)).prints(all_c),
        C("InputWithoutValueIsStandardInput", "-c -i", on(BIG)).wire("r", {502}, "in_len=0"),
        C("LongSerial", "-g -v -s " + std::string(100000, 's'), on(BIG), 4, NOT_SELECTED),
        C("IndexBeyondInt", "-g -v -r " + digits, on(BIG), 4, NOT_SELECTED),
        C("NegativeIndex", "-g -v -r -1", on(BIG), 4, NOT_SELECTED),
        C("IndexWithoutDigitsIsZero", "-g -r abc", on(BIG)).prints(all_c),
        C("ProtocolWithoutDigitsIsZero", "-p abc", on(BIG)).wire("r", {502}, "in=" + protocol),
        // Function 0 is no operation: the menu, left at the end of input.
        C("FunctionWithoutDigits", "-b abc", on(BIG)).prints(big_menu).wire("", {}),
        C("LongProtocol", "-p " + digits, on(BIG)),
        C("LongFunction", "-b " + digits, on(BIG), 250),
    };
    // Every option letter alone (but -t, the card test until Ctrl+C): an
    // operation on its defaults, or else the menu, left at the end of input.
    const std::string log = std::string("000000.000 I reader started\n000000.412 I module ready\n");
    for (char c : std::string("abcdefghijklmnopqrsuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
        C& row = cases.emplace_back(std::string("Letter") + c, std::string("-") + c, on(BIG));
        if (c == 'h')
            row.status = 1, row.mentions(BANNER + "\nUsage: ");
        else if (c == 'g' || c == 'j' || c == 'l')
            row.prints(c == 'g'   ? all_c
                       : c == 'j' ? log + '\0'
                                  : "0 \"" + BIG_READER + "\" \"RI0001\"\n");
        else if (std::string("cdmuwX").find(c) == std::string::npos)
            row.prints(big_menu);
    }
    return cases;
}

class BatchOption : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(BatchOption, EveryOptionEndsWithItsStatusStreamsAndExchanges) {
    run_and_check(GetParam());
}

TABLE_TEST(Runs, BatchOption, batch_cases());

TEST(BatchProcess, InputFromANamedPipe) {
    const std::string fifo = temp_dir() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(fifo) << std::string(1000, 'p'); });
    const ProcessResult p = run_brinlet({"-c", "-v", "-i", fifo}, on(BIG));
    writer.join();
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(transcript_records(p.transcript, "exchange").at(0)["in"],
              hex(std::string(1000, 'p')));
}

} // namespace
