// SPDX-License-Identifier: GPL-2.0-or-later
// The real binary on emulated readers: each batch option's exchange on the
// wire, the files and streams it writes and its exit status, with inputs
// and outputs that cannot be used (files that are empty, too large, not
// files at all, pipes whose reader went away, closed streams) and options
// alone, without their value or with very long or non-numeric values.
// Failing runs sleep through the 4 s error pause, so the runs go side by
// side as separate processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/process_case.h"
#include "support/transcript.h"

namespace {

const std::string TWO_READERS =
    "device kbd 0x0202\n  extra 0\n  serial RD2K0001\n  config_blob r\"CFG-KBD\\n\"\n"
    "  log_blob r\"log line 1\\nlog line 2\\n\"\n"
    "device ser 0x0204\n  serial RD2S0002\n  config_blob r\"CFG-SER\\n\"\n";
const std::string SERVICE = "device svc 0x0200\n  serial RD2V0003\n";
const std::string R = "device r 0x0204\n  serial R\n";
const std::string BIG = "device r 0x0204\n  serial RI0001\n  config_blob rep:300000:43\n";
const std::string NOT_SELECTED = "Reader could not be selected\n";
const std::string TOO_LARGE = "Input file too large, maximum is: 8000000\n";
const std::string EMPTY_BAR = "\r  0%[" + std::string(60, '-') + "]";

enum class Io { Open, StdinClosed, StdoutClosed, GonePipe };

ProcessOptions io(const std::string& scenario, const std::string& input, Io how = Io::Open,
                  const std::string& stdin_path = "", const std::string& stdout_path = "") {
    ProcessOptions o = on(scenario);
    o.stdin_data = input;
    o.stdin_path = stdin_path;
    o.stdout_path = stdout_path;
    o.close_stdin = how == Io::StdinClosed;
    o.close_stdout = how == Io::StdoutClosed;
    o.stdout_to_gone_pipe = how == Io::GonePipe;
    return o;
}

// Standard error holds the empty bar, drawn once or more, then the text.
std::function<void(const ProcessResult&)> bars_then(const std::string& text) {
    return [=](const ProcessResult& r) {
        std::string drawn = r.err;
        ASSERT_EQ(drawn.rfind(EMPTY_BAR, 0), 0u) << drawn;
        while (drawn.rfind(EMPTY_BAR, 0) == 0)
            drawn.erase(0, EMPTY_BAR.size());
        EXPECT_EQ(drawn, text);
    };
}

std::string bytes_0_to_299() {
    std::string s;
    for (int i = 0; i < 300; ++i)
        s += static_cast<char>(i);
    return s;
}

std::vector<ProcessCase> batch_cases() {
    using C = ProcessCase;
    const std::string long_name(100000, 'n'), digits(100000, '9'), cfg = bytes_0_to_299();
    const std::string svc_fw(1000, 'S'), all_c(300000, 'C');
    const std::string unsupported = "Operation not supported on given reader.\n";
    std::vector<ProcessCase> cases = {
        C("help", {"-l", "-h", "-g"}, on(TWO_READERS), 1)
            .mentions("Norvane USB card reader configuration utility ver. 1.28\nUsage: ")
            .mentions("Update of service firmware:\n    brinlet -w -i usb2_service_1.0.3.fw -k\n")
            .on_wire("", {})
            .taking(0, 2000),
        C("listingwithoutreaders", {"-l", "-v"}, on(""), 4, "No configurable readers found\n")
            .taking(3900, 6500),
        C("listinginenumerationorder", {"-l", "-u"}, on(TWO_READERS + SERVICE))
            .prints("0 \"USB reader v2/v3 (usb keyboard class)\" \"RD2K0001\"\n"
                    "1 \"USB reader v2/v3 (usb serial class)\" \"RD2S0002\"\n"
                    "2 \"USB reader v2/v3 (service fw)\" \"RD2V0003\"\n")
            .on_wire("", {})
            .taking(0, 2000),
        C("getconfigtofile", {"-g", "-o", "$D/out"}, on(TWO_READERS))
            .on_wire("kbd", {503})
            .last("cap", "8000000")
            .last("in_len", "0")
            .leaves("CFG-KBD\n"),
        C("selectionbyindex", {"-g", "-r", "1"}, on(TWO_READERS))
            .prints("CFG-SER\n")
            .on_wire("kbd", {}),
        C("serialwinsovertheindex", {"-g", "-r", "1", "-s", "rd2k0001"}, on(TWO_READERS))
            .prints("CFG-KBD\n")
            .on_wire("ser", {}),
        C("indexbeyondthereaders", {"-g", "-r", "2", "-v"}, on(TWO_READERS), 4, NOT_SELECTED)
            .on_wire("", {}),
        C("logtostandardoutput", {"-j"}, on(TWO_READERS))
            .prints("log line 1\nlog line 2\n")
            .on_wire("kbd", {501}),
        C("sendconfigcarriesthefileunchanged", {"-c", "-i", "$D/in"}, on(TWO_READERS))
            .with_file("in", cfg)
            .on_wire("kbd", {502})
            .last("in", hex(cfg)),
        C("inputfromstandardinput", {"-c"}, io(TWO_READERS, "KEY=VALUE\n"))
            .on_wire("kbd", {502})
            .last("in", hex("KEY=VALUE\n")),
        C("protocoltextwithitsnulreplacestheinput", {"-c", "-p", "2"}, io(TWO_READERS, "ignored"))
            .on_wire("kbd", {502})
            .last("in_len", "17")
            .last("in", hex(std::string("READERPROTOCOL=2") + '\0')),
        C("defaultssendnodataandreadnoinput", {"-d"}, io(TWO_READERS, "", Io::StdinClosed))
            .on_wire("kbd", {505})
            .last("in_len", "0"),
        C("customconfigwaitsasecondfirst", {"-m"}, io(TWO_READERS, "custom"))
            .on_wire("kbd", {2403})
            .checking([](const ProcessResult& r) {
                const auto x = transcript_records(r.transcript, "exchange", "kbd");
                EXPECT_GE(x.empty() ? 0 : x[0].ms, 990);
            }),
        C("servicefirmwareimage", {"-w", "-i", "$D/svc.fw"}, on(TWO_READERS))
            .with_file("svc.fw", svc_fw)
            .on_wire("kbd", {512})
            .last("in", hex(svc_fw)),
        C("servicefirmwareimagetoservicefirmware", {"-w", "-v", "-i", "$D/svc.fw"}, on(SERVICE), 6,
          unsupported)
            .with_file("svc.fw", svc_fw)
            .on_wire("", {}),
        C("getconfigfromservicefirmware", {"-g", "-v"}, on(SERVICE), 6, unsupported)
            .on_wire("", {}),
        C("rawfunctionwiththelow16bitsofthevalue", {"-b", "65549"},
          on(R + "  status_message \"Ready!\"\n"))
            .prints(std::string("Ready!") + '\0')
            .at("r")
            .exchanges({13}),
        C("readerresultistheexitstatus", {"-d"}, on(R + "  fn 505 result 17\n"), 17)
            .taking(3900, 30000),
        C("result256neverexitszero", {"-d"}, on(R + "  fn 505 result 256\n"), 255),
        C("resultminus256neverexitszero", {"-d"}, on(R + "  fn 505 result -256\n"), 255),
        C("FailedFetchLeavesTheOutputFileEmpty", {"-g", "-o", "$D/out"},
          on(R + "  fn 503 result -7\n"))
            .with_file("out", "old contents")
            .exits(249)
            .leaves(""),
        // CTL_ERROR 0 to the request: the call "succeeds" with the reader's
        // value, but no output came, so none of the buffer is written.
        C("RequestRefusedWithANonNegativeValueWritesNothingGetConfig", {"-g", "-o", "$D/out"},
          on(R + "  fn 503 reqerror 0\n"))
            .leaves(""),
        C("RequestRefusedWithANonNegativeValueWritesNothingLog", {"-j", "-o", "$D/out"},
          on(R + "  fn 501 reqerror 0\n"))
            .leaves(""),
        // A request refused with a positive value writes nothing: the output
        // length is what arrived, not the buffer's capacity (the input file,
        // then zeros).
        C("RequestRefusedWithAPositiveValueWritesNoOutput",
          {"-b", "13", "-i", "$D/in", "-o", "$D/out"}, on(R + "  fn 13 reqerror 7\n"), 7)
            .with_file("in", "secret input")
            .leaves(""),
        C("LinkFailureGivesItsStatus", {"-g", "-v"}, on(R + "  fn 503 noack all\n"), 255)
            .mentions("CTL send attepts exhausted\n"),
        C("ResetAfterEvenWhenTheCallFailed", {"-d", "-k"}, on(R + "  fn 505 result -3\n"), 253)
            .on_wire("r", {505, 506}),
        C("UnplugDuringTheCallFailsWithoutOutput", {"-g", "-o", "$D/out"},
          on(R + "  config_blob rep:500:41\n  fn 503 model unplug output\n"))
            .exits(241)
            .leaves(""),
        C("inputofthelargestsize", {"-c", "-i", "$D/max"},
          on(R + "  option transcript_reports off\n"))
            .with_file("max", std::string(7999999, 'x'))
            .at("r")
            .exchanges({502})
            .last("in_len", "7999999"),
        C("inputtoolarge", {"-c", "-v", "-i", "$D/over"}, on(R), 3, TOO_LARGE)
            .with_file("over", std::string(8000000, 'x'))
            .on_wire("", {}),
        C("standardinputtoolarge", {"-c", "-v"}, io(BIG, "", Io::Open, "$D/over"), 3, TOO_LARGE)
            .with_file("over", std::string(8000000, 's'))
            .on_wire("", {}),
        C("devzerotoolarge", {"-c", "-v", "-i", "/dev/zero"}, on(BIG), 3, TOO_LARGE)
            .on_wire("", {}),
        C("emptyinputissentasnodata", {"-c", "-v", "-i", "$D/empty"}, on(BIG))
            .with_file("empty", "")
            .on_wire("r", {502})
            .last("in_len", "0"),
        C("missinginput", {"-c", "-v", "-i", "$D/missing"}, on(TWO_READERS), 2,
          "Cannot open $D/missing for reading: No such file or directory\n"),
        C("directoryasinput", {"-c", "-v", "-i", "$D"}, on(TWO_READERS), 2,
          "Cannot read file: Is a directory\n"),
        C("longinputname", {"-c", "-v", "-i", long_name}, on(BIG), 2,
          "Cannot open " + long_name + " for reading: File name too long\n"),
        // The output is opened before the reader is asked.
        C("outputinamissingdirectory", {"-g", "-v", "-o", "$D/no/such/dir/cfg"}, on(TWO_READERS), 2,
          "Cannot open $D/no/such/dir/cfg for writing: No such file or directory\n")
            .on_wire("", {}),
        C("directoryasoutput", {"-g", "-v", "-o", "$D"}, on(BIG), 2,
          "Cannot open $D for writing: Is a directory\n"),
        C("longoutputname", {"-g", "-v", "-o", "$D/" + long_name}, on(BIG), 2,
          "Cannot open $D/" + long_name + " for writing: File name too long\n"),
        C("closedstandardinputisareadfailure", {"-c", "-v"}, io(TWO_READERS, "", Io::StdinClosed),
          2, "Cannot read file: Bad file descriptor\n"),
        C("fulldiskisafailure", {"-g", "-v", "-o", "/dev/full"}, on(TWO_READERS), 2,
          "Cannot write output: No space left on device\n"),
        C("listingtoclosedstandardoutput", {"-l", "-v"}, io(TWO_READERS, "", Io::StdoutClosed), 2,
          "Cannot write output: Bad file descriptor\n"),
        C("listingtofulldisk", {"-l", "-v"}, io(TWO_READERS, "", Io::Open, "", "/dev/full"), 2,
          "Cannot write output: No space left on device\n"),
        C("fetchwithprogresstoclosedstandardoutput", {"-g", "-q", "-v"},
          io(TWO_READERS, "", Io::StdoutClosed))
            .exits(2)
            .says(std::nullopt)
            .checking(bars_then("Cannot write output: Bad file descriptor\n\n")),
        // A pipe whose reader is gone: the write fails as any failed write,
        // with the message, instead of SIGPIPE ending the run without a word.
        C("pipewhosereaderisgone", {"-g", "-v"}, io(BIG, "", Io::GonePipe), 2,
          "Cannot write output: Broken pipe\n"),
        // The bar is on standard error when the data is on standard output.
        C("pipewhosereaderisgonewithprogress", {"-j", "-q", "-v"}, io(BIG, "", Io::GonePipe), 2,
          std::nullopt)
            .checking(bars_then("Cannot write output: Broken pipe\n\n")),
        C("outputwithoutvalueisstandardoutput", {"-g", "-o"}, on(BIG)).prints(all_c),
        C("inputwithoutvalueisstandardinput", {"-c", "-i"}, on(BIG))
            .at("r")
            .last("fn", "502")
            .last("in_len", "0"),
        C("longserial", {"-g", "-v", "-s", std::string(100000, 's')}, on(BIG), 4, NOT_SELECTED),
        C("indexbeyondint", {"-g", "-v", "-r", digits}, on(BIG), 4, NOT_SELECTED),
        C("negativeindex", {"-g", "-v", "-r", "-1"}, on(BIG), 4, NOT_SELECTED),
        C("indexwithoutdigitsiszero", {"-g", "-r", "abc"}, on(BIG)).prints(all_c),
        C("protocolwithoutdigitsiszero", {"-p", "abc"}, on(BIG))
            .at("r")
            .last("fn", "502")
            .last("in", hex(std::string("READERPROTOCOL=0") + '\0')),
        // Function 0 is no operation: the menu, left at the end of input.
        C("functionwithoutdigits", {"-b", "abc"}, on(BIG)).prints(std::nullopt).on_wire("", {}),
        C("longprotocol", {"-p", digits}, on(BIG), ANY_STATUS).streams_unchecked(),
        C("longfunction", {"-b", digits}, on(BIG), ANY_STATUS).streams_unchecked(),
    };
    // Every option letter alone (but -t, the card test until Ctrl+C): with
    // no operation, the menu, left at the end of standard input.
    for (char c : std::string("abcdefghijklmnopqrsuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"))
        cases.push_back(C(std::string("letter") + c, {std::string("-") + c}, on(BIG))
                            .exits(c == 'h' ? 1 : 0)
                            .streams_unchecked());
    return cases;
}

TEST(BatchProcess, EveryOptionEndsWithItsStatusStreamsAndExchanges) {
    run_and_check(batch_cases(), 12);
}

TEST(BatchProcess, InputFromANamedPipe) {
    const std::string dir = temp_dir();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        const std::string data(1000, 'p');
        if (fd >= 0 && write(fd, data.data(), data.size()) < 0) {
        }
        if (fd >= 0) close(fd);
    });
    const ProcessResult p = run_brinlet({"-c", "-v", "-i", fifo}, on(BIG));
    writer.join();
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(transcript_records(p.transcript, "exchange", "r").at(0).fields.at("in"),
              hex(std::string(1000, 'p')));
}

