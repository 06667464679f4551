// SPDX-License-Identifier: GPL-2.0-or-later
// The fault matrix: every batch operation and both firmware update commands
// on a reader that breaks one exchange in each way a real one can (no
// answer, a refusal, wrong header types, short reports, USB failures,
// unplugging, staying busy). Each cell runs the real binary; whatever
// happens, the run ends within the link's time bounds, never by a signal,
// never with status 0 unless the operation really completed, the output
// file holds only what the reader sent, the reader beside the selected one
// is never spoken to, and a card reader module receives the image file's
// bytes or nothing.
//
// A failing run spends the 4 s error pause asleep, so the cells of one
// operation run side by side as separate processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

namespace {

constexpr int ANY_FAILURE = -1; // expected status: not 0, any value
constexpr int MAY_RECOVER = -2; // a once-only fault the retry may get past
constexpr double ERROR_PAUSE_MS = 4000;
constexpr double MARGIN_MS = 4000; // slow sanitizer builds, two cores shared
constexpr int PARALLEL_CELLS = 12;

enum class Data { None, Sent, Fetched };

struct Operation {
    const char* name;
    std::vector<std::string> args;
    int function;
    Data data;
    std::string expected_output; // what the reader has for a fetch
};

struct Cell {
    std::string name;
    std::string statements; // added to the reader's device block
    int expected_status;    // exit status, ANY_FAILURE or MAY_RECOVER
    double work_ms;         // the longest the protocol may take before the pause
};

const std::string CONFIG_BLOB(700, 'C');
const std::string LOG_BLOB(300, 'L');
const std::string INPUT(1000, 'i');

std::string reader_block() {
    return "device r 0x0204\n  serial RM0001\n  config_blob rep:700:43\n"
           "  log_blob rep:300:4c\n  status_message r\"Reader ready\"\n";
}

// A second reader that nobody selects, listed after the one under test.
const std::string BYSTANDER = "device other 0x0204\n  serial RM0009\n";

void check_bystander_untouched(const ProcessResult& run) {
    EXPECT_TRUE(transcript_records(run.transcript, "exchange", "other").empty())
        << "an exchange with a reader that was not selected";
}

// One cell: the binary with its streams and its -o file ("output") in the
// cell's directory.
ProcessResult run_cell(const std::vector<std::string>& args, const std::string& scenario,
                       const std::string& dir, double timeout_s) {
    ProcessOptions how = on(scenario);
    how.dir = dir;
    how.timeout_s = timeout_s;
    return run_brinlet(args, how);
}

// The reader completed the operation's exchange with this input length
// (the host got the answer).
bool reader_completed(const std::string& transcript, int function, size_t input_len) {
    for (const TranscriptRecord& x : transcript_records(transcript, "exchange", "r")) {
        if (x.fields.count("fn") == 0 || std::stoi(x.fields.at("fn")) != function) continue;
        const std::string outcome = x.fields.count("outcome") ? x.fields.at("outcome") : "";
        if (outcome != "no_output" && outcome != "fetched") continue;
        if (x.fields.count("in_len") && std::stoul(x.fields.at("in_len")) == input_len) return true;
    }
    return false;
}

void check_batch_cell(const Operation& op, const Cell& cell, const ProcessResult& run) {
    SCOPED_TRACE(std::string(op.name) + "/" + cell.name + "\nstderr: " + run.err);
    const std::string output = read_file(run.dir + "/output"); // the -o file
    EXPECT_FALSE(run.signaled) << "status " << run.status;
    check_bystander_untouched(run);
    if (cell.expected_status >= 0) {
        EXPECT_EQ(run.status, cell.expected_status);
    } else if (cell.expected_status == ANY_FAILURE) {
        EXPECT_NE(run.status, 0);
    }
    const double bound = cell.work_ms + (run.status != 0 ? ERROR_PAUSE_MS : 0) + MARGIN_MS;
    EXPECT_LT(run.elapsed_ms, bound);
    if (run.status != 0) {
        EXPECT_GE(run.elapsed_ms, ERROR_PAUSE_MS - 100) << "the error pause";
    }

    if (op.data == Data::Fetched) {
        // Only a completed fetch may leave data; a failed one leaves none.
        // An announced length beyond the buffer is refused and the reader's
        // result stands: 0, with nothing written.
        if (cell.name == "donelenover") {
            EXPECT_EQ(run.status, 0);
            EXPECT_TRUE(output.empty()) << output.size() << " bytes";
        } else if (run.status == 0) {
            EXPECT_TRUE(output == op.expected_output) << output.size() << " bytes";
        } else {
            EXPECT_TRUE(output.empty()) << output.size() << " bytes the reader did not send";
        }
    }
    if (run.status == 0 && op.data != Data::Fetched) {
        const size_t len = op.data == Data::Sent ? INPUT.size() : op.function == 502 ? 17 : 0;
        EXPECT_TRUE(reader_completed(run.transcript, op.function, len))
            << "status 0 although the reader did not complete " << op.function << "\n"
            << run.transcript;
    }
}

std::string fn(int function, const std::string& items) {
    return "  fn " + std::to_string(function) + " " + items + "\n";
}

// Every failure kind on the operation's one exchange.
std::vector<Cell> batch_cells(const Operation& op) {
    const int f = op.function;
    const double step = 600, done = 10000;
    std::vector<Cell> cells;
    if (f == 503 || f == 502)
        cells.push_back({"donetimeout", fn(f, "model delay 11000"), 146, done + step});
    const std::vector<Cell> quick = {
        {"noack", fn(f, "noack all"), 255, step},
        {"reqerror", fn(f, "reqerror -7"), 249, step},
        {"reqerrorpositive", fn(f, "reqerror 7"), 7, step},
        {"doneerror", fn(f, "doneerror -3"), 255, step},
        {"acktype", fn(f, "acktype 7") + fn(f, "model"), MAY_RECOVER, step},
        {"donetype", fn(f, "donetype 7"), 255, step},
        {"shortack", fn(f, "short ack 5") + fn(f, "model"), MAY_RECOVER, step},
        {"shortdone", fn(f, "short done 5"), 255, step},
        {"dataheaderdone", fn(f, "dataheader done"), 255, step},
        {"hidfailack", fn(f, "hidfail ack"), 241, step},
        {"hidfailrequest", fn(f, "hidfail request"), 241, step},
        {"unplugrequest", fn(f, "unplug request"), 241, step},
        {"unplugdone", fn(f, "unplug done"), 241, step},
        {"busy", fn(f, "result -25"), 231, step},
        {"failwrite1", "  fail_write 1\n", 241, step},
        {"failread1", "  fail_read 1\n", 241, step},
    };
    cells.insert(cells.end(), quick.begin(), quick.end());
    if (op.data == Data::Fetched) {
        // An output that fits one report is whole before the reader leaves.
        cells.push_back({"unplugoutput", fn(f, "model unplug output"),
                         op.expected_output.size() > 63 ? 241 : MAY_RECOVER, step});
        cells.push_back({"shortdata", fn(f, "model short data 5"), 255, step});
        cells.push_back({"hidfailoutput", fn(f, "model hidfail output"), 241, step});
        // Too much announced: refused, and the reader's own result (0) is
        // the run's result, with no data.
        cells.push_back({"donelenover", fn(f, "model donelen over"), MAY_RECOVER, step});
    }
    if (op.data == Data::Sent) {
        cells.push_back({"unpluginput", fn(f, "unplug input"), 241, step});
        cells.push_back({"hidfailinput", fn(f, "hidfail input"), 241, step});
        cells.push_back({"unplugat5", "  unplug_at 5\n", 241, step});
    }
    if (f == 503) cells.push_back({"failedwithreset", fn(f, "reqerror -7"), 249, step});
    return cells;
}

class BatchFaultMatrix : public ::testing::TestWithParam<Operation> {};

TEST_P(BatchFaultMatrix, EveryFailureEndsInTimeWithAFailureStatusAndNoForeignData) {
    const Operation& op = GetParam();
    const std::vector<Cell> cells = batch_cells(op);
    std::vector<ProcessResult> runs(cells.size());
    const std::string root = temp_dir();
    run_side_by_side(cells.size(), PARALLEL_CELLS, [&](size_t i) {
        const std::string dir = root + "/" + cells[i].name;
        std::filesystem::create_directory(dir);
        // -b sends its input too, in the buffer the output comes back in.
        write_file(dir + "/input", op.data == Data::Sent || op.function == 13 ? INPUT : "");
        std::vector<std::string> args = op.args;
        args.insert(args.end(), {"-v", "-i", dir + "/input"});
        if (op.data == Data::Fetched) args.insert(args.end(), {"-o", dir + "/output"});
        if (cells[i].name == "failedwithreset") args.push_back("-k");
        runs[i] = run_cell(args, reader_block() + cells[i].statements + BYSTANDER, dir, 60);
    });
    std::fprintf(stderr, "fault matrix %s: %zu cells\n", op.name, cells.size());
    for (size_t i = 0; i < cells.size(); ++i)
        check_batch_cell(op, cells[i], runs[i]);
    for (size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].name != "failedwithreset") continue;
        const std::vector<int> fns = transcript_functions(runs[i].transcript, "r");
        EXPECT_NE(std::find(fns.begin(), fns.end(), 506), fns.end()) << "-k resets after a failure";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, BatchFaultMatrix,
    ::testing::Values(Operation{"getconfig", {"-g"}, 503, Data::Fetched, CONFIG_BLOB},
                      Operation{"sendconfig", {"-c"}, 502, Data::Sent, ""},
                      Operation{"defaults", {"-d"}, 505, Data::None, ""},
                      Operation{"log", {"-j"}, 501, Data::Fetched, LOG_BLOB},
                      Operation{"customconfig", {"-m"}, 2403, Data::Sent, ""},
                      Operation{"protocol", {"-p", "5"}, 502, Data::None, ""},
                      Operation{"servicefirmware", {"-w"}, 512, Data::Sent, ""},
                      Operation{"rawfunction", {"-b", "13"}, 13, Data::Fetched, "Reader ready"}),
    [](const auto& info) { return std::string(info.param.name); });

