// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/text.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

int text_copy(char* dest, int dest_size, const uint8_t* src, int64_t length) {
    if (dest_size <= 0) return 0;
    const int64_t limit = std::clamp<int64_t>(length, 0, dest_size - 1);
    int n = 0;
    while (n < limit && src[n] != '\0') {
        dest[n] = static_cast<char>(src[n]);
        ++n;
    }
    dest[n] = '\0';
    return n;
}

int32_t text_number(const char* text) {
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

namespace {

bool continuation(uint8_t b) {
    return b >= 0x80 && b <= 0xBF;
}

// Length of the valid UTF-8 sequence at p (2 to 4), or 0 when p[0] does not
// start one. Overlong forms, surrogates and values past U+10FFFF are not
// valid, as a terminal's decoder would not take them either.
size_t utf8_sequence(const uint8_t* p) {
    const uint8_t b = p[0];
    if (b >= 0xC2 && b <= 0xDF) return continuation(p[1]) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const uint8_t low = b == 0xE0 ? 0xA0 : 0x80;
        const uint8_t high = b == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && continuation(p[2]) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const uint8_t low = b == 0xF0 ? 0x90 : 0x80;
        const uint8_t high = b == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && continuation(p[2]) && continuation(p[3]) ? 4 : 0;
    }
    return 0;
}

} // namespace

size_t term_safe(char* text) {
    auto* in = reinterpret_cast<uint8_t*>(text);
    auto* out = in;
    while (*in != '\0') {
        const uint8_t b = *in;
        if (b < 0x80) {
            *out++ = (b < 0x20 || b == 0x7F) ? '?' : b;
            ++in;
            continue;
        }
        const size_t n = utf8_sequence(in);
        if (n == 0) {
            // A lone byte: 0x80..0x9F is a C1 control to an 8-bit terminal.
            *out++ = b <= 0x9F ? '?' : b;
            ++in;
        } else if (n == 2 && b == 0xC2 && in[1] <= 0x9F) {
            *out++ = '?';
            in += 2;
        } else {
            std::copy(in, in + n, out);
            out += n;
            in += n;
        }
    }
    *out = '\0';
    return static_cast<size_t>(out - reinterpret_cast<uint8_t*>(text));
}

std::string term_safe_text(const char* text) {
    std::string copy(text);
    copy.resize(term_safe(copy.data()));
    return copy;
}

std::string text_field(std::string_view text) {
    const std::string copy(text); // its NUL ends every sequence the decoder reads
    const auto* p = reinterpret_cast<const uint8_t*>(copy.c_str());
    std::string field;
    for (size_t i = 0; i < copy.size();) {
        const size_t n = p[i] < 0x80 ? 1 : utf8_sequence(p + i);
        const bool control =
            n == 1 ? p[i] < 0x20 || p[i] == 0x7F : n == 2 && p[i] == 0xC2 && p[i + 1] <= 0x9F;
        if (n == 0 || control)
            field += '?';
        else
            field.append(copy, i, n);
        i += n == 0 ? 1 : n;
    }
    return field;
}

std::string text_fields_line(std::initializer_list<std::string_view> fields) {
    std::string line;
    for (const std::string_view& field : fields) {
        if (&field != fields.begin()) line += '\t';
        line += text_field(field);
    }
    return line + '\n';
}
