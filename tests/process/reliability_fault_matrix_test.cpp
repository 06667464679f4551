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
// A failing run spends the 4 s error pause asleep, so every cell is a test
// of its own, and the cells run side by side.
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

// Runs args (with "$D/input" holding input) on the reader with the cell's
// statements, beside the bystander.
ProcessResult run_cell(const Cell& cell, const std::string& args, const std::string& reader,
                       const std::string& input) {
    const ProcessOptions how = {.scenario = reader + cell.statements + BYSTANDER, .timeout_s = 60};
    const ProcessCase c =
        ProcessCase(cell.name, args + " " + cell.extra_args, how).with_file("input", input);
    return run_cases({c}, 1).front();
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
    std::string output = ""; // what the reader has for a fetch
};

// Every failure kind on the operation's one exchange.
std::vector<Cell> batch_cells(const Operation& op) {
    const int f = op.function;
    const double step = 600;
    std::vector<Cell> cells;
    if (f == 503 || f == 502)
        cells.push_back({.name = "DoneTimeout",
                         .statements = fn(f, "model delay 11000"),
                         .status = 146,
                         .work_ms = 10600});
    const std::vector<Cell> quick = {
        {.name = "NoAck", .statements = fn(f, "noack all"), .status = 255, .work_ms = step},
        {.name = "ReqError", .statements = fn(f, "reqerror -7"), .status = 249, .work_ms = step},
        {.name = "ReqErrorPositive",
         .statements = fn(f, "reqerror 7"),
         .status = 7,
         .work_ms = step},
        {.name = "DoneError", .statements = fn(f, "doneerror -3"), .status = 255, .work_ms = step},
        {.name = "AckType",
         .statements = fn(f, "acktype 7") + fn(f, "model"),
         .status = ANY_STATUS,
         .work_ms = step},
        {.name = "DoneType", .statements = fn(f, "donetype 7"), .status = 255, .work_ms = step},
        {.name = "ShortAck",
         .statements = fn(f, "short ack 5") + fn(f, "model"),
         .status = ANY_STATUS,
         .work_ms = step},
        {.name = "ShortDone", .statements = fn(f, "short done 5"), .status = 255, .work_ms = step},
        {.name = "DataHeaderDone",
         .statements = fn(f, "dataheader done"),
         .status = 255,
         .work_ms = step},
        {.name = "HidFailAck", .statements = fn(f, "hidfail ack"), .status = 241, .work_ms = step},
        {.name = "HidFailRequest",
         .statements = fn(f, "hidfail request"),
         .status = 241,
         .work_ms = step},
        {.name = "UnplugRequest",
         .statements = fn(f, "unplug request"),
         .status = 241,
         .work_ms = step},
        {.name = "UnplugDone", .statements = fn(f, "unplug done"), .status = 241, .work_ms = step},
        {.name = "Busy", .statements = fn(f, "result -25"), .status = 231, .work_ms = step},
        {.name = "FailWrite1", .statements = "  fail_write 1\n", .status = 241, .work_ms = step},
        {.name = "FailRead1", .statements = "  fail_read 1\n", .status = 241, .work_ms = step},
    };
    cells.insert(cells.end(), quick.begin(), quick.end());
    if (op.data == Data::Fetched) {
        // An output that fits one report is whole before the reader leaves.
        const int unplugged = op.output.size() > 63 ? 241 : ANY_STATUS;
        cells.push_back({.name = "UnplugOutput",
                         .statements = fn(f, "model unplug output"),
                         .status = unplugged,
                         .work_ms = step});
        cells.push_back({.name = "ShortData",
                         .statements = fn(f, "model short data 5"),
                         .status = 255,
                         .work_ms = step});
        cells.push_back({.name = "HidFailOutput",
                         .statements = fn(f, "model hidfail output"),
                         .status = 241,
                         .work_ms = step});
        // Too much announced: refused, and the reader's own result (0) is
        // the run's result, with no data.
        cells.push_back({.name = "DoneLenOver",
                         .statements = fn(f, "model donelen over"),
                         .status = 0,
                         .work_ms = step});
    }
    if (op.data == Data::Sent) {
        cells.push_back({.name = "UnplugInput",
                         .statements = fn(f, "unplug input"),
                         .status = 241,
                         .work_ms = step});
        cells.push_back({.name = "HidFailInput",
                         .statements = fn(f, "hidfail input"),
                         .status = 241,
                         .work_ms = step});
        cells.push_back(
            {.name = "UnplugAt5", .statements = "  unplug_at 5\n", .status = 241, .work_ms = step});
    }
    if (f == 503)
        cells.push_back({.name = "FailedWithReset",
                         .statements = fn(f, "reqerror -7"),
                         .status = 249,
                         .work_ms = step,
                         .extra_args = "-k"});
    return cells;
}