// Every drawing of the bar is "\r", the value in three columns, "%[",
// 60 cells filled as value * 60 / 100 says, and "]".
std::vector<int> bar_values(const std::string& out) {
    std::vector<int> values;
    for (size_t at = 0; (at = out.find('\r', at)) != std::string::npos; ++at) {
        const std::string bar = out.substr(at + 1, 66);
        const int v = std::stoi(bar.substr(0, 3));
        std::string want = bar.substr(0, 3) + "%[";
        for (int i = 0; i < 60; ++i)
            want += v * 60 / 100 > i ? '=' : '-';
        EXPECT_EQ(bar, want + "]");
        values.push_back(v);
    }
    return values;
}

TEST(BatchProcess, ProgressBarDrawsAndEndsWithNewline) {
    const ProcessResult p =
        run_brinlet({"-c", "-q"}, io(TWO_READERS + "  latency 1\n", std::string(30000, 'c')));
    EXPECT_EQ(p.status, 0);
    const std::vector<int> values = bar_values(p.out);
    ASSERT_GE(values.size(), 1u) << p.out;
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100);
    EXPECT_EQ(p.out.back(), '\n');
    EXPECT_EQ(p.out.size(), values.size() * 67 + 1);
    EXPECT_EQ(p.err, "");
}

TEST(BatchProcess, ProgressWithFetchedDataOnStandardOutput) {
    const ProcessResult p = run_brinlet({"-g", "-q"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "CFG-KBD\n") << "standard output holds the reader's bytes alone";
    bars_then("\n")(p); // the bar and its line end go to standard error
}

} // namespace
