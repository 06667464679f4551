// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/module_info.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/result.h"
#include "cardtest/card_test_table.h"
#include "cardtest/reader_test_state.h"
#include "discovery/reader_list.h"
#include "services/reader_functions.h"

namespace {

// module_text is "part description", protocol_text the protocol line.
void store_texts(ReaderTestState* state, std::string_view description) {
    std::string_view lines[4];
    for (std::string_view& line : lines)
        line = module_description_line(&description);
    char module[TEST_TEXT_SIZE];
    char protocol[TEST_TEXT_SIZE];
    std::snprintf(module, sizeof module, "%.*s%s%.*s", static_cast<int>(lines[0].size()),
                  lines[0].data(), lines[1].empty() ? "" : " ", static_cast<int>(lines[1].size()),
                  lines[1].data());
    std::snprintf(protocol, sizeof protocol, "%.*s", static_cast<int>(lines[3].size()),
                  lines[3].data());
    std::lock_guard<std::mutex> lock(state->text_lock);
    std::memcpy(state->module_text, module, sizeof module);
    std::memcpy(state->protocol_text, protocol, sizeof protocol);
}

} // namespace

int reader_get_module_info(CardTestSession* session, Reader* reader) {
    ReaderTestState* state = card_test_state(session, reader);
    if (state == nullptr) return MODULE_NO_TEST_STATE;
    int8_t count = 0;
    int32_t r = reader_module_count(reader, &count);
    if (r == PARAM_NOT_DELIVERED || (r == 0 && count == 0)) return 0;
    if (r != 0) return r;
    char text[MODULE_DESCRIPTION_BYTES + 1];
    r = reader_module_description(reader, text);
    if (r != 0) return r;
    store_texts(state, text);
    return 0;
}