// Firmware updates: the keyboard reader goes to its service firmware (511),
// takes the image (510), restarts (506), is waited for (2107), asked about
// its module (1500) and given the module image (535, 536 x2, 537).
const std::string FIRMWARE_READER =
    "device r 0x0202\n  extra 0\n  serial RM0002\n  extfw needed on\n";
const std::string IMAGE = [] {
    std::string image(700, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7 + 3);
    return image;
}();

// Every piece the module was given is the image file's bytes at their place.
void check_module_got_the_image(const ProcessResult& run) {
    const std::string image = hex(IMAGE);
    for (const TranscriptRecord& x : transcript_records(run.transcript, "exchange", "r")) {
        if (x.fields.count("fn") == 0 || x.fields.at("fn") != "536") continue;
        const size_t at = image.find(x.fields.at("in"));
        EXPECT_TRUE(at != std::string::npos && at % 2 == 0)
            << "the module received bytes that are not the image's: " << x.fields.at("in");
    }
}

// The host heard "update needed" from the module check.
bool module_asked(const std::string& transcript) {
    for (const TranscriptRecord& x : transcript_records(transcript, "exchange", "r")) {
        if (x.fields.count("fn") == 0 || x.fields.at("fn") != "1500") continue;
        const std::string outcome = x.fields.count("outcome") ? x.fields.at("outcome") : "";
        if (x.fields.at("result") == "0" && (outcome == "fetched" || outcome == "no_output"))
            return true;
    }
    return false;
}

