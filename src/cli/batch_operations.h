// SPDX-License-Identifier: GPL-2.0-or-later
// The batch operations as data: one row per operation letter.
#pragma once

#include <cstdint>

#include "discovery/reader_model.h"

// The model permission an operation needs of the selected reader.
enum class ModelPermission : uint8_t { None, UpdateFirmware, UpdateServiceFirmware, GetConfig };

struct BatchOperation {
    char letter;
    uint16_t function = 0;       // reader function carrying the data; 0: none, or -b's number
    bool sends_input = false;    // reads -i or standard input
    bool fetches_output = false; // writes the reader's output to -o or standard output
    bool protocol_input = false; // sends "READERPROTOCOL=N" in place of any input
    ModelPermission needs = ModelPermission::None;
    int32_t progress_to = 100;    // where the bar stands when the transfer has ended
    int pause_before_ms = 0;      // the reader needs a moment before it takes the data
    bool lists = false;           // -l: the reader list, no exchange
    bool firmware_update = false; // -u: service firmware switch, image, restart, module check
    bool module_check = false;    // -X: the module check alone, with the input as the image
};

// The rows in order of precedence: of several operations given together,
// the first one given is carried out (its function carries the data, or it
// lists, or it checks the module), and every other one given adds what it
// asks of the run: the input is read when any reads input, the output opened
// when any fetches, each one's permission is checked, -u's switch and
// restart happen whenever -u is given, -p's assignment replaces the input.
inline constexpr int BATCH_OPERATION_COUNT = 11;
extern const BatchOperation batch_operations[BATCH_OPERATION_COUNT];

// The row of an operation letter; nullptr for any other letter.
const BatchOperation* batch_operation(char letter);
// Bit of a row in a set of rows given (ToolSettings::operations).
uint32_t batch_operation_bit(const BatchOperation* operation);

// What the rows given ask of one run, merged as the table's order says.
struct BatchPlan {
    const BatchOperation* operation = nullptr; // carried out; nullptr when none was given
    uint16_t function = 0;
    bool sends_input = false;
    bool fetches_output = false;
    bool protocol_input = false;
    bool firmware_update = false;
    int32_t progress_to = 100;
    int pause_before_ms = 0;
    uint32_t given = 0;
};

// The plan of a set of rows given; raw_function is -b's number.
BatchPlan batch_plan(uint32_t given, int32_t raw_function);
// Whether model has every permission the given rows need.
bool batch_permitted(const BatchPlan& plan, const ReaderModel* model);
