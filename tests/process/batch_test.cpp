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
const std::optional<std::vector<int>> NO_EXCHANGE = std::vector<int>{};
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
    const std::string long_name(100000, 'n'), digits(100000, '9');
    std::vector<ProcessCase> cases = {
        {.name = "help",
         .args = {"-l", "-h", "-g"},
         .how = on(TWO_READERS),
         .status = 1,
         .err = std::nullopt,
         .err_has = {"Norvane USB card reader configuration utility ver. 1.28\nUsage: ",
                     "Update of service firmware:\n    brinlet -w -i usb2_service_1.0.3.fw -k\n"},
         .functions = NO_EXCHANGE,
         .max_ms = 2000},
        {.name = "listingwithoutreaders",
         .args = {"-l", "-v"},
         .status = 4,
         .err = "No configurable readers found\n",
         .min_ms = 3900,
         .max_ms = 6500},
        {.name = "listinginenumerationorder",
         .args = {"-l", "-u"},
         .how = on(TWO_READERS + SERVICE),
         .out = "0 \"USB reader v2/v3 (usb keyboard class)\" \"RD2K0001\"\n"
                "1 \"USB reader v2/v3 (usb serial class)\" \"RD2S0002\"\n"
                "2 \"USB reader v2/v3 (service fw)\" \"RD2V0003\"\n",
         .functions = NO_EXCHANGE,
         .max_ms = 2000},
        {.name = "getconfigtofile",
         .args = {"-g", "-o", "$D/out"},
         .how = on(TWO_READERS),
         .device = "kbd",
         .functions = std::vector{503},
         .last = {{"cap", "8000000"}, {"in_len", "0"}},
         .file = "CFG-KBD\n"},
        {.name = "selectionbyindex",
         .args = {"-g", "-r", "1"},
         .how = on(TWO_READERS),
         .out = "CFG-SER\n",
         .device = "kbd",
         .functions = NO_EXCHANGE},
        {.name = "serialwinsovertheindex",
         .args = {"-g", "-r", "1", "-s", "rd2k0001"},
         .how = on(TWO_READERS),
         .out = "CFG-KBD\n",
         .device = "ser",
         .functions = NO_EXCHANGE},
        {.name = "indexbeyondthereaders",
         .args = {"-g", "-r", "2", "-v"},
         .how = on(TWO_READERS),
         .status = 4,
         .err = NOT_SELECTED,
         .functions = NO_EXCHANGE},
        {.name = "logtostandardoutput",
         .args = {"-j"},
         .how = on(TWO_READERS),
         .out = "log line 1\nlog line 2\n",
         .device = "kbd",
         .functions = std::vector{501}},
        {.name = "sendconfigcarriesthefileunchanged",
         .args = {"-c", "-i", "$D/in"},
         .how = on(TWO_READERS),
         .files = {{"in", bytes_0_to_299()}},
         .device = "kbd",
         .functions = std::vector{502},
         .last = {{"in", hex(bytes_0_to_299())}}},
        {.name = "inputfromstandardinput",
         .args = {"-c"},
         .how = io(TWO_READERS, "KEY=VALUE\n"),
         .device = "kbd",
         .functions = std::vector{502},
         .last = {{"in", hex("KEY=VALUE\n")}}},
        {.name = "protocoltextwithitsnulreplacestheinput",
         .args = {"-c", "-p", "2"},
         .how = io(TWO_READERS, "ignored"),
         .device = "kbd",
         .functions = std::vector{502},
         .last = {{"in_len", "17"}, {"in", hex(std::string("READERPROTOCOL=2") + '\0')}}},
        {.name = "defaultssendnodataandreadnoinput",
         .args = {"-d"},
         .how = io(TWO_READERS, "", Io::StdinClosed),
         .device = "kbd",
         .functions = std::vector{505},
         .last = {{"in_len", "0"}}},
        {.name = "customconfigwaitsasecondfirst",
         .args = {"-m"},
         .how = io(TWO_READERS, "custom"),
         .device = "kbd",
         .functions = std::vector{2403},
         .also =
             [](const ProcessResult& r) {
                 const auto x = transcript_records(r.transcript, "exchange", "kbd");
                 EXPECT_GE(x.empty() ? 0 : x[0].ms, 990);
             }},
        {.name = "servicefirmwareimage",
         .args = {"-w", "-i", "$D/svc.fw"},
         .how = on(TWO_READERS),
         .files = {{"svc.fw", std::string(1000, 'S')}},
         .device = "kbd",
         .functions = std::vector{512},
         .last = {{"in", hex(std::string(1000, 'S'))}}},
        {.name = "servicefirmwareimagetoservicefirmware",
         .args = {"-w", "-v", "-i", "$D/svc.fw"},
         .how = on(SERVICE),
         .files = {{"svc.fw", std::string(1000, 'S')}},
         .status = 6,
         .err = "Operation not supported on given reader.\n",
         .functions = NO_EXCHANGE},
        {.name = "getconfigfromservicefirmware",
         .args = {"-g", "-v"},
         .how = on(SERVICE),
         .status = 6,
         .err = "Operation not supported on given reader.\n",
         .functions = NO_EXCHANGE},
        {.name = "rawfunctionwiththelow16bitsofthevalue",
         .args = {"-b", "65549"},
         .how = on(R + "  status_message \"Ready!\"\n"),
         .out = std::string("Ready!") + '\0',
         .device = "r",
         .functions = std::vector{13}},
        {.name = "readerresultistheexitstatus",
         .args = {"-d"},
         .how = on(R + "  fn 505 result 17\n"),
         .status = 17,
         .min_ms = 3900},
        {.name = "result256neverexitszero",
         .args = {"-d"},
         .how = on(R + "  fn 505 result 256\n"),
         .status = 255},
        {.name = "resultminus256neverexitszero",
         .args = {"-d"},
         .how = on(R + "  fn 505 result -256\n"),
         .status = 255},
        {.name = "FailedFetchLeavesTheOutputFileEmpty",
         .args = {"-g", "-o", "$D/out"},
         .how = on(R + "  fn 503 result -7\n"),
         .files = {{"out", "old contents"}},
         .status = 249,
         .file = ""},
        // CTL_ERROR 0 to the request: the call "succeeds" with the reader's
        // value, but no output came, so none of the buffer is written.
        {.name = "RequestRefusedWithANonNegativeValueWritesNothingGetConfig",
         .args = {"-g", "-o", "$D/out"},
         .how = on(R + "  fn 503 reqerror 0\n"),
         .file = ""},
        {.name = "RequestRefusedWithANonNegativeValueWritesNothingLog",
         .args = {"-j", "-o", "$D/out"},
         .how = on(R + "  fn 501 reqerror 0\n"),
         .file = ""},
        {.name = "LinkFailureGivesItsStatus",
         .args = {"-g", "-v"},
         .how = on(R + "  fn 503 noack all\n"),
         .status = 255,
         .err = std::nullopt,
         .err_has = {"CTL send attepts exhausted\n"}},
        {.name = "ResetAfterEvenWhenTheCallFailed",
         .args = {"-d", "-k"},
         .how = on(R + "  fn 505 result -3\n"),
         .status = 253,
         .device = "r",
         .functions = std::vector{505, 506}},
        {.name = "UnplugDuringTheCallFailsWithoutOutput",
         .args = {"-g", "-o", "$D/out"},
         .how = on(R + "  config_blob rep:500:41\n  fn 503 model unplug output\n"),
         .status = 241,
         .file = ""},
        {.name = "inputofthelargestsize",
         .args = {"-c", "-i", "$D/max"},
         .how = on(R + "  option transcript_reports off\n"),
         .files = {{"max", std::string(7999999, 'x')}},
         .device = "r",
         .functions = std::vector{502},
         .last = {{"in_len", "7999999"}}},
        {.name = "inputtoolarge",
         .args = {"-c", "-v", "-i", "$D/over"},
         .how = on(R),
         .files = {{"over", std::string(8000000, 'x')}},
         .status = 3,
         .err = TOO_LARGE,
         .functions = NO_EXCHANGE},
        {.name = "standardinputtoolarge",
         .args = {"-c", "-v"},
         .how = io(BIG, "", Io::Open, "$D/over"),
         .files = {{"over", std::string(8000000, 's')}},
         .status = 3,
         .err = TOO_LARGE,
         .functions = NO_EXCHANGE},
        {.name = "devzerotoolarge",
         .args = {"-c", "-v", "-i", "/dev/zero"},
         .how = on(BIG),
         .status = 3,
         .err = TOO_LARGE,
         .functions = NO_EXCHANGE},
        {.name = "emptyinputissentasnodata",
         .args = {"-c", "-v", "-i", "$D/empty"},
         .how = on(BIG),
         .files = {{"empty", ""}},
         .device = "r",
         .functions = std::vector{502},
         .last = {{"in_len", "0"}}},
        {.name = "missinginput",
         .args = {"-c", "-v", "-i", "$D/missing"},
         .how = on(TWO_READERS),
         .status = 2,
         .err = "Cannot open $D/missing for reading: No such file or directory\n"},
        {.name = "directoryasinput",
         .args = {"-c", "-v", "-i", "$D"},
         .how = on(TWO_READERS),
         .status = 2,
         .err = "Cannot read file: Is a directory\n"},
        {.name = "longinputname",
         .args = {"-c", "-v", "-i", long_name},
         .how = on(BIG),
         .status = 2,
         .err = "Cannot open " + long_name + " for reading: File name too long\n"},
        // The output is opened before the reader is asked.
        {.name = "outputinamissingdirectory",
         .args = {"-g", "-v", "-o", "$D/no/such/dir/cfg"},
         .how = on(TWO_READERS),
         .status = 2,
         .err = "Cannot open $D/no/such/dir/cfg for writing: No such file or directory\n",
         .functions = NO_EXCHANGE},
        {.name = "directoryasoutput",
         .args = {"-g", "-v", "-o", "$D"},
         .how = on(BIG),
         .status = 2,
         .err = "Cannot open $D for writing: Is a directory\n"},
        {.name = "longoutputname",
         .args = {"-g", "-v", "-o", "$D/" + long_name},
         .how = on(BIG),
         .status = 2,
         .err = "Cannot open $D/" + long_name + " for writing: File name too long\n"},
        {.name = "closedstandardinputisareadfailure",
         .args = {"-c", "-v"},
         .how = io(TWO_READERS, "", Io::StdinClosed),
         .status = 2,
         .err = "Cannot read file: Bad file descriptor\n"},
        {.name = "fulldiskisafailure",
         .args = {"-g", "-v", "-o", "/dev/full"},
         .how = on(TWO_READERS),
         .status = 2,
         .err = "Cannot write output: No space left on device\n"},
        {.name = "listingtoclosedstandardoutput",
         .args = {"-l", "-v"},
         .how = io(TWO_READERS, "", Io::StdoutClosed),
         .status = 2,
         .err = "Cannot write output: Bad file descriptor\n"},
        {.name = "listingtofulldisk",
         .args = {"-l", "-v"},
         .how = io(TWO_READERS, "", Io::Open, "", "/dev/full"),
         .status = 2,
         .out = std::nullopt,
         .err = "Cannot write output: No space left on device\n"},
        {.name = "fetchwithprogresstoclosedstandardoutput",
         .args = {"-g", "-q", "-v"},
         .how = io(TWO_READERS, "", Io::StdoutClosed),
         .status = 2,
         .err = std::nullopt,
         .also = bars_then("Cannot write output: Bad file descriptor\n\n")},
        // A pipe whose reader is gone: the write fails as any failed write,
        // with the message, instead of SIGPIPE ending the run without a word.
        {.name = "pipewhosereaderisgone",
         .args = {"-g", "-v"},
         .how = io(BIG, "", Io::GonePipe),
         .status = 2,
         .out = std::nullopt,
         .err = "Cannot write output: Broken pipe\n"},
        // The bar is on standard error when the data is on standard output.
        {.name = "pipewhosereaderisgonewithprogress",
         .args = {"-j", "-q", "-v"},
         .how = io(BIG, "", Io::GonePipe),
         .status = 2,
         .out = std::nullopt,
         .err = std::nullopt,
         .also = bars_then("Cannot write output: Broken pipe\n\n")},
        {.name = "outputwithoutvalueisstandardoutput",
         .args = {"-g", "-o"},
         .how = on(BIG),
         .out = std::string(300000, 'C')},
        {.name = "inputwithoutvalueisstandardinput",
         .args = {"-c", "-i"},
         .how = on(BIG),
         .device = "r",
         .last = {{"fn", "502"}, {"in_len", "0"}}},
        {.name = "longserial",
         .args = {"-g", "-v", "-s", std::string(100000, 's')},
         .how = on(BIG),
         .status = 4,
         .err = NOT_SELECTED},
        {.name = "indexbeyondint",
         .args = {"-g", "-v", "-r", digits},
         .how = on(BIG),
         .status = 4,
         .err = NOT_SELECTED},
        {.name = "negativeindex",
         .args = {"-g", "-v", "-r", "-1"},
         .how = on(BIG),
         .status = 4,
         .err = NOT_SELECTED},
        {.name = "indexwithoutdigitsiszero",
         .args = {"-g", "-r", "abc"},
         .how = on(BIG),
         .out = std::string(300000, 'C')},
        {.name = "protocolwithoutdigitsiszero",
         .args = {"-p", "abc"},
         .how = on(BIG),
         .device = "r",
         .last = {{"fn", "502"}, {"in", hex(std::string("READERPROTOCOL=0") + '\0')}}},
        // Function 0 is no operation: the menu, left at the end of input.
        {.name = "functionwithoutdigits",
         .args = {"-b", "abc"},
         .how = on(BIG),
         .out = std::nullopt,
         .functions = NO_EXCHANGE},
        {.name = "longprotocol",
         .args = {"-p", digits},
         .how = on(BIG),
         .status = -1,
         .out = std::nullopt,
         .err = std::nullopt},
        {.name = "longfunction",
         .args = {"-b", digits},
         .how = on(BIG),
         .status = -1,
         .out = std::nullopt,
         .err = std::nullopt},
    };
    // Every option letter alone (but -t, the card test until Ctrl+C): with
    // no operation, the menu, left at the end of standard input.
    for (char c : std::string("abcdefghijklmnopqrsuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"))
        cases.push_back({.name = std::string("letter") + c,
                         .args = {std::string("-") + c},
                         .how = on(BIG),
                         .status = c == 'h' ? 1 : 0,
                         .out = std::nullopt,
                         .err = std::nullopt});
    return cases;
}

TEST(BatchProcess, EveryOptionEndsWithItsStatusStreamsAndExchanges) {
    const std::vector<ProcessCase> cases = batch_cases();
    const std::vector<ProcessResult> runs = run_cases(cases, 12);
    for (size_t i = 0; i < cases.size(); ++i)
        check_case(cases[i], runs[i]);
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
