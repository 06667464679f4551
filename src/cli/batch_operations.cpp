// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch_operations.h"

#include <algorithm>

#include "services/reader_functions.h"

namespace {
constexpr int CUSTOM_CONFIG_PAUSE_MS = 1000;
} // namespace

const BatchOperation batch_operations[BATCH_OPERATION_COUNT] = {
    {.letter = 'l', .lists = true},
    {.letter = 'X', .sends_input = true, .module_check = true},
    {.letter = 'p', .function = FN_SET_CONFIG, .protocol_input = true},
    {.letter = 'b', .sends_input = true, .fetches_output = true},
    {.letter = 'm',
     .function = FN_SET_CUSTOM_CONFIG,
     .sends_input = true,
     .pause_before_ms = CUSTOM_CONFIG_PAUSE_MS},
    {.letter = 'j', .function = FN_GET_LOG, .fetches_output = true},
    {.letter = 'd', .function = FN_SET_DEFAULTS},
    {.letter = 'g',
     .function = FN_GET_CONFIG,
     .fetches_output = true,
     .needs = ModelPermission::GetConfig},
    {.letter = 'c', .function = FN_SET_CONFIG, .sends_input = true},
    {.letter = 'w',
     .function = FN_UPDATE_SERVICE_FIRMWARE,
     .sends_input = true,
     .needs = ModelPermission::UpdateServiceFirmware},
    {.letter = 'u',
     .function = FN_UPDATE_FIRMWARE,
     .sends_input = true,
     .needs = ModelPermission::UpdateFirmware,
     .progress_to = 50,
     .firmware_update = true},
};

const BatchOperation* batch_operation(char letter) {
    for (const BatchOperation& row : batch_operations)
        if (row.letter == letter) return &row;
    return nullptr;
}

uint32_t batch_operation_bit(const BatchOperation* operation) {
    return uint32_t{1} << (operation - batch_operations);
}

BatchPlan batch_plan(uint32_t given, int32_t raw_function) {
    BatchPlan plan;
    plan.given = given;
    for (const BatchOperation& row : batch_operations) {
        if ((given & batch_operation_bit(&row)) == 0) continue;
        if (plan.operation == nullptr) {
            plan.operation = &row;
            plan.function = row.letter == 'b' ? static_cast<uint16_t>(raw_function) : row.function;
        }
        plan.sends_input |= row.sends_input;
        plan.fetches_output |= row.fetches_output;
        plan.protocol_input |= row.protocol_input;
        plan.firmware_update |= row.firmware_update;
        plan.progress_to = std::min(plan.progress_to, row.progress_to);
        plan.pause_before_ms = std::max(plan.pause_before_ms, row.pause_before_ms);
    }
    return plan;
}

bool batch_permitted(const BatchPlan& plan, const ReaderModel* model) {
    for (const BatchOperation& row : batch_operations) {
        if ((plan.given & batch_operation_bit(&row)) == 0) continue;
        if ((row.needs == ModelPermission::UpdateFirmware && !model->can_update_firmware) ||
            (row.needs == ModelPermission::UpdateServiceFirmware &&
             !model->can_update_service_firmware) ||
            (row.needs == ModelPermission::GetConfig && !model->can_get_config))
            return false;
    }
    return true;
}