// The image is in (with -u), and the module has its image unless the check
// did not ask for one: a check that fails counts as "not needed", by design.
bool update_completed(const std::string& transcript, bool module_only) {
    if (!module_only && !reader_completed(transcript, 510, IMAGE.size())) return false;
    return !module_asked(transcript) || reader_completed(transcript, 537, 0);
}

struct FirmwareCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<int> functions; // the exchanges to break
};

class FirmwareFaultMatrix : public ::testing::TestWithParam<FirmwareCase> {};

std::vector<Cell> firmware_cells(const FirmwareCase& c) {
    // Each phase may retry its step, wait for the reader to go and come
    // back (60 attempts about 1 s apart at worst) and wait for readiness.
    const double phase = 3000;
    std::vector<Cell> cells;
    for (int f : c.functions) {
        const std::string n = std::to_string(f);
        cells.push_back({"unplug" + n, fn(f, "unplug request return 0.5"), ANY_FAILURE, 4 * phase});
        cells.push_back(
            {"unplugdone" + n, fn(f, "unplug done return 0.5"), ANY_FAILURE, 4 * phase});
        cells.push_back({"noack" + n, fn(f, "noack all"), ANY_FAILURE, 4 * phase});
        cells.push_back({"reqerror" + n, fn(f, "reqerror -7"), ANY_FAILURE, 4 * phase});
        cells.push_back({"doneerror" + n, fn(f, "doneerror -3"), ANY_FAILURE, 4 * phase});
        cells.push_back({"donetype" + n, fn(f, "donetype 7"), ANY_FAILURE, 4 * phase});
        cells.push_back({"shortdone" + n, fn(f, "short done 5"), ANY_FAILURE, 4 * phase});
        cells.push_back({"hidfail" + n, fn(f, "hidfail ack"), ANY_FAILURE, 4 * phase});
    }
    return cells;
}

