// Bad input and output for the real binary: files that are empty, too
// large, not files at all or not readable, outputs that cannot take the
// data (a pipe whose reader went away), every option letter alone, options
// without their value, very long and non-numeric values. Each case ends
// with its documented status and message, never by a signal, never hanging.
//
// Already covered elsewhere, not repeated here: a missing input file, a
// directory as input, an output in a missing directory, /dev/full, a closed
// standard input or output, 7,999,999 and 8,000,000 byte input files
// (tests/process/batch_test.cpp); standard input closed or ending at every
// prompt of the menus (tests/console/*, tests/process/console_*).
//
// Failing runs sleep through the 4 s error pause, so the cases run side by
// side as separate processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

namespace {

constexpr int PARALLEL_RUNS = 12;
const std::string READER = "device r 0x0204\n  serial RI0001\n  config_blob rep:300000:43\n";

enum class Out { File, ClosedPipe };

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string stdin_path = "/dev/null";
    Out out = Out::File;
    std::string scenario = READER;
};

using CaseRun = ProcessResult;

std::vector<CaseRun> run_all(const std::vector<Case>& cases) {
    std::vector<CaseRun> runs(cases.size());
    const std::string root = temp_dir();
    run_side_by_side(cases.size(), PARALLEL_RUNS, [&](size_t i) {
        const std::string dir = root + "/" + std::to_string(i);
        std::filesystem::create_directory(dir);
        IsolatedRun how;
        how.stdin_path = cases[i].stdin_path;
        how.stdout_to_gone_pipe = cases[i].out == Out::ClosedPipe;
        runs[i] = run_brinlet_in(dir, cases[i].args, cases[i].scenario, how);
    });
    return runs;
}

std::string in_len_of_502(const CaseRun& r) {
    for (const TranscriptRecord& x : transcript_records(r.transcript, "exchange", "r"))
        if (x.fields.at("fn") == "502") return x.fields.at("in_len");
    return "none";
}

TEST(BadInput, UnreadableInputFileFailsWithTwo) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: a mode 000 file is still readable";
    const std::string dir = temp_dir();
    write_file(dir + "/secret", "x");
    chmod((dir + "/secret").c_str(), 0);
    const ProcessResult p = run_brinlet({"-c", "-v", "-i", dir + "/secret"}, on(READER));
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err, "Cannot open " + dir + "/secret for reading: Permission denied\n");
}

TEST(BadInput, FilesPipesAndDevicesEndWithTheirStatus) {
    const std::string dir = temp_dir();
    write_file(dir + "/empty", "");
    write_file(dir + "/max_stdin", std::string(8000000, 's'));
    std::filesystem::create_directory(dir + "/outdir");
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The writer of the named pipe: 1000 bytes, then the end.
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        const std::string data(1000, 'p');
        if (fd >= 0 && write(fd, data.data(), data.size()) < 0) {
        }
        if (fd >= 0) close(fd);
    });
    const std::string long_name(100000, 'n');
    const std::vector<Case> cases = {
        {"empty", {"-c", "-v", "-i", dir + "/empty"}},
        {"stdin8000000", {"-c", "-v"}, dir + "/max_stdin"},
        {"devzero", {"-c", "-v", "-i", "/dev/zero"}},
        {"fifo", {"-c", "-v", "-i", fifo}},
        {"outputdirectory", {"-g", "-v", "-o", dir + "/outdir"}},
        {"closedpipe", {"-g", "-v"}, "/dev/null", Out::ClosedPipe},
        {"closedpipeprogress", {"-j", "-q", "-v"}, "/dev/null", Out::ClosedPipe},
        {"longoutput", {"-g", "-v", "-o", dir + "/" + long_name}},
        {"longinput", {"-c", "-v", "-i", long_name}},
    };
    const std::vector<CaseRun> r = run_all(cases);
    writer.join();
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_FALSE(r[i].signaled) << cases[i].name << " status " << r[i].status;
        EXPECT_LT(r[i].elapsed_ms, 20000) << cases[i].name;
    }
    EXPECT_EQ(r[0].status, 0) << "an empty input is sent as no data";
    EXPECT_EQ(in_len_of_502(r[0]), "0");
    EXPECT_EQ(r[1].status, 3);
    EXPECT_EQ(r[1].err, "Input file too large, maximum is: 8000000\n");
    EXPECT_EQ(in_len_of_502(r[1]), "none");
    EXPECT_EQ(r[2].status, 3) << "/dev/zero never ends: the limit ends it";
    EXPECT_EQ(r[2].err, "Input file too large, maximum is: 8000000\n");
    EXPECT_EQ(r[3].status, 0) << r[3].err;
    EXPECT_EQ(in_len_of_502(r[3]), "1000");
    EXPECT_EQ(r[4].status, 2);
    EXPECT_EQ(r[4].err, "Cannot open " + dir + "/outdir for writing: Is a directory\n");
    // A pipe whose reader is gone: the write fails as any failed write,
    // with the message, instead of SIGPIPE ending the run without a word.
    EXPECT_EQ(r[5].status, 2);
    EXPECT_EQ(r[5].err, "Cannot write output: Broken pipe\n");
    EXPECT_EQ(r[6].status, 2);
    EXPECT_EQ(r[6].err, "\r  0%[" + std::string(60, '-') + "]Cannot write output: Broken pipe\n\n")
        << "the bar is on standard error when the data is on standard output";
    EXPECT_EQ(r[7].status, 2);
    EXPECT_EQ(r[7].err,
              "Cannot open " + dir + "/" + long_name + " for writing: File name too long\n");
    EXPECT_EQ(r[8].status, 2);
    EXPECT_EQ(r[8].err, "Cannot open " + long_name + " for reading: File name too long\n");
}