// One cell of the batch matrix: an operation and the fault it meets.
struct BatchCell {
    std::string name; // Operation_Cell
    Operation op;
    Cell cell;
};

std::vector<BatchCell> batch_matrix() {
    const Operation operations[] = {
        {.name = "GetConfig",
         .args = "-g",
         .function = 503,
         .data = Data::Fetched,
         .output = std::string(700, 'C')},
        {.name = "SendConfig", .args = "-c", .function = 502, .data = Data::Sent},
        {.name = "Defaults", .args = "-d", .function = 505, .data = Data::None},
        {.name = "Log",
         .args = "-j",
         .function = 501,
         .data = Data::Fetched,
         .output = std::string(300, 'L')},
        {.name = "CustomConfig", .args = "-m", .function = 2403, .data = Data::Sent},
        {.name = "Protocol", .args = "-p 5", .function = 502, .data = Data::None},
        {.name = "ServiceFirmware", .args = "-w", .function = 512, .data = Data::Sent},
        {.name = "RawFunction",
         .args = "-b 13",
         .function = 13,
         .data = Data::Fetched,
         .output = "Reader ready"},
    };
    std::vector<BatchCell> rows;
    for (const Operation& op : operations)
        for (const Cell& cell : batch_cells(op))
            rows.push_back(
                {.name = std::string(op.name) + "_" + cell.name, .op = op, .cell = cell});
    return rows;
}

class BatchFaultMatrix : public ::testing::TestWithParam<BatchCell> {};

TEST_P(BatchFaultMatrix, EveryFailureEndsInTimeWithAFailureStatusAndNoForeignData) {
    const Operation& op = GetParam().op;
    const Cell& cell = GetParam().cell;
    const std::string args =
        op.args + " -v -i $D/input" + (op.data == Data::Fetched ? " -o $D/output" : "");
    // -b sends its input too, in the buffer the output comes back in.
    const std::string input(op.data == Data::Sent || op.function == 13 ? 1000 : 0, 'i');
    const ProcessResult run =
        run_cell(cell, args,
                 "device r 0x0204\n  serial RM0001\n  config_blob rep:700:43\n"
                 "  log_blob rep:300:4c\n  status_message r\"Reader ready\"\n",
                 input);
    SCOPED_TRACE("stderr: " + run.err);
    check_cell(cell, run);
    EXPECT_GE(run.elapsed_ms, run.status != 0 ? ERROR_PAUSE_MS - 100 : 0) << "the error pause";
    // Only a completed fetch leaves data; a failed or refused one none.
    const std::string output = read_file(run.dir + "/output");
    if (op.data == Data::Fetched) {
        const bool whole = run.status == 0 && cell.name != "DoneLenOver";
        EXPECT_TRUE(output == (whole ? op.output : "")) << output.size() << " bytes";
    } else if (run.status == 0) {
        const size_t len = op.data == Data::Sent ? input.size() : op.function == 502 ? 17 : 0;
        EXPECT_TRUE(reader_completed(run.transcript, op.function, len))
            << "status 0 although the reader did not complete " << op.function << "\n"
            << run.transcript;
    }
    if (!cell.extra_args.empty()) { // -k: a reset after the failure
        const std::vector<int> fns = transcript_functions(run.transcript, "r");
        EXPECT_NE(std::find(fns.begin(), fns.end(), 506), fns.end()) << "no reset";
    }
}

