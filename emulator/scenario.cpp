// SPDX-License-Identifier: GPL-2.0-or-later
#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace emu::detail {

namespace {

constexpr size_t MAX_VALUE_BYTES = 64 * 1024 * 1024; // one byte value

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Reads a quoted string starting after the opening quote at line[i].
bool read_quoted(std::string_view line, size_t& i, std::string& out, std::string& err) {
    while (i < line.size()) {
        char ch = line[i++];
        if (ch == '"') return true;
        if (ch != '\\') {
            out.push_back(ch);
            continue;
        }
        if (i >= line.size()) break;
        const char escape = line[i++];
        static const char from[] = "nrt0\\\"", to[] = "\n\r\t\0\\\"";
        if (const char* found = escape != '\0' ? std::strchr(from, escape) : nullptr) {
            out.push_back(to[found - from]);
        } else if (escape == 'x' && i + 2 <= line.size() && hex_digit(line[i]) >= 0 &&
                   hex_digit(line[i + 1]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(line[i]) * 16 + hex_digit(line[i + 1])));
            i += 2;
        } else {
            err = escape == 'x' ? "bad \\x escape" : std::string("unknown escape \\") + escape;
            return false;
        }
    }
    err = "unterminated quote";
    return false;
}

// x:HEX, with . , _ - allowed between the digits.
bool parse_hex(const std::string& text, Bytes& out, std::string& err) {
    int pending = -1;
    for (size_t i = 2; i < text.size(); ++i) {
        if (text[i] == '.' || text[i] == ',' || text[i] == '_' || text[i] == '-') continue;
        const int digit = hex_digit(text[i]);
        if (digit < 0) {
            err = "bad hex digit in '" + text + "'";
            return false;
        }
        if (pending < 0) {
            pending = digit;
        } else {
            out.push_back(static_cast<uint8_t>(pending * 16 + digit));
            pending = -1;
        }
    }
    if (pending < 0) return true;
    err = "odd number of hex digits in '" + text + "'";
    return false;
}

// rep:COUNT:HEXBYTE
bool parse_rep(const std::string& text, Bytes& out, std::string& err) {
    const size_t colon = text.find(':', 4);
    if (colon == std::string::npos) {
        err = "rep: wants rep:COUNT:HEXBYTE";
        return false;
    }
    char* end = nullptr;
    const unsigned long long count = std::strtoull(text.c_str() + 4, &end, 0);
    const int high = colon + 1 < text.size() ? hex_digit(text[colon + 1]) : -1;
    const int low = colon + 2 < text.size() ? hex_digit(text[colon + 2]) : -1;
    if (end != text.c_str() + colon || high < 0 || low < 0 || colon + 3 != text.size() ||
        count > MAX_VALUE_BYTES) {
        err = "rep: wants rep:COUNT:HEXBYTE";
        return false;
    }
    out.assign(count, static_cast<uint8_t>(high * 16 + low));
    return true;
}

// file:PATH, relative to base_dir.
bool read_file_bytes(std::string path, const std::string& base_dir, Bytes& out, std::string& err) {
    if (!path.empty() && path[0] != '/' && !base_dir.empty()) path = base_dir + "/" + path;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        err = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0 && out.size() <= MAX_VALUE_BYTES)
        out.insert(out.end(), buf, buf + got);
    std::fclose(file);
    if (out.size() <= MAX_VALUE_BYTES) return true;
    err = path + " is larger than 64 MiB";
    return false;
}

} // namespace

bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

