// The real binary on emulated readers: each batch option's exchange on the
// wire, the files and streams it writes, and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

namespace {

const std::string TWO_READERS =
    "device kbd 0x0202\n  extra 0\n  serial RD2K0001\n  config_blob r\"CFG-KBD\\n\"\n"
    "  log_blob r\"log line 1\\nlog line 2\\n\"\n"
    "device ser 0x0204\n  serial RD2S0002\n  config_blob r\"CFG-SER\\n\"\n";
const std::string SERVICE = "device svc 0x0200\n  serial RD2V0003\n";

TranscriptRecord only_exchange(const ProcessResult& p, const std::string& device) {
    const auto x = transcript_records(p.transcript, "exchange", device);
    EXPECT_EQ(x.size(), 1u) << p.transcript;
    return x.empty() ? TranscriptRecord{} : x[0];
}

TEST(BatchProcess, HelpPrintsUsageAndExitsOneAtOnce) {
    const ProcessResult p = run_brinlet({"-l", "-h", "-g"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 1);
    EXPECT_LT(p.elapsed_ms, 2000);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err.rfind("Norvane USB card reader configuration utility ver. 1.28\nUsage: ", 0),
              0u);
    EXPECT_NE(
        p.err.find("Update of service firmware:\n    brinlet -w -i usb2_service_1.0.3.fw -k\n"),
        std::string::npos);
    EXPECT_EQ(p.transcript.find("exchange"), std::string::npos) << "no reader touched";
}

TEST(BatchProcess, ListingWithoutReadersFailsWithFourAfterThePause) {
    const ProcessResult p = run_brinlet({"-l", "-v"});
    EXPECT_EQ(p.status, 4);
    EXPECT_EQ(p.err, "No configurable readers found\n");
    EXPECT_GE(p.elapsed_ms, 3900);
    EXPECT_LT(p.elapsed_ms, 6500);
}

TEST(BatchProcess, ListingShowsReadersInEnumerationOrder) {
    const ProcessResult p = run_brinlet({"-l", "-u"}, on(TWO_READERS + SERVICE));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "0 \"USB reader v2/v3 (usb keyboard class)\" \"RD2K0001\"\n"
                     "1 \"USB reader v2/v3 (usb serial class)\" \"RD2S0002\"\n"
                     "2 \"USB reader v2/v3 (service fw)\" \"RD2V0003\"\n");
    EXPECT_LT(p.elapsed_ms, 2000);
    EXPECT_EQ(p.transcript.find("exchange"), std::string::npos);
}

