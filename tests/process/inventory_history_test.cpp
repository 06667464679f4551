// SPDX-License-Identifier: GPL-2.0-or-later
// The inventory (-a -l) of a bench of readers of several kinds, and the
// history of the operations that change readers: its lines, checksums,
// runs cut short, many writers at once, and a history that cannot be
// written.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/process_case.h"
#include "support/table.h"

namespace {

const std::string INVENTORY_HEADER =
    "index\tserial\tmodel\tpath\tfirmware\tservice_firmware\tservice_status\tusb_mode\tprotocol\t"
    "hardware\thardware_serial\tlibrary\tmodule_part\tmodule_firmware\tmodule_serial\tstatus\t"
    "result\tmessage\n";
const std::string HISTORY_HEADER =
    "time\tevent\thost\tuser\tpid\tserial\tpath\tmodel\toperation\tinput\tinput_bytes\t"
    "input_sha256\tstatus\tseconds\tmessage\n";

// In list order: a keyboard reader with a module, one left out of the
// selection, one in its service firmware, one without a module, one that
// refuses every read, one whose texts hold tabs, line ends, escape
// sequences and bytes that are not UTF-8, one that leaves the bus.
const std::string BENCH = R"(device a 0x0202
  extra 0
  serial RDA
  port 1-1
  param FWVERSION "2.15.1"
  module_record sw 1.4.2 serial M-0001
  module_desc "ICM-7720-01\nModule\nauto\nproto\nfeat\ninfo\n"
device x 0x0204
  serial RDX
  port 1-2
device s 0x0200
  serial RDS
  port 1-3
device n 0x0204
  serial RDN
  port 1-4
  module_count 0
device f 0x0204
  serial RDF
  port 1-5
  fn 504 result -2
  fn 2000 result -6
  fn 2103 result -6
  fn 2107 result -6
device h 0x0204
  serial "H\tS"
  port 1-6
  param FWVERSION "2.1\t9\n\x1b[2J"
  param READERPROTOCOL r"\xff\xfe2"
  lib_version "Lib\r\nX\xc2\x9b\xe2\x82\xac"
  module_desc "\n\nPART\tONE\x07\nsecond\n"
  module_record serial "M\x1b]0;T\x07" sw 0.0.0
device u 0x0204
  serial RDU
  port 1-7
  fn 504 unplug request
)";

const std::string SERIAL_MODEL = "USB reader v2/v3 (usb serial class)";

std::vector<ProcessCase> inventory_cases() {
    using C = ProcessCase;
    const std::string inventory =
        INVENTORY_HEADER +
        "0\tRDA\tUSB reader v2/v3 (usb keyboard class)\t1-1:1.1\t2.15.1\t1.0.3\tok\t1\t1\t3.1.0\t"
        "HWRDA\tLibReader 3.4.0\tICM-7720-01\t1.4.2\tM-0001\treader operating ok\tok\t\n"
        "2\tRDS\tUSB reader v2/v3 (service fw)\t1-3:1.0\t2.14.0\t1.0.3\tok\t1\t1\t3.1.0\tHWRDS\t"
        "LibReader 3.4.0\tICM-7720-01\t1.4.2\tM0000001\treader operating ok\tok\t\n"
        "3\tRDN\t" +
        SERIAL_MODEL +
        "\t1-4:1.1\t2.14.0\t1.0.3\tok\t3\t1\t3.1.0\tHWRDN\tLibReader 3.4.0\t\t\t\treader "
        "operating ok\tok\t\n"
        "4\tRDF\t" +
        SERIAL_MODEL + "\t1-5:1.1\t\t\t\t\t\t\t\t\t\t\t\t\tok\t\n" + "5\tH?S\t" + SERIAL_MODEL +
        "\t1-6:1.1\t2.1?9??[2J\t1.0.3\tok\t3\t??2\t3.1.0\tHWH?S\tLib??X?\xe2\x82\xac\tPART?ONE?\t"
        "\tM?]0;T?\treader operating ok\tok\t\n"
        "6\tRDU\t" +
        SERIAL_MODEL + "\t1-7:1.1\t\t\t\t\t\t\t\t\t\t\t\t\tfailed\tRead error: -1\n";
    const std::string chosen = "-a -l -s rda,RDS,rdn,RDF,RDU,h?s";
    return {
        C("Bench", chosen, on(BENCH), 241, std::nullopt)
            .prints(inventory)
            .wire("x", {})
            .checking([](const ProcessResult& r) {
                // Nothing is written to any reader: reads only.
                for (const auto& x : transcript_records(r.transcript, "exchange"))
                    EXPECT_TRUE(x["fn"] == "504" || x["fn"] == "2000" || x["fn"] == "2103" ||
                                x["fn"] == "2104" || x["fn"] == "2106" || x["fn"] == "2107")
                        << x["fn"];
            }),
        // Each line stays whole and the failing reader's words come after
        // its serial number with -v.
        C("BenchVerbose", chosen + " -v", on(BENCH), 241, std::nullopt)
            .prints(inventory)
            .mentions("RDU: Read error: -1\n"),
        C("AllOk", "-a -l -s RDA", on(BENCH))
            .prints(INVENTORY_HEADER +
                    inventory.substr(INVENTORY_HEADER.size(),
                                     inventory.find("\n2\t") - INVENTORY_HEADER.size() + 1)),
        C("ToFullDisk", "-a -l -v",
          {.scenario = "device a 0x0204\n  serial RDA\n", .stdout_path = "/dev/full"}, 2,
          "Cannot write output: No space left on device\n"),
        C("NoReader", "-a -l -v", on(""), 4, "No configurable readers found\n")
            .prints(INVENTORY_HEADER),
        C("NameNotAttached", "-a -l -v -s RDA,NOPE", on(BENCH), 4, "Reader could not be selected\n")
            .wire("", {}),
        // A reader that never answers: its words are the link's.
        C("OpenedButSilent", "-a -l", on("device q 0x0204\n  serial Q\n  fn 504 noack all\n"), 255)
            .prints(std::nullopt)
            .checking([](const ProcessResult& r) {
                EXPECT_NE(r.out.find("\tfailed\tCannot read CTL response from reader: -110\n"),
                          std::string::npos)
                    << r.out;
            }),
        // A reader that answers its own -1 where the link would say
        // nothing: the function and the result are the words.
        C("FailureWithoutWords", "-a -l", on("device q 0x0204\n  serial Q\n  fn 504 result -1\n"),
          255)
            .prints(std::nullopt)
            .checking([](const ProcessResult& r) {
                EXPECT_NE(r.out.find("\tfailed\tFunction 504 answered -1\n"), std::string::npos)
                    << r.out;
            }),
    };
}

