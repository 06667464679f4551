// SPDX-License-Identifier: GPL-2.0-or-later
#include "services/reader_functions.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "discovery/reader_list.h"
#include "link/ctl_exchange.h"
#include "link/ctl_header.h"

int32_t reader_get_param(Reader* reader, const char* key, char* out, int32_t capacity) {
    const auto key_len = static_cast<int32_t>(std::strlen(key) + 1);
    int32_t delivered = capacity;
    const int32_t r =
        reader_ctl(reader, FN_GET_PARAM, key_len, reinterpret_cast<const uint8_t*>(key), &delivered,
                   reinterpret_cast<uint8_t*>(out));
    if (r != 0) return r;
    if (delivered <= 0 || capacity <= 0) return PARAM_NOT_DELIVERED;
    out[std::min(delivered, capacity - 1)] = '\0';
    return 0;
}

int32_t reader_set_param(Reader* reader, const char* assignment) {
    uint8_t scratch[SET_PARAM_CAPACITY];
    int32_t capacity = SET_PARAM_CAPACITY;
    return reader_ctl(reader, FN_SET_CONFIG, static_cast<int32_t>(std::strlen(assignment) + 1),
                      reinterpret_cast<const uint8_t*>(assignment), &capacity, scratch);
}

int32_t reader_reset(Reader* reader) {
    int32_t capacity = 0;
    return reader_ctl(reader, FN_RESET, 0, nullptr, &capacity, nullptr);
}

int32_t reader_module_count(Reader* reader, int8_t* count) {
    uint8_t byte = 0;
    int32_t delivered = 1;
    const int32_t r = reader_ctl(reader, FN_MODULE_COUNT, 0, nullptr, &delivered, &byte);
    if (r != 0) return r;
    if (delivered < 1) return PARAM_NOT_DELIVERED;
    *count = static_cast<int8_t>(byte);
    return 0;
}

int32_t reader_module_description(Reader* reader, char (&text)[MODULE_DESCRIPTION_BYTES + 1]) {
    const uint8_t first_module = 0;
    uint8_t raw[MODULE_DESCRIPTION_BYTES];
    int32_t delivered = sizeof raw;
    const int32_t r = reader_ctl(reader, FN_MODULE_DESCRIPTION, sizeof first_module, &first_module,
                                 &delivered, raw);
    text[0] = '\0';
    if (r != 0) return r;
    text_copy(text, sizeof text, raw, delivered);
    return 0;
}

std::string_view module_description_line(std::string_view* rest) {
    const size_t start = std::min(rest->find_first_not_of('\n'), rest->size());
    const size_t end = std::min(rest->find('\n', start), rest->size());
    const std::string_view line = rest->substr(start, end - start);
    rest->remove_prefix(end);
    return line;
}

int32_t reader_function_text(Reader* reader, uint16_t function,
                             char (&text)[FUNCTION_TEXT_CAPACITY + 1]) {
    uint8_t output[FUNCTION_TEXT_CAPACITY];
    int32_t delivered = FUNCTION_TEXT_CAPACITY;
    const int32_t r = reader_ctl(reader, function, 0, nullptr, &delivered, output);
    if (r != 0) return r;
    text_copy(text, sizeof text, output, delivered);
    return 0;
}

int32_t reader_module_record(Reader* reader, uint8_t (&record)[MODULE_RECORD_BYTES],
                             int32_t* delivered) {
    const uint8_t first_module = 0;
    std::fill(std::begin(record), std::end(record), uint8_t{0});
    *delivered = MODULE_RECORD_BYTES;
    const int32_t r =
        reader_ctl(reader, FN_MODULE_RECORD, sizeof first_module, &first_module, delivered, record);
    if (r == 0 && *delivered <= 0) return PARAM_NOT_DELIVERED;
    return r;
}

void module_record_text(char* text, const uint8_t* record, int32_t delivered, int offset,
                        int field_bytes) {
    const int32_t available = delivered > offset ? delivered - offset : 0;
    text_copy(text, field_bytes + 1, record + offset, std::min(available, field_bytes));
}

int32_t reader_register_callback(Reader* reader, uint16_t first, uint16_t second) {
    uint8_t input[8] = {};
    be16_store(input + 4, first);
    be16_store(input + 6, second);
    int32_t capacity = 0;
    return reader_ctl(reader, FN_REGISTER_CALLBACK, sizeof input, input, &capacity, nullptr);
}
