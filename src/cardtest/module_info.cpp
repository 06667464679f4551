#include "cardtest/module_info.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/text.h"
#include "cardtest/reader_test_state.h"
#include "discovery/reader.h"
#include "link/ctl_exchange.h"
#include "services/reader_functions.h"

namespace {

constexpr int MODULE_LINES_USED = 4;

// The description's lines, with runs of line ends counted as one separator
// so that blank lines never shift the fields.
int split_lines(std::string_view text, std::string_view (&lines)[MODULE_LINES_USED]) {
    int count = 0;
    size_t pos = 0;
    while (count < MODULE_LINES_USED) {
        pos = text.find_first_not_of('\n', pos);
        if (pos == std::string_view::npos) break;
        const size_t end = text.find('\n', pos);
        const size_t len = (end == std::string_view::npos ? text.size() : end) - pos;
        lines[count++] = text.substr(pos, len);
        pos += len;
    }
    return count;
}

void store_texts(ReaderTestState* state, std::string_view (&lines)[MODULE_LINES_USED]) {
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

int reader_get_module_info(Reader* reader) {
    ReaderTestState* state = reader->test_ctx.load();
    if (state == nullptr) return MODULE_NO_TEST_STATE;

    uint8_t count = 0;
    int32_t count_len = sizeof count;
    int32_t r = reader_ctl(reader, FN_MODULE_COUNT, 0, nullptr, &count_len, &count);
    if (r != 0) return r;
    if (count_len < 1 || count == 0) return 0;

    const uint8_t first_module = 0;
    uint8_t raw[MODULE_DESCRIPTION_BYTES] = {};
    int32_t raw_len = sizeof raw;
    r = reader_ctl(reader, FN_MODULE_DESCRIPTION, sizeof first_module, &first_module, &raw_len,
                   raw);
    if (r != 0) return r;

    // The reader's text need not be terminated; only what it delivered counts.
    char text[MODULE_DESCRIPTION_BYTES + 1];
    const int text_len = text_copy(text, sizeof text, raw, raw_len);
    std::string_view lines[MODULE_LINES_USED];
    split_lines(std::string_view(text, static_cast<size_t>(text_len)), lines);
    store_texts(state, lines);
    return 0;
}
