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
#include <string>
#include <vector>

#include "services/extfw_update.h"
#include "support/process_case.h"
#include "support/table.h"

namespace {

// ANY_STATUS in a cell: a fault the retry may get past, or a firmware
// step the update may complete despite it (then checked for the images).
// The margin is for slow sanitizer builds on two shared cores.
constexpr double ERROR_PAUSE_MS = 4000, MARGIN_MS = 4000;

struct Cell {
    std::string name;
    std::string statements; // added to the reader's device block
    int status;             // exit status, or ANY_STATUS
    double work_ms;         // the longest the protocol may take before the pause
    std::string extra_args = "";
};

// A second reader that nobody selects, listed after the one under test.
const std::string BYSTANDER = "device other 0x0204\n  serial RM0009\n";

// Runs each cell side by side: args (with "$D/input" holding input) on the
// reader with the cell's statements, beside the bystander.
std::vector<ProcessResult> run_cells(const char* name, const std::vector<Cell>& cells,
                                     const std::string& args, const std::string& reader,
                                     const std::string& input) {
    std::vector<ProcessCase> cases;
    for (const Cell& c : cells) {
        const ProcessOptions how = {.scenario = reader + c.statements + BYSTANDER, .timeout_s = 60};
        cases.push_back(
            ProcessCase(c.name, args + " " + c.extra_args, how).with_file("input", input));
    }
    std::fprintf(stderr, "fault matrix %s: %zu cells\n", name, cells.size());
    return run_cases(cases, 12);
}

// What every cell must end with, whatever its fault.
void check_cell(const Cell& cell, const ProcessResult& run) {
    EXPECT_FALSE(run.signaled) << "status " << run.status;
    EXPECT_TRUE(transcript_records(run.transcript, "exchange", "other").empty())
        << "an exchange with a reader that was not selected";
    EXPECT_TRUE(cell.status == ANY_STATUS || run.status == cell.status) << "status " << run.status;
    EXPECT_LT(run.elapsed_ms, cell.work_ms + (run.status != 0 ? ERROR_PAUSE_MS : 0) + MARGIN_MS);
}

// The reader answered the exchange with this input length without error
// (result field "0" when result is set).
bool reader_completed(const std::string& transcript, int function, size_t input_len,
                      bool result_zero = false) {
    for (const TranscriptRecord& x : transcript_records(transcript, "exchange", "r"))
        if (x["fn"] == std::to_string(function) &&
            (x["outcome"] == "no_output" || x["outcome"] == "fetched") &&
            (result_zero ? x["result"] == "0" : x["in_len"] == std::to_string(input_len)))
            return true;
    return false;
}

std::string fn(int function, const std::string& items) {
    return "  fn " + std::to_string(function) + " " + items + "\n";
}

enum class Data { None, Sent, Fetched };

struct Operation {
    const char* name;
    std::string args;
    int function;
    Data data;
    std::string output; // what the reader has for a fetch
};

// Every failure kind on the operation's one exchange.
std::vector<Cell> batch_cells(const Operation& op) {
    const int f = op.function;
    const double step = 600;
    std::vector<Cell> cells;
    if (f == 503 || f == 502)
        cells.push_back({"DoneTimeout", fn(f, "model delay 11000"), 146, 10600});
    const std::vector<Cell> quick = {
        {"NoAck", fn(f, "noack all"), 255, step},
        {"ReqError", fn(f, "reqerror -7"), 249, step},
        {"ReqErrorPositive", fn(f, "reqerror 7"), 7, step},
        {"DoneError", fn(f, "doneerror -3"), 255, step},
        {"AckType", fn(f, "acktype 7") + fn(f, "model"), ANY_STATUS, step},
        {"DoneType", fn(f, "donetype 7"), 255, step},
        {"ShortAck", fn(f, "short ack 5") + fn(f, "model"), ANY_STATUS, step},
        {"ShortDone", fn(f, "short done 5"), 255, step},
        {"DataHeaderDone", fn(f, "dataheader done"), 255, step},
        {"HidFailAck", fn(f, "hidfail ack"), 241, step},
        {"HidFailRequest", fn(f, "hidfail request"), 241, step},
        {"UnplugRequest", fn(f, "unplug request"), 241, step},
        {"UnplugDone", fn(f, "unplug done"), 241, step},
        {"Busy", fn(f, "result -25"), 231, step},
        {"FailWrite1", "  fail_write 1\n", 241, step},
        {"FailRead1", "  fail_read 1\n", 241, step},
    };
    cells.insert(cells.end(), quick.begin(), quick.end());
    if (op.data == Data::Fetched) {
        // An output that fits one report is whole before the reader leaves.
        const int unplugged = op.output.size() > 63 ? 241 : ANY_STATUS;
        cells.push_back({"UnplugOutput", fn(f, "model unplug output"), unplugged, step});
        cells.push_back({"ShortData", fn(f, "model short data 5"), 255, step});
        cells.push_back({"HidFailOutput", fn(f, "model hidfail output"), 241, step});
        // Too much announced: refused, and the reader's own result (0) is
        // the run's result, with no data.
        cells.push_back({"DoneLenOver", fn(f, "model donelen over"), 0, step});
    }
    if (op.data == Data::Sent) {
        cells.push_back({"UnplugInput", fn(f, "unplug input"), 241, step});
        cells.push_back({"HidFailInput", fn(f, "hidfail input"), 241, step});
        cells.push_back({"UnplugAt5", "  unplug_at 5\n", 241, step});
    }
    if (f == 503) cells.push_back({"FailedWithReset", fn(f, "reqerror -7"), 249, step, "-k"});
    return cells;
}

class BatchFaultMatrix : public ::testing::TestWithParam<Operation> {};

TEST_P(BatchFaultMatrix, EveryFailureEndsInTimeWithAFailureStatusAndNoForeignData) {
    const Operation& op = GetParam();
    const std::vector<Cell> cells = batch_cells(op);
    const std::string args =
        op.args + " -v -i $D/input" + (op.data == Data::Fetched ? " -o $D/output" : "");
    // -b sends its input too, in the buffer the output comes back in.
    const std::string input(op.data == Data::Sent || op.function == 13 ? 1000 : 0, 'i');
    const std::vector<ProcessResult> runs =
        run_cells(op.name, cells, args,
                  "device r 0x0204\n  serial RM0001\n  config_blob rep:700:43\n"
                  "  log_blob rep:300:4c\n  status_message r\"Reader ready\"\n",
                  input);
    for (size_t i = 0; i < cells.size(); ++i) {
        const ProcessResult& run = runs[i];
        SCOPED_TRACE(std::string(op.name) + "/" + cells[i].name + "\nstderr: " + run.err);
        check_cell(cells[i], run);
        EXPECT_GE(run.elapsed_ms, run.status != 0 ? ERROR_PAUSE_MS - 100 : 0) << "the error pause";
        // Only a completed fetch leaves data; a failed or refused one none.
        const std::string output = read_file(run.dir + "/output");
        if (op.data == Data::Fetched) {
            const bool whole = run.status == 0 && cells[i].name != "DoneLenOver";
            EXPECT_TRUE(output == (whole ? op.output : "")) << output.size() << " bytes";
        } else if (run.status == 0) {
            const size_t len = op.data == Data::Sent ? input.size() : op.function == 502 ? 17 : 0;
            EXPECT_TRUE(reader_completed(run.transcript, op.function, len))
                << "status 0 although the reader did not complete " << op.function << "\n"
                << run.transcript;
        }
        if (!cells[i].extra_args.empty()) { // -k: a reset after the failure
            const std::vector<int> fns = transcript_functions(run.transcript, "r");
            EXPECT_NE(std::find(fns.begin(), fns.end(), 506), fns.end()) << "no reset";
        }
    }
}

const Operation OPERATIONS[] = {
    Operation{"GetConfig", "-g", 503, Data::Fetched, std::string(700, 'C')},
    Operation{"SendConfig", "-c", 502, Data::Sent, ""},
    Operation{"Defaults", "-d", 505, Data::None, ""},
    Operation{"Log", "-j", 501, Data::Fetched, std::string(300, 'L')},
    Operation{"CustomConfig", "-m", 2403, Data::Sent, ""},
    Operation{"Protocol", "-p 5", 502, Data::None, ""},
    Operation{"ServiceFirmware", "-w", 512, Data::Sent, ""},
    Operation{"RawFunction", "-b 13", 13, Data::Fetched, "Reader ready"}};
TABLE_TEST(Operations, BatchFaultMatrix, OPERATIONS);

// Firmware updates: the keyboard reader goes to its service firmware (511),
// takes the image (510), restarts (506), is waited for (2107), asked about
// its module (1500) and given the module image (535, 536 x2, 537).
const std::string IMAGE = [] {
    std::string image(700, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7 + 3);
    return image;
}();

struct FirmwareCase {
    const char* name;
    std::string args;
    std::vector<int> functions; // the exchanges to break
};

class FirmwareFaultMatrix : public ::testing::TestWithParam<FirmwareCase> {};

std::vector<Cell> firmware_cells(const FirmwareCase& c) {
    // Each phase may retry its step, wait for the reader to go and come
    // back (60 attempts about 1 s apart at worst) and wait for readiness.
    const double work = 4 * 3000;
    std::vector<Cell> cells;
    for (int f : c.functions)
        for (const auto& [kind, items] : {std::pair{"Unplug", "unplug request return 0.5"},
                                          {"UnplugDone", "unplug done return 0.5"},
                                          {"NoAck", "noack all"},
                                          {"ReqError", "reqerror -7"},
                                          {"DoneError", "doneerror -3"},
                                          {"DoneType", "donetype 7"},
                                          {"ShortDone", "short done 5"},
                                          {"HidFail", "hidfail ack"}})
            cells.push_back({kind + std::to_string(f), fn(f, items), ANY_STATUS, work});
    if (c.functions.front() == 511) {
        // Unplug after the K-th report the host wrote, sampled over the run.
        for (int k : {1, 2, 3, 5, 8, 13, 21, 34, 55})
            cells.push_back({"UnplugAt" + std::to_string(k),
                             "  unplug_at " + std::to_string(k) + " return 0.5\n", ANY_STATUS,
                             12000});
        cells.push_back({"StaysNotReady", "  status_after_reset busy:8 1\n", 0, 12000});
        // The image loader answers with output of its own: the module still
        // gets the file's bytes.
        cells.push_back({"ImageAnswers", fn(510, "model out x:00112233"), 0, 12000});
        // Still answering for over a second after the restart request.
        cells.push_back({"SlowToLeave", "  leave_delay 1300\n", 0, 12000});
    }
    return cells;
}

// Where a fault fell on a step the program retries (busy status, busy
// module steps) or on a reader that came back, the update may still have
// completed; it may then end 0 only if the reader really has the image
// (with -u) and the module its image, unless the module check did not ask
// for one: a check that fails (1500 broken) counts as "not needed", by
// design.
TEST_P(FirmwareFaultMatrix, EveryBrokenStepEndsInTimeAndNeverPassesForSuccess) {
    const FirmwareCase& c = GetParam();
    const std::vector<Cell> cells = firmware_cells(c);
    const std::string args = c.args + " -v -i $D/input";
    const std::vector<ProcessResult> runs =
        run_cells(c.name, cells, args,
                  "device r 0x0202\n  extra 0\n  serial RM0002\n  extfw needed on\n", IMAGE);
    const bool module_only = c.args == "-X";
    for (size_t i = 0; i < cells.size(); ++i) {
        const ProcessResult& run = runs[i];
        const std::string& t = run.transcript;
        SCOPED_TRACE(cells[i].name + "\nstderr: " + run.err);
        check_cell(cells[i], run);
        // What the module received of each piece starts at one of the image
        // file's 504-byte pieces, and is the whole piece once the reader got
        // past the exchange's input.
        for (const TranscriptRecord& x : transcript_records(t, "exchange", "r")) {
            const std::string in = x["in"], outcome = x["outcome"];
            const bool whole = outcome == "no_output" || outcome == "fetched" ||
                               outcome == "done_error" || outcome == "no_done";
            bool placed = x["fn"] != "536" || (in.empty() && !whole);
            for (size_t at = 0; !placed && at < IMAGE.size(); at += EXTFW_PIECE_BYTES) {
                const std::string piece = hex(IMAGE.substr(at, EXTFW_PIECE_BYTES));
                placed = !in.empty() && (whole ? in == piece : piece.starts_with(in));
            }
            EXPECT_TRUE(placed) << "not a piece of the image: " << outcome << " " << in;
        }
        const bool check_broken = cells[i].name.ends_with("1500");
        const bool module_owed = !check_broken && reader_completed(t, 1500, 0, true);
        const bool completed = (module_only || reader_completed(t, 510, IMAGE.size())) &&
                               (!module_owed || reader_completed(t, 537, 0));
        EXPECT_TRUE(run.status != 0 || completed) << "status 0 without the images in the reader";
    }
}

const FirmwareCase PHASES[] = {FirmwareCase{"SwitchAndImage", "-u", {511, 510}},
                               FirmwareCase{"RestartAndWait", "-u", {506, 2107}},
                               FirmwareCase{"ModuleUpdate", "-u", {1500, 535, 536, 537}},
                               FirmwareCase{"ModuleCheckOnly", "-X", {1500, 536}}};
TABLE_TEST(Phases, FirmwareFaultMatrix, PHASES);

} // namespace