TEST(BadArguments, EveryLetterAloneEndsWithItsStatus) {
    std::vector<Case> cases;
    // -t runs the card test until Ctrl+C, whatever standard input holds
    // (tests/process/cardtest_pty_test.cpp ends it so).
    for (char c : std::string("abcdefghijklmnopqrsuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"))
        cases.push_back({std::string(1, c), {std::string("-") + c}});
    const std::vector<CaseRun> r = run_all(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const char letter = cases[i].name[0];
        SCOPED_TRACE(std::string("-") + letter + " stderr: " + r[i].err.substr(0, 200));
        EXPECT_FALSE(r[i].signaled) << r[i].status;
        EXPECT_LT(r[i].elapsed_ms, 30000);
        int expected = 0; // the menu (no operation) left at the end of standard input
        if (letter == 'h') expected = 1;
        EXPECT_EQ(r[i].status, expected);
    }
}

TEST(BadArguments, MissingLongAndNonNumericValues) {
    const std::string digits(100000, '9');
    const std::string letters(100000, 's');
    const std::vector<Case> cases = {
        {"outputmissing", {"-g", "-o"}},
        {"inputmissing", {"-c", "-i"}},
        {"longserial", {"-g", "-v", "-s", letters}},
        {"longindex", {"-g", "-v", "-r", digits}},
        {"longprotocol", {"-p", digits}},
        {"longfunction", {"-b", digits}},
        {"indexword", {"-g", "-r", "abc"}},
        {"protocolword", {"-p", "abc"}},
        {"functionword", {"-b", "abc"}},
        {"negativeindex", {"-g", "-v", "-r", "-1"}},
    };
    const std::vector<CaseRun> r = run_all(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_FALSE(r[i].signaled) << cases[i].name;
        EXPECT_LT(r[i].elapsed_ms, 20000) << cases[i].name;
    }
    EXPECT_EQ(r[0].status, 0) << "-o without a value is ignored: standard output";
    EXPECT_EQ(r[0].out, std::string(300000, 'C'));
    EXPECT_EQ(r[1].status, 0) << "-i without a value is ignored: standard input";
    EXPECT_EQ(in_len_of_502(r[1]), "0");
    EXPECT_EQ(r[2].status, 4);
    EXPECT_EQ(r[2].err, "Reader could not be selected\n");
    EXPECT_EQ(r[3].status, 4) << "an index beyond int converts out of range, to no reader";
    EXPECT_EQ(r[3].err, "Reader could not be selected\n");
    EXPECT_FALSE(r[4].signaled);
    EXPECT_FALSE(r[5].signaled);
    EXPECT_EQ(r[6].status, 0) << "no digits: index 0";
    EXPECT_EQ(r[6].out, std::string(300000, 'C'));
    EXPECT_EQ(r[7].status, 0) << "no digits: protocol 0";
    EXPECT_NE(r[7].transcript.find("in_len=17"), std::string::npos) << "READERPROTOCOL=0";
    EXPECT_EQ(r[8].status, 0) << "function 0 is no operation: the menu, left at once";
    EXPECT_EQ(r[9].status, 4);
    EXPECT_EQ(r[9].err, "Reader could not be selected\n");
}

} // namespace