// Where a fault fell on a step the program retries (busy status, busy
// module steps) or on a reader that came back, the update may still have
// completed; it may then end 0 only if the reader really has both images.
void check_firmware_cell(const Cell& cell, const ProcessResult& run, bool module_only) {
    SCOPED_TRACE(cell.name + "\nstderr: " + run.err);
    EXPECT_FALSE(run.signaled) << "status " << run.status;
    check_bystander_untouched(run);
    check_module_got_the_image(run);
    // A broken check (1500) counts as "not needed", by design, so then the
    // module image is not owed.
    const bool check_broken =
        cell.name.size() > 4 && cell.name.substr(cell.name.size() - 4) == "1500";
    const bool completed = check_broken
                               ? module_only || reader_completed(run.transcript, 510, IMAGE.size())
                               : update_completed(run.transcript, module_only);
    if (run.status == 0) {
        EXPECT_TRUE(completed) << "status 0 without the images in the reader";
    }
    if (cell.expected_status >= 0) {
        EXPECT_EQ(run.status, cell.expected_status);
    }
    const double bound = cell.work_ms + (run.status != 0 ? ERROR_PAUSE_MS : 0) + MARGIN_MS;
    EXPECT_LT(run.elapsed_ms, bound);
}

TEST_P(FirmwareFaultMatrix, EveryBrokenStepEndsInTimeAndNeverPassesForSuccess) {
    const FirmwareCase& c = GetParam();
    std::vector<Cell> cells = firmware_cells(c);
    if (c.functions.front() == 511) {
        // Unplug after the K-th report the host wrote, sampled over the run.
        for (int k : {1, 2, 3, 5, 8, 13, 21, 34, 55})
            cells.push_back({"unplugat" + std::to_string(k),
                             "  unplug_at " + std::to_string(k) + " return 0.5\n", MAY_RECOVER,
                             12000});
        cells.push_back({"staysnotready", "  status_after_reset busy:8 1\n", 0, 12000});
        // The image loader answers with output of its own: the module still
        // gets the file's bytes.
        cells.push_back({"imageanswers", fn(510, "model out x:00112233"), 0, 12000});
        // Still answering for over a second after the restart request.
        cells.push_back({"slowtoleave", "  leave_delay 1300\n", 0, 12000});
    }
    std::vector<ProcessResult> runs(cells.size());
    const std::string root = temp_dir();
    run_side_by_side(cells.size(), PARALLEL_CELLS, [&](size_t i) {
        const std::string dir = root + "/" + cells[i].name;
        std::filesystem::create_directory(dir);
        write_file(dir + "/input", IMAGE);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-v", "-i", dir + "/input"});
        runs[i] = run_cell(args, FIRMWARE_READER + cells[i].statements + BYSTANDER, dir, 90);
    });
    std::fprintf(stderr, "fault matrix %s: %zu cells\n", c.name, cells.size());
    for (size_t i = 0; i < cells.size(); ++i)
        check_firmware_cell(cells[i], runs[i], c.args.front() == "-X");
}

INSTANTIATE_TEST_SUITE_P(Phases, FirmwareFaultMatrix,
                         ::testing::Values(FirmwareCase{"switchandimage", {"-u"}, {511, 510}},
                                           FirmwareCase{"restartandwait", {"-u"}, {506, 2107}},
                                           FirmwareCase{
                                               "moduleupdate", {"-u"}, {1500, 535, 536, 537}},
                                           FirmwareCase{"modulecheckonly", {"-X"}, {1500, 536}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