TABLE_TEST(Operations, BatchFaultMatrix, batch_matrix());

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
            cells.push_back({.name = kind + std::to_string(f),
                             .statements = fn(f, items),
                             .status = ANY_STATUS,
                             .work_ms = work});
    if (c.functions.front() == 511) {
        // Unplug after the K-th report the host wrote, sampled over the run.
        for (int k : {1, 2, 3, 5, 8, 13, 21, 34, 55})
            cells.push_back({.name = "UnplugAt" + std::to_string(k),
                             .statements = "  unplug_at " + std::to_string(k) + " return 0.5\n",
                             .status = ANY_STATUS,
                             .work_ms = 12000});
        cells.push_back({.name = "StaysNotReady",
                         .statements = "  status_after_reset busy:8 1\n",
                         .status = 0,
                         .work_ms = 12000});
        // The image loader answers with output of its own: the module still
        // gets the file's bytes.
        cells.push_back({.name = "ImageAnswers",
                         .statements = fn(510, "model out x:00112233"),
                         .status = 0,
                         .work_ms = 12000});
        // Still answering for over a second after the restart request.
        cells.push_back({.name = "SlowToLeave",
                         .statements = "  leave_delay 1300\n",
                         .status = 0,
                         .work_ms = 12000});
    }
    return cells;
}

// Where a fault fell on a step the program retries (busy status, busy
// module steps) or on a reader that came back, the update may still have
// completed; it may then end 0 only if the reader really has the image
// (with -u) and the module its image, unless the module check did not ask
// for one: a check that fails (1500 broken) counts as "not needed", by
// design.
// One cell of the firmware matrix: an update phase and the fault it meets.
struct FirmwareCell {
    std::string name; // Phase_Cell
    FirmwareCase phase;
    Cell cell;
};

std::vector<FirmwareCell> firmware_matrix() {
    const FirmwareCase phases[] = {
        {.name = "SwitchAndImage", .args = "-u", .functions = {511, 510}},
        {.name = "RestartAndWait", .args = "-u", .functions = {506, 2107}},
        {.name = "ModuleUpdate", .args = "-u", .functions = {1500, 535, 536, 537}},
        {.name = "ModuleCheckOnly", .args = "-X", .functions = {1500, 536}},
    };
    std::vector<FirmwareCell> rows;
    for (const FirmwareCase& phase : phases)
        for (const Cell& cell : firmware_cells(phase))
            rows.push_back(
                {.name = std::string(phase.name) + "_" + cell.name, .phase = phase, .cell = cell});
    return rows;
}

class FirmwareFaultMatrix : public ::testing::TestWithParam<FirmwareCell> {};

TEST_P(FirmwareFaultMatrix, EveryBrokenStepEndsInTimeAndNeverPassesForSuccess) {
    const FirmwareCase& c = GetParam().phase;
    const Cell& cell = GetParam().cell;
    const std::string args = c.args + " -v -i $D/input";
    const ProcessResult run = run_cell(
        cell, args, "device r 0x0202\n  extra 0\n  serial RM0002\n  extfw needed on\n", IMAGE);
    const bool module_only = c.args == "-X";
    const std::string& t = run.transcript;
    SCOPED_TRACE("stderr: " + run.err);
    check_cell(cell, run);
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
    const bool check_broken = cell.name.ends_with("1500");
    const bool module_owed = !check_broken && reader_completed(t, 1500, 0, true);
    const bool completed = (module_only || reader_completed(t, 510, IMAGE.size())) &&
                           (!module_owed || reader_completed(t, 537, 0));
    EXPECT_TRUE(run.status != 0 || completed) << "status 0 without the images in the reader";
}

TABLE_TEST(Phases, FirmwareFaultMatrix, firmware_matrix());

} // namespace