class InventoryProcess : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(InventoryProcess, EveryKindOfReaderOneWholeLineEach) {
    run_and_check(GetParam());
}

TABLE_TEST(Benches, InventoryProcess, inventory_cases());

// ---- history ----

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        out.push_back(line.substr(start, tab - start));
    out.push_back(line.substr(start));
    return out;
}

// The history's lines after its header, as fields; the header must be
// there, once, first.
std::vector<std::vector<std::string>> history_of(const std::string& path) {
    const std::string text = read_file(path);
    EXPECT_EQ(text.substr(0, HISTORY_HEADER.size()), HISTORY_HEADER);
    std::vector<std::vector<std::string>> out;
    const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z");
    for (const std::string& line : lines_of(text.substr(HISTORY_HEADER.size()))) {
        out.push_back(fields_of(line));
        EXPECT_EQ(out.back().size(), 15u) << line;
        if (out.back().size() == 15) {
            EXPECT_TRUE(std::regex_match(out.back()[0], time)) << line;
        }
    }
    return out;
}

enum Column {
    TIME,
    EVENT,
    HOST,
    USER,
    PID,
    SERIAL,
    PATH,
    MODEL,
    OPERATION,
    INPUT,
    BYTES,
    SHA,
    STATUS,
    SECONDS,
    MESSAGE
};

std::string sha256sum(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("sha256sum '" + path + "'").c_str(), "r"),
                                            pclose);
    char hex[65] = {};
    EXPECT_EQ(std::fread(hex, 1, 64, p.get()), 64u);
    return hex;
}

const std::string THREE = "device a 0x0202\n  extra 0\n  serial RDA\n  port 1-1\n"
                          "device b 0x0204\n  serial RDB\n  port 1-2\n  fn 502 result -4\n"
                          "device s 0x0200\n  serial RDS\n  port 1-3\n  fn 510 result -4\n";

