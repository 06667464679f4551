// SPDX-License-Identifier: GPL-2.0-or-later
// -a on a bench of readers where one refuses, one is pulled out, one runs
// its service firmware and one is left out: summary, status, exchanges and
// files; refusals before any exchange, Ctrl+C, live rows on a terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/process_case.h"
#include "support/pty_session.h"
#include "support/table.h"

namespace {

const std::string HEADER = "serial\tresult\tstatus\tseconds\tmessage\n";
const std::string UNSUPPORTED = "Operation not supported on given reader.";
// Named out of list order, in other letter cases; x is left out.
const std::string CHOSEN = "-s rds,RDA,rdc,RDB";

// In list order: a keyboard reader, one outside the selection, one that
// refuses (b), one that leaves the bus in the middle of the operation (c),
// one in its service firmware. Each holds texts of its own.
std::string bench(const std::string& refuse, const std::string& unplug) {
    std::string s;
    for (const char n : std::string("axbcs")) {
        const std::string d(1, n);
        const char* product = n == 'a' ? "0x0202\n  extra 0" : n == 's' ? "0x0200" : "0x0204";
        const std::string fault = n == 'b' ? refuse : n == 'c' ? unplug : "";
        s += "device " + d + " " + product + "\n  serial RD" + char(toupper(n)) + "\n  port 2-" +
             d + "\n  config_blob r\"CFG-" + d + "\"\n  log_blob r\"LOG-" + d +
             "\"\n  status_message \"ready " + d + "\"\n" + fault +
             (n == 's' ? "  normal 0x0204\n" : "");
    }
    return s;
}

// Standard output with every seconds column made "S": the summary's lines
// hold five fields and the seconds one decimal.
std::string without_seconds(const std::string& out) {
    static const std::regex seconds("^([^\t\n]*\t[^\t\n]*\t[^\t\n]*\t)[0-9]+\\.[0-9](\t[^\t\n]*)$",
                                    std::regex::multiline);
    return std::regex_replace(out, seconds, "$1S$2");
}

using Check = std::function<void(const ProcessResult&)>;

// The summary lines after the header, in order, seconds as "S".
Check summary(const std::vector<std::string>& lines) {
    std::string want = HEADER;
    for (const std::string& line : lines)
        want += line + "\n";
    return [=](const ProcessResult& r) { EXPECT_EQ(without_seconds(r.out), want) << r.out; };
}

// The run's directory holds exactly these files beside its own.
Check files(const std::map<std::string, std::string>& want) {
    return [=](const ProcessResult& r) {
        std::map<std::string, std::string> got;
        const std::set<std::string> own = {"scenario.scn", "stdin",          "stdout",
                                           "stderr",       "transcript.txt", "in"};
        for (const auto& e : std::filesystem::directory_iterator(r.dir))
            if (!own.count(e.path().filename())) got[e.path().filename()] = read_file(e.path());
        EXPECT_EQ(got, want);
    };
}

// The device's exchanges of the function carried exactly these bytes.
Check received(const std::string& device, int function, const std::string& bytes) {
    return [=](const ProcessResult& r) {
        std::vector<std::string> got;
        for (const auto& x : transcript_records(r.transcript, "exchange", device))
            if (x["fn"] == std::to_string(function)) got.push_back(x["in"]);
        EXPECT_EQ(got, std::vector<std::string>{hex(bytes)}) << device;
    };
}

// The device's exchanges, exactly.
Check exchanged(const std::string& device, const std::vector<int>& functions) {
    return [=](const ProcessResult& r) {
        EXPECT_EQ(transcript_functions(r.transcript, device), functions) << device;
    };
}

Check all(std::vector<Check> checks) {
    return [=](const ProcessResult& r) {
        for (const Check& check : checks)
            check(r);
    };
}

// One operation on the bench; b answers -4, c leaves the bus after the
// first input packet or in place of CTL_DONE, unless refuse or unplug say.
struct Operation {
    std::string name, args;
    int function;
    std::string b, c, s; // summary lines after the serial and a tab
    std::map<std::string, std::string> outputs = {};
    std::vector<int> a_wire = {}; // a's exchanges, when not the function alone
    std::string err = "", refuse = "", unplug = "";
    Check also = {}; // beside the summary, the files and x left alone
};

const std::string IN = "CONFIGURATION FILE", FW = [] {
    std::string s(3000, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(i * 7 + 3);
    return s;
}();

const std::string OK = "ok\t0\tS\t", REFUSED = "failed\t252\tS\t";
const std::string LOST = "failed\t241\tS\tRead error: -1";
const std::string SKIPPED = "skipped\t6\tS\t" + UNSUPPORTED;
const std::string NEEDED = "  extfw needed on\n";

std::vector<Operation> operations() {
    return {
        // Not a terminal: no rows, no bar. What was sent reached each reader
        // that took it unchanged.
        {.name = "SendConfig",
         .args = "-c -q -i $D/in",
         .function = 502,
         .b = REFUSED,
         .c = LOST,
         .s = OK,
         .also = received("s", 502, IN)},
        {.name = "GetConfig",
         .args = "-g -v -o $D/%s.cfg",
         .function = 503,
         .b = REFUSED,
         .c = LOST,
         .s = SKIPPED,
         .outputs = {{"RDA.cfg", "CFG-a"}},
         .err = "RDS: " + UNSUPPORTED + "\nRDC: Read error: -1\n" +
                "RDC: Cannot read header from reader: -9999\n"},
        {.name = "Defaults",
         .args = "-d -k",
         .function = 505,
         .b = REFUSED,
         .c = LOST,
         .s = OK,
         .a_wire = {505, 506}},
        {.name = "GetLog",
         .args = "-j -o $D/%s.log",
         .function = 501,
         .b = REFUSED,
         .c = LOST,
         .s = OK,
         .outputs = {{"RDA.log", "LOG-a"}, {"RDS.log", "LOG-s"}}},
        {.name = "CustomConfig",
         .args = "-m -i $D/in",
         .function = 2403,
         .b = REFUSED,
         .c = LOST,
         .s = OK},
        {.name = "Protocol",
         .args = "-p 2",
         .function = 502,
         .b = REFUSED,
         .c = LOST,
         .s = OK,
         .also = received("a", 502, std::string("READERPROTOCOL=2") + '\0')},
        {.name = "ServiceFirmware",
         .args = "-w -i $D/in",
         .function = 512,
         .b = REFUSED,
         .c = LOST,
         .s = SKIPPED},
        {.name = "RawFunction",
         .args = "-b 13 -i $D/in -o $D/%s.out",
         .function = 13,
         .b = REFUSED,
         .c = LOST,
         .s = OK,
         .outputs = {{"RDA.out", std::string("ready a") + '\0'},
                     {"RDS.out", std::string("ready s") + '\0'}}},
        // c comes back in its service firmware and stays there.
        {.name = "UpdateFirmware",
         .args = "-u -i $D/in",
         .function = 510,
         .b = REFUSED,
         .c = "failed\t5\tS\tWrite error: -1",
         .s = OK,
         .a_wire = {511, 510, 506, 2107, 1500},
         .also = all({received("a", 510, FW), received("s", 510, FW),
                      exchanged("s", {510, 506, 2107, 1500})})},
        {.name = "ModuleCheck",
         .args = "-X -i $D/in",
         .function = 1500,
         .b = REFUSED + "Cannot start Extfw update: -4",
         .c = LOST,
         .s = OK,
         .refuse = NEEDED + "  fn 535 result -4\n",
         .unplug = NEEDED + "  fn 536 unplug input return 0.3\n"},
    };
}

ProcessCase operation_case(const Operation& op) {
    const std::string fn = std::to_string(op.function);
    const bool sends = op.args.find("-i") != std::string::npos;
    const std::string refuse = op.refuse.empty() ? "  fn " + fn + " result -4\n" : op.refuse;
    const std::string unplug =
        op.unplug.empty()
            ? "  fn " + fn + (sends ? " unplug input" : " unplug done") + " return 0.3\n"
            : op.unplug;
    const std::vector<int> a_wire = op.a_wire.empty() ? std::vector<int>{op.function} : op.a_wire;
    // A refusal that printed nothing is told by the function and its result.
    const std::string b =
        op.b == "failed\t252\tS\t" ? op.b + "Function " + fn + " answered -4" : op.b;
    std::vector<Check> checks = {
        summary({"RDA\tok\t0\tS\t", "RDB\t" + b, "RDC\t" + op.c, "RDS\t" + op.s}),
        files(op.outputs), exchanged("x", {})};
    if (op.also) checks.push_back(op.also);
    return ProcessCase(op.name, "-a " + op.args + " " + CHOSEN, on(bench(refuse, unplug)), 252,
                       op.err)
        .with_file("in", op.function == 510 ? FW : IN)
        .prints({})
        .wire("a", a_wire)
        .checking(all(checks));
}

class AllReadersBench : public ::testing::TestWithParam<Operation> {};

TEST_P(AllReadersBench, EachOperationOnABenchOfReaders) {
    run_and_check(operation_case(GetParam()));
}

TABLE_TEST(Operations, AllReadersBench, operations());

// Refusals before any exchange, selections, names of files, and the
// update of readers that share a serial number.
std::vector<ProcessCase> refusals_and_selections() {
    using C = ProcessCase;
    const std::string two = "device p 0x0204\n  serial P1\ndevice q 0x0204\n  serial Q2\n";
    const std::string svc = "device s 0x0200\n  serial RDS\n";
    const std::string needs = "With -a, -o needs %s for the serial number\n";
    const auto dup = [](const std::string& name, const std::string& port) {
        return "device " + name + " 0x0202\n  extra 0\n  serial DUP\n  port " + port + "\n";
    };
    const std::string three_ok = "P1\tok\t0\tS\t",
                      dup_failed = "DUP\tfailed\t5\tS\tReader cannot be told from another reader "
                                   "after its restart: its serial number is empty or not unique";
    return {
        C("FetchWithoutPercentS", "-a -g -v -o $D/cfg", on(two), 2, needs).wire("", {}),
        C("FetchToStandardOutput", "-a -j -v", on(two), 2, needs).wire("", {}),
        C("TwoReadersOneFile", "-a -b 13 -v -o $D/%s.cfg",
          on("device p 0x0204\n  serial A.1\n"
             "device q 0x0204\n  serial A_1\n"),
          2, "With -a, readers A.1 and A_1 would write the same file $D/A_1.cfg\n")
            .wire("", {})
            .checking(files({})),
        C("SerialsMadeFileNames", "-a -g -o $D/%s-%s",
          on("device p 0x0204\n  serial \"a/b c-Z_9\"\n  config_blob r\"P\"\n"
             "device q 0x0204\n  serial \"\"\n  config_blob r\"Q\"\n"))
            .prints({})
            .checking(all({summary({"a/b c-Z_9\tok\t0\tS\t", "\tok\t0\tS\t"}),
                           files({{"a_b_c-Z_9-a_b_c-Z_9", "P"}, {"_-_", "Q"}})})),
        C("MissingName", "-a -d -v " + CHOSEN + ",RDZ", on(bench("", "")), 4,
          "Reader could not be selected\n")
            .wire("", {}),
        C("NoReader", "-a -d -v", on(""), 4, "No configurable readers found\n"),
        C("EveryReaderSkipped", "-a -g -o $D/%s", on(svc), 6)
            .prints("serial\tresult\tstatus\tseconds\tmessage\nRDS\tskipped\t6\t0.0\t" +
                    UNSUPPORTED + "\n")
            .wire("", {}),
        C("ImageMissing", "-a -u -v -i $D/none", on(two), 2,
          "Cannot open $D/none for reading: No such file or directory\n")
            .wire("", {}),
        C("InputTooLarge", "-a -c -v -i $D/big", on(two), 3,
          "Input file too large, maximum is: 8000000\n")
            .with_filled_file("big", 8000000, 'x')
            .wire("", {}),
        C("StandardInputSharedByAll", "-a -m", on(two, IN))
            .prints({})
            .checking(all({summary({three_ok, "Q2\tok\t0\tS\t"}), received("p", 2403, IN),
                           received("q", 2403, IN)})),
        // A reader that never answers holds up no other: q is done at once.
        C("HangingReaderHoldsUpNoOther", "-a -d", on(two + "  fn 505 silent\n"), 146)
            .prints({})
            .checking(all({summary({three_ok, "Q2\tfailed\t146\tS\tCannot read header from "
                                              "reader: -110"}),
                           exchanged("p", {505}),
                           [](const ProcessResult& r) {
                               EXPECT_NE(r.out.find("\nP1\tok\t0\t0."), std::string::npos);
                           }})),
        C("AWithoutOperationIsTheMenu", "-a -s P1", on(two))
            .prints(main_menu("0) USB reader v2/v3 (usb serial class), Ser.no.: P1\n"
                              "1) USB reader v2/v3 (usb serial class), Ser.no.: Q2\n")),
        // -a takes no value, and -r does not narrow it.
        C("AWithLettersAfterItAndAnIndex", "-ab -r 1 -d", on(two))
            .prints({})
            .checking(all({summary({three_ok, "Q2\tok\t0\tS\t"}), exchanged("p", {505}),
                           exchanged("q", {505})})),
        // Without -a a comma belongs to the one serial number.
        C("CommaInASerialWithoutA", "-d -s X,Y", on("device p 0x0204\n  serial \"X,Y\"\n"))
            .wire("p", {505}),
        C("SummaryOnAFullDisk", "-a -d -v", {.scenario = two, .stdout_path = "/dev/full"}, 2,
          "Cannot write output: No space left on device\n")
            .checking(all({exchanged("p", {505}), exchanged("q", {505})})),
        // One serial number on two ports: each is found again on its own.
        C("LookAlikesOnTwoPortsAreBothUpdated", "-a -u -i $D/in",
          on(dup("d1", "1-4") + dup("d2", "1-5")))
            .with_file("in", FW)
            .prints({})
            .checking(all({summary({"DUP\tok\t0\tS\t", "DUP\tok\t0\tS\t"}), received("d1", 510, FW),
                           received("d2", 510, FW)})),
        // On one port they cannot be told apart: not touched; the others go on.
        C("LookAlikesOnOnePortAreNotTouched", "-a -u -i $D/in -s dup,p1",
          on(dup("d1", "1-4") + two + dup("d2", "1-4\n  usb_config 2")), 5)
            .with_file("in", FW)
            .prints({})
            .checking(all({summary({dup_failed, three_ok, dup_failed}), exchanged("d1", {}),
                           exchanged("d2", {}), exchanged("q", {}), received("p", 510, FW)})),
    };
}

class AllReadersRefusals : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(AllReadersRefusals, RefusalsSelectionsAndLookAlikes) {
    run_and_check(GetParam());
}

TABLE_TEST(Cases, AllReadersRefusals, refusals_and_selections());

// Three readers whose operation takes delay_ms, started with -v -v: the
// process, once each reader's request was acknowledged.
StartedProcess started_three(const std::string& dir, int delay_ms) {
    std::string scenario;
    for (const char* name : {"p", "q", "r"})
        scenario += std::string("device ") + name + " 0x0204\n  serial " + name +
                    "1\n  fn 505 delay " + std::to_string(delay_ms) + "\n";
    StartedProcess p = start_brinlet({"-a", "-d", "-v", "-v"}, {.scenario = scenario, .dir = dir});
    for (int ms = 0; ms < 20000; ms += 20, usleep(20000)) {
        const std::string err = read_file(dir + "/stderr");
        if (err.find("p1: CTL acknowledged") != std::string::npos &&
            err.find("q1: CTL acknowledged") != std::string::npos &&
            err.find("r1: CTL acknowledged") != std::string::npos)
            break;
    }
    return p;
}

// The first Ctrl+C lets every started reader finish; the second ends the
// program at once.
TEST(AllReadersProcess, CtrlCOnceLetsTheReadersFinishTwiceEndsAtOnce) {
    const StartedProcess once = started_three(temp_dir(), 2500);
    kill(once.pid, SIGINT);
    const ProcessResult r = finish_brinlet(once);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(without_seconds(r.out), HEADER + "p1\tok\t0\tS\t\nq1\tok\t0\tS\t\nr1\tok\t0\tS\t\n");
    for (const char* name : {"p", "q", "r"}) {
        const auto x = transcript_records(r.transcript, "exchange", name);
        ASSERT_EQ(x.size(), 1u) << name;
        EXPECT_EQ(x[0]["outcome"], "no_output") << name; // done, not abandoned
    }

    const StartedProcess twice = started_three(temp_dir(), 9000);
    const double at = now_ms();
    kill(twice.pid, SIGINT);
    usleep(500000); // two signals sent at once would arrive as one
    kill(twice.pid, SIGINT);
    const ProcessResult t = finish_brinlet(twice);
    EXPECT_TRUE(t.signaled);
    EXPECT_EQ(t.status, 128 + SIGINT);
    EXPECT_EQ(t.out, "");
    EXPECT_LT(now_ms() - at, 6000) << "the readers' 9 s were not waited for";
}

// On a terminal: one row per reader, redrawn in place as each goes on,
// the last state of each above the summary.
TEST(AllReadersProcess, LiveRowsOnATerminal) {
    PtySession s{20, 100};
    const std::string dir = temp_dir();
    write_file(dir + "/s.scn",
               "device p 0x0204\n  serial P1\n  config_blob r\"p\"\n  fn 503 delay 1500\n"
               "device q 0x0202\n  serial Q2\n  fn 503 delay 1500 doneerror 7\n"
               "device s 0x0200\n  serial RDS\n");
    ASSERT_TRUE(s.start(BRINLET_BIN, BRINLET_EMU_LIB, {"-a", "-g", "-q", "-o", dir + "/%s"},
                        dir + "/s.scn", dir + "/control"));
    const std::vector<std::string> moving = {"P1               usb SER.     fetching 0%",
                                             "Q2               usb KBD      fetching 0%",
                                             "RDS              service      skipped"};
    EXPECT_TRUE(s.wait_for([&] { return s.screen.lines() == moving; }, 15000))
        << ::testing::PrintToString(s.screen.lines());
    EXPECT_EQ(s.finish(30000), 255);
    const std::string done = "P1               usb SER.     done";
    std::string shown;
    for (const std::string& line : s.screen.lines())
        shown += line + "\n";
    EXPECT_EQ(without_seconds(shown),
              done + "\nQ2               usb KBD      FAILED (255, CTLDONE fail: 7)\n" + moving[2] +
                  "\n" + HEADER + "P1\tok\t0\tS\t\nQ2\tfailed\t255\tS\tCTLDONE fail: 7\n" +
                  "RDS\tskipped\t6\tS\t" + UNSUPPORTED + "\n");
    EXPECT_EQ(s.screen.unknown_sequences, 0);
    EXPECT_EQ(read_file(dir + "/P1"), "p");
    // A row is drawn again only when it changed.
    for (const std::string& row : {moving[0], moving[2], done})
        EXPECT_EQ(s.output.find(row + "\x1b[K", s.output.find(row + "\x1b[K") + 1),
                  std::string::npos)
            << row;
}

} // namespace