bool tokenize(std::string_view line, Tokens& out, std::string& err) {
    out.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (is_space(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        if (line[i] == '"') {
            ++i;
            token.kind = Token::Quoted;
            if (!read_quoted(line, i, token.text, err)) return false;
        } else if (line[i] == 'r' && i + 1 < line.size() && line[i + 1] == '"') {
            i += 2;
            token.kind = Token::RawQuoted;
            if (!read_quoted(line, i, token.text, err)) return false;
        } else {
            while (i < line.size() && !is_space(line[i]))
                token.text.push_back(line[i++]);
        }
        out.push_back(std::move(token));
    }
    return true;
}

bool parse_int(const Token& token, int64_t& value) {
    if (token.kind != Token::Word || token.text.empty()) return false;
    const char* text = token.text.c_str();
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') return false;
    value = parsed;
    return true;
}

bool parse_int_range(const Token& token, int64_t lo, int64_t hi, int64_t& value) {
    return parse_int(token, value) && value >= lo && value <= hi;
}

bool parse_number(const Token& token, double& value) {
    if (token.kind != Token::Word || token.text.empty()) return false;
    const char* text = token.text.c_str();
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0') return false;
    value = parsed;
    return true;
}

bool parse_bytes(const Token& token, Bytes& out, std::string& err, const std::string& base_dir) {
    out.clear();
    if (token.kind == Token::Quoted) {
        out.assign(token.text.begin(), token.text.end());
        out.push_back(0);
        return true;
    }
    if (token.kind == Token::RawQuoted) {
        out.assign(token.text.begin(), token.text.end());
        return true;
    }
    const std::string& text = token.text;
    if (text.rfind("x:", 0) == 0) return parse_hex(text, out, err);
    if (text.rfind("rep:", 0) == 0) return parse_rep(text, out, err);
    if (text.rfind("file:", 0) == 0) return read_file_bytes(text.substr(5), base_dir, out, err);
    out.assign(text.begin(), text.end());
    out.push_back(0);
    return true;
}

std::string to_hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.resize(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    return text;
}

bool is_word(const Token& token, const char* word) {
    return token.kind == Token::Word && token.text == word;
}

} // namespace emu::detail

namespace emu::detail {

bool Args::peek_int() const {
    int64_t value;
    return more() && parse_int(t_[i_], value);
}

bool Args::take(const char* word) {
    if (!peek_is(word)) return false;
    ++i_;
    return true;
}

std::string Args::where() const {
    return more() ? "'" + t_[i_].text + "'" : "end of line";
}

bool Args::fail(const std::string& what) {
    if (err_.empty()) err_ = what;
    return false;
}

bool Args::word(std::string& out, const char* what) {
    if (!more()) return fail(std::string("missing ") + what);
    out = t_[i_++].text;
    return true;
}

bool Args::choice(int& idx, const char* choices) {
    std::string chosen, all = choices, shown = choices;
    std::replace(shown.begin(), shown.end(), ' ', '|');
    const std::string want = "expected " + shown;
    if (!word(chosen, shown.c_str())) return false;
    idx = 0;
    for (size_t pos = 0; pos <= all.size(); ++idx) {
        size_t sp = all.find(' ', pos);
        if (sp == std::string::npos) sp = all.size();
        if (all.compare(pos, sp - pos, chosen) == 0 && !chosen.empty()) return true;
        pos = sp + 1;
    }
    return fail(want + ", not '" + chosen + "'");
}

bool Args::choice_bool(bool& value, const char* choices) {
    int i;
    if (!choice(i, choices)) return false;
    value = i == 1;
    return true;
}

bool Args::integer(int64_t& value, int64_t lo, int64_t hi, const char* what) {
    if (!more() || !parse_int_range(t_[i_], lo, hi, value))
        return fail(std::string("expected ") + what + " at " + where());
    ++i_;
    return true;
}

bool Args::number(double& value, const char* what) {
    if (!more() || !parse_number(t_[i_], value) || !(value >= 0) || value > 1e9)
        return fail(std::string("expected ") + what + " at " + where());
    ++i_;
    return true;
}

bool Args::bytes(Bytes& out, const char* what) {
    if (!more()) return fail(std::string("missing ") + what);
    std::string error;
    if (!parse_bytes(t_[i_], out, error, base_)) return fail(error);
    ++i_;
    return true;
}

bool Args::end() {
    if (more()) return fail("unexpected " + where());
    return true;
}

} // namespace emu::detail