TEST(BatchProcess, GetConfigToFile) {
    const std::string dir = temp_dir();
    const ProcessResult p = run_brinlet({"-g", "-o", dir + "/cfg"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(read_file(dir + "/cfg"), "CFG-KBD\n");
    TranscriptRecord x = only_exchange(p, "kbd");
    EXPECT_EQ(x.fields["fn"], "503");
    EXPECT_EQ(x.fields["cap"], "8000000");
    EXPECT_EQ(x.fields["in_len"], "0");
}

TEST(BatchProcess, SelectionByIndexAndBySerial) {
    ProcessResult p = run_brinlet({"-g", "-r", "1"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "CFG-SER\n");
    p = run_brinlet({"-g", "-r", "1", "-s", "rd2k0001"}, on(TWO_READERS));
    EXPECT_EQ(p.out, "CFG-KBD\n") << "the serial number wins over the index";
    p = run_brinlet({"-g", "-r", "2", "-v"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 4);
    EXPECT_EQ(p.err, "Reader could not be selected\n");
}

TEST(BatchProcess, LogToStandardOutput) {
    const ProcessResult p = run_brinlet({"-j"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "log line 1\nlog line 2\n");
    EXPECT_EQ(only_exchange(p, "kbd").fields["fn"], "501");
}

TEST(BatchProcess, SendConfigCarriesTheFileUnchanged) {
    const std::string dir = temp_dir();
    std::string cfg;
    for (int i = 0; i < 300; ++i)
        cfg += static_cast<char>(i);
    write_file(dir + "/in.cfg", cfg);
    const ProcessResult p = run_brinlet({"-c", "-i", dir + "/in.cfg"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    TranscriptRecord x = only_exchange(p, "kbd");
    EXPECT_EQ(x.fields["fn"], "502");
    EXPECT_EQ(x.fields["in"], hex(cfg));
    EXPECT_EQ(p.out, "");
}

TEST(BatchProcess, InputFromStandardInput) {
    ProcessOptions o = on(TWO_READERS);
    o.stdin_data = "KEY=VALUE\n";
    const ProcessResult p = run_brinlet({"-c"}, o);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(only_exchange(p, "kbd").fields["in"], hex("KEY=VALUE\n"));
}

TEST(BatchProcess, ProtocolTextWithItsNulReplacesTheInput) {
    ProcessOptions o = on(TWO_READERS);
    o.stdin_data = "ignored";
    const ProcessResult p = run_brinlet({"-c", "-p", "2"}, o);
    EXPECT_EQ(p.status, 0);
    TranscriptRecord x = only_exchange(p, "kbd");
    EXPECT_EQ(x.fields["fn"], "502");
    EXPECT_EQ(x.fields["in_len"], "17");
    EXPECT_EQ(x.fields["in"], hex(std::string("READERPROTOCOL=2") + '\0'));
}

TEST(BatchProcess, DefaultsSendNoDataAndReadNoInput) {
    ProcessOptions o = on(TWO_READERS);
    o.close_stdin = true;
    const ProcessResult p = run_brinlet({"-d"}, o);
    EXPECT_EQ(p.status, 0);
    TranscriptRecord x = only_exchange(p, "kbd");
    EXPECT_EQ(x.fields["fn"], "505");
    EXPECT_EQ(x.fields["in_len"], "0");
}

TEST(BatchProcess, CustomConfigWaitsASecondFirst) {
    ProcessOptions o = on(TWO_READERS);
    o.stdin_data = "custom";
    const ProcessResult p = run_brinlet({"-m"}, o);
    EXPECT_EQ(p.status, 0);
    TranscriptRecord x = only_exchange(p, "kbd");
    EXPECT_EQ(x.fields["fn"], "2403");
    EXPECT_GE(x.ms, 990);
}

TEST(BatchProcess, ServiceFirmwareImageAndPermissions) {
    const std::string dir = temp_dir();
    write_file(dir + "/svc.fw", std::string(1000, 'S'));
    ProcessResult p = run_brinlet({"-w", "-i", dir + "/svc.fw"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(only_exchange(p, "kbd").fields["fn"], "512");
    p = run_brinlet({"-w", "-v", "-i", dir + "/svc.fw"}, on(SERVICE));
    EXPECT_EQ(p.status, 6);
    EXPECT_EQ(p.err, "Operation not supported on given reader.\n");
    p = run_brinlet({"-g", "-v"}, on(SERVICE));
    EXPECT_EQ(p.status, 6);
    EXPECT_EQ(p.err, "Operation not supported on given reader.\n");
}

TEST(BatchProcess, RawFunctionWritesItsOutput) {
    const ProcessResult p = run_brinlet(
        {"-b", "65549"}, on("device r 0x0204\n  serial R\n  status_message \"Ready!\"\n"));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, std::string("Ready!") + '\0');
    EXPECT_EQ(only_exchange(p, "r").fields["fn"], "13") << "low 16 bits of the value";
}

TEST(BatchProcess, ReaderResultIsTheExitStatus) {
    ProcessResult p = run_brinlet({"-d"}, on("device r 0x0204\n  serial R\n  fn 505 result 17\n"));
    EXPECT_EQ(p.status, 17);
    EXPECT_GE(p.elapsed_ms, 3900);
    p = run_brinlet({"-d"}, on("device r 0x0204\n  serial R\n  fn 505 result -7\n"));
    EXPECT_EQ(p.status, 249);
}

TEST(BatchProcess, ResultWithZeroLowByteNeverExitsZero) {
    ProcessResult p = run_brinlet({"-d"}, on("device r 0x0204\n  serial R\n  fn 505 result 256\n"));
    EXPECT_EQ(p.status, 255);
    p = run_brinlet({"-d"}, on("device r 0x0204\n  serial R\n  fn 505 result -256\n"));
    EXPECT_EQ(p.status, 255);
}

TEST(BatchProcess, FailedFetchLeavesTheOutputFileEmpty) {
    const std::string dir = temp_dir();
    write_file(dir + "/cfg", "old contents");
    const ProcessResult p = run_brinlet({"-g", "-o", dir + "/cfg"},
                                        on("device r 0x0204\n  serial R\n  fn 503 result -7\n"));
    EXPECT_EQ(p.status, 249);
    EXPECT_EQ(read_file(dir + "/cfg"), "");
}

TEST(BatchProcess, RequestRefusedWithANonNegativeValueWritesNothing) {
    // CTL_ERROR 0 to the request: the call "succeeds" with the reader's
    // value, but no output came, so none of the buffer is written.
    const std::string dir = temp_dir();
    for (const char* option : {"-g", "-j"}) {
        const ProcessResult p = run_brinlet({option, "-o", dir + "/out"},
                                            on("device r 0x0204\n  serial R\n  fn 503 reqerror 0\n"
                                               "  fn 501 reqerror 0\n"));
        EXPECT_EQ(p.status, 0) << option;
        EXPECT_EQ(read_file(dir + "/out"), "") << option;
    }
}

TEST(BatchProcess, LinkFailureGivesItsStatus) {
    const ProcessResult p =
        run_brinlet({"-g", "-v"}, on("device r 0x0204\n  serial R\n  fn 503 noack all\n"));
    EXPECT_EQ(p.status, 255);
    EXPECT_NE(p.err.find("CTL send attepts exhausted\n"), std::string::npos);
    EXPECT_EQ(p.out, "");
}

TEST(BatchProcess, ResetAfterEvenWhenTheCallFailed) {
    const ProcessResult p =
        run_brinlet({"-d", "-k"}, on("device r 0x0204\n  serial R\n  fn 505 result -3\n"));
    EXPECT_EQ(p.status, 253);
    EXPECT_EQ(transcript_functions(p.transcript, "r"), (std::vector<int>{505, 506}));
}

TEST(BatchProcess, InputSizeLimit) {
    const std::string dir = temp_dir();
    write_file(dir + "/max", std::string(7999999, 'x'));
    write_file(dir + "/over", std::string(8000000, 'x'));
    const std::string scenario = "device r 0x0204\n  serial R\n  option transcript_reports off\n";
    ProcessResult p = run_brinlet({"-c", "-i", dir + "/max"}, on(scenario));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(only_exchange(p, "r").fields["in_len"], "7999999");
    p = run_brinlet({"-c", "-v", "-i", dir + "/over"}, on(scenario));
    EXPECT_EQ(p.status, 3);
    EXPECT_EQ(p.err, "Input file too large, maximum is: 8000000\n");
    EXPECT_EQ(transcript_records(p.transcript, "exchange", "r").size(), 0u);
}

TEST(BatchProcess, FileErrorsGiveTwo) {
    const std::string dir = temp_dir();
    ProcessResult p = run_brinlet({"-c", "-v", "-i", dir + "/missing"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err, "Cannot open " + dir + "/missing for reading: No such file or directory\n");
    p = run_brinlet({"-c", "-v", "-i", dir}, on(TWO_READERS));
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err, "Cannot read file: Is a directory\n");
    p = run_brinlet({"-g", "-v", "-o", dir + "/no/such/dir/cfg"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err,
              "Cannot open " + dir + "/no/such/dir/cfg for writing: No such file or directory\n");
    EXPECT_EQ(transcript_records(p.transcript, "exchange").size(), 0u)
        << "the output is opened before the reader is asked";
}

TEST(BatchProcess, ClosedStandardInputIsAReadFailure) {
    ProcessOptions o = on(TWO_READERS);
    o.close_stdin = true;
    const ProcessResult p = run_brinlet({"-c", "-v"}, o);
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err, "Cannot read file: Bad file descriptor\n");
}

TEST(BatchProcess, FullDiskIsAFailureNotSuccess) {
    const ProcessResult p = run_brinlet({"-g", "-v", "-o", "/dev/full"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err, "Cannot write output: No space left on device\n");
}

TEST(BatchProcess, ListingThatCannotBeWrittenIsAFailure) {
    ProcessOptions closed = on(TWO_READERS);
    closed.close_stdout = true;
    ProcessOptions full = on(TWO_READERS);
    full.stdout_path = "/dev/full";
    for (const auto& [o, reason] :
         {std::pair{closed, "Bad file descriptor"}, std::pair{full, "No space left on device"}}) {
        const ProcessResult p = run_brinlet({"-l", "-v"}, o);
        EXPECT_EQ(p.status, 2);
        EXPECT_EQ(p.err, std::string("Cannot write output: ") + reason + "\n");
    }
}

TEST(BatchProcess, ClosedStandardOutputIsAFailure) {
    ProcessOptions o = on(TWO_READERS);
    o.close_stdout = true;
    const ProcessResult p = run_brinlet({"-g", "-q", "-v"}, o);
    EXPECT_EQ(p.status, 2);
    const std::string bar = "\r  0%[" + std::string(60, '-') + "]";
    EXPECT_EQ(p.err, bar + "Cannot write output: Bad file descriptor\n\n");
}

// Every drawing of the bar is "\r", the value in three columns, "%[",
// 60 cells filled as value * 60 / 100 says, and "]".
std::vector<int> bar_values(const std::string& out) {
    std::vector<int> values;
    size_t at = 0;
    while ((at = out.find('\r', at)) != std::string::npos) {
        const std::string bar = out.substr(at + 1, 66);
        const int v = std::stoi(bar.substr(0, 3));
        std::string want = bar.substr(0, 3) + "%[";
        for (int i = 0; i < 60; ++i)
            want += v * 60 / 100 > i ? '=' : '-';
        want += "]";
        EXPECT_EQ(bar, want);
        values.push_back(v);
        ++at;
    }
    return values;
}

TEST(BatchProcess, ProgressBarDrawsAndEndsWithNewline) {
    ProcessOptions o = on(TWO_READERS + "  latency 1\n");
    o.stdin_data = std::string(30000, 'c');
    const ProcessResult p = run_brinlet({"-c", "-q"}, o);
    EXPECT_EQ(p.status, 0);
    const std::vector<int> values = bar_values(p.out);
    ASSERT_GE(values.size(), 1u) << p.out;
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100);
    EXPECT_EQ(p.out.back(), '\n');
    EXPECT_EQ(p.out.size(), values.size() * 67 + 1);
}

TEST(BatchProcess, ProgressWithFetchedDataOnStandardOutput) {
    const ProcessResult p = run_brinlet({"-g", "-q"}, on(TWO_READERS));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "CFG-KBD\n") << "standard output holds the reader's bytes alone";
    const std::string bar = "\r  0%[" + std::string(60, '-') + "]";
    std::string drawn = p.err;
    while (drawn.compare(0, bar.size(), bar) == 0)
        drawn.erase(0, bar.size());
    EXPECT_EQ(drawn, "\n") << "the bar (drawn once or more) and its line end go to standard error";
}

TEST(BatchProcess, UnplugDuringTheCallFailsWithoutOutput) {
    const std::string dir = temp_dir();
    const ProcessResult p =
        run_brinlet({"-g", "-o", dir + "/cfg"}, on("device r 0x0204\n  serial R\n  config_blob "
                                                   "rep:500:41\n  fn 503 model unplug output\n"));
    EXPECT_EQ(p.status, 241);
    EXPECT_EQ(read_file(dir + "/cfg"), "");
}

} // namespace