// Single runs and -a: a started and an ended line per reader run, the
// input's checksum as sha256sum gives it, the summary's status and message.
TEST(HistoryProcess, LinePairsForSingleRunsAndAll) {
    const std::string dir = temp_dir(), history = dir + "/h/history.tsv", in = dir + "/in";
    write_file(in, std::string("CONFIG\0\xff\n", 9));
    const auto run = [&](std::vector<std::string> args, int status) {
        ProcessOptions o = on(THREE);
        o.history = history;
        const ProcessResult r = run_brinlet(args, o);
        EXPECT_EQ(r.status, status) << r.err;
        return r;
    };
    run({"-c", "-i", in, "-v", "-v"}, 0);
    run({"-p", "2", "-r", "1"}, 252);
    const ProcessResult refused = run({"-u", "-s", "RDS", "-i", in}, 252);
    EXPECT_EQ(refused.err, ""); // without -a the run says nothing more than before
    const ProcessResult all = run({"-a", "-c", "-i", in}, 252);
    const auto h = history_of(history);
    ASSERT_EQ(h.size(), 12u);
    const std::string sha = sha256sum(in);
    const std::vector<std::vector<std::string>> want = {
        {"started", "RDA", "c", in, "9", sha, "", ""},
        {"ok", "RDA", "c", in, "9", sha, "0", ""},
        {"started", "RDB", "p2", "", "", "", "", ""},
        {"failed", "RDB", "p2", "", "", "", "252", "Function 502 answered -4"},
        {"started", "RDS", "u", in, "9", sha, "", ""},
        {"failed", "RDS", "u", in, "9", sha, "252", "Function 510 answered -4"},
    };
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ((std::vector<std::string>{h[i][EVENT], h[i][SERIAL], h[i][OPERATION], h[i][INPUT],
                                            h[i][BYTES], h[i][SHA], h[i][STATUS], h[i][MESSAGE]}),
                  want[i])
            << i;
    EXPECT_EQ(h[0][PATH], "1-1:1.1");
    EXPECT_EQ(h[0][MODEL], "USB reader v2/v3 (usb keyboard class)");
    EXPECT_EQ(h[0][PID], h[1][PID]);
    EXPECT_EQ(h[1][SECONDS].find('.'), h[1][SECONDS].size() - 2);
    EXPECT_EQ(h[0][STATUS] + h[0][SECONDS], "");
    // -a: each summary line's status and message are its history line's.
    std::map<std::string, int> started;
    for (size_t i = 6; i < h.size(); ++i) {
        if (h[i][EVENT] == "started") {
            ++started[h[i][SERIAL]];
            continue;
        }
        const std::string summary = h[i][SERIAL] + "\t" + (h[i][EVENT] == "ok" ? "ok" : "failed") +
                                    "\t" + h[i][STATUS] + "\t";
        EXPECT_NE(all.out.find(summary), std::string::npos) << summary;
        EXPECT_NE(all.out.find("\t" + h[i][MESSAGE] + "\n"), std::string::npos) << h[i][MESSAGE];
        EXPECT_EQ(h[i][SHA], sha);
    }
    EXPECT_EQ(started, (std::map<std::string, int>{{"RDA", 1}, {"RDB", 1}, {"RDS", 1}}));
    EXPECT_NE(all.out.find("RDB\tfailed\t252\t"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("\tFunction 502 answered -4\n"), std::string::npos) << all.out;
}

// A run killed in the middle of an update leaves its started line alone:
// the record of a run cut short.
TEST(HistoryProcess, KilledDuringAnUpdateLeavesItsStartedLine) {
    const std::string dir = temp_dir(), history = dir + "/history.tsv", in = dir + "/in";
    write_file(in, std::string(20000, 'F'));
    ProcessOptions o = on("device s 0x0200\n  serial RDS\n  fn 510 delay 5000 model\n");
    o.history = history;
    const StartedProcess p = start_brinlet({"-u", "-i", in}, o);
    for (int i = 0; i < 500 && read_file(history).find("\tstarted\t") == std::string::npos; ++i)
        usleep(10000);
    usleep(200000);
    kill(p.pid, SIGKILL);
    const ProcessResult r = finish_brinlet(p);
    EXPECT_TRUE(r.signaled);
    const auto h = history_of(history);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0][EVENT], "started");
    EXPECT_EQ(h[0][SHA], sha256sum(in));
}

std::string eight(const std::string& prefix) {
    std::string s;
    for (int i = 1; i <= 8; ++i)
        s += "device " + prefix + std::to_string(i) + " 0x0204\n  serial " + prefix +
             std::to_string(i) + "\n  port 1-" + std::to_string(i) + "\n";
    return s;
}

// Two processes, each with -a on 8 readers, write at once: every line is
// whole, the header is written once, and no line is lost.
TEST(HistoryProcess, ManyWritersAtOnceLeaveEveryLineWhole) {
    const std::string dir = temp_dir(), history = dir + "/new/history.tsv";
    std::vector<StartedProcess> started;
    for (const std::string prefix : {"P", "Q"}) {
        ProcessOptions o = on(eight(prefix));
        o.history = history;
        started.push_back(start_brinlet({"-a", "-p", "2"}, o));
    }
    for (const StartedProcess& p : started)
        EXPECT_EQ(finish_brinlet(p).status, 0);
    const auto h = history_of(history);
    ASSERT_EQ(h.size(), 32u);
    std::map<std::string, int> per_reader;
    for (const auto& line : h)
        ++per_reader[line[SERIAL] + line[EVENT]];
    EXPECT_EQ(per_reader.size(), 32u);
    struct stat st = {};
    ASSERT_EQ(stat(history.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir + "/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A history that cannot be written changes nothing but the one message.
TEST(HistoryProcess, UnwritableHistoryChangesNothingButOneMessage) {
    const std::string dir = temp_dir();
    write_file(dir + "/file", "");
    const std::string bad = dir + "/file/history.tsv";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-a", "-d", "-v"}, {"-d", "-v", "-r", "1"}}) {
        ProcessOptions quiet = on(THREE), broken = on(THREE);
        broken.history = bad;
        const ProcessResult a = run_brinlet(args, quiet), b = run_brinlet(args, broken);
        EXPECT_EQ(b.status, a.status);
        EXPECT_EQ(b.out, a.out);
        EXPECT_EQ(b.err, "Cannot write history " + bad + ": Not a directory\n" + a.err);
        EXPECT_EQ(transcript_functions(b.transcript, ""), transcript_functions(a.transcript, ""));
    }
}

} // namespace
