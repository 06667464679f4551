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

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted string starting after the opening quote at line[i].
bool read_quoted(std::string_view line, size_t& i, std::string& out, std::string& err) {
    while (i < line.size()) {
        char c = line[i++];
        if (c == '"') return true;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (i >= line.size()) break;
        const char e = line[i++];
        static const char from[] = "nrt0\\\"", to[] = "\n\r\t\0\\\"";
        if (const char* k = e != '\0' ? std::strchr(from, e) : nullptr) {
            out.push_back(to[k - from]);
        } else if (e == 'x' && i + 2 <= line.size() && hex_digit(line[i]) >= 0 &&
                   hex_digit(line[i + 1]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(line[i]) * 16 + hex_digit(line[i + 1])));
            i += 2;
        } else {
            err = e == 'x' ? "bad \\x escape" : std::string("unknown escape \\") + e;
            return false;
        }
    }
    err = "unterminated quote";
    return false;
}

} // namespace

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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
        Token t;
        if (line[i] == '"') {
            ++i;
            t.kind = Token::Quoted;
            if (!read_quoted(line, i, t.text, err)) return false;
        } else if (line[i] == 'r' && i + 1 < line.size() && line[i + 1] == '"') {
            i += 2;
            t.kind = Token::RawQuoted;
            if (!read_quoted(line, i, t.text, err)) return false;
        } else {
            while (i < line.size() && !is_space(line[i]))
                t.text.push_back(line[i++]);
        }
        out.push_back(std::move(t));
    }
    return true;
}

bool parse_int(const Token& t, int64_t& v) {
    if (t.kind != Token::Word || t.text.empty()) return false;
    const char* s = t.text.c_str();
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0') return false;
    v = x;
    return true;
}

bool parse_int_range(const Token& t, int64_t lo, int64_t hi, int64_t& v) {
    return parse_int(t, v) && v >= lo && v <= hi;
}

bool parse_number(const Token& t, double& v) {
    if (t.kind != Token::Word || t.text.empty()) return false;
    const char* s = t.text.c_str();
    char* end = nullptr;
    errno = 0;
    double x = std::strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0') return false;
    v = x;
    return true;
}

bool parse_bytes(const Token& t, Bytes& out, std::string& err, const std::string& base_dir) {
    out.clear();
    if (t.kind == Token::Quoted) {
        out.assign(t.text.begin(), t.text.end());
        out.push_back(0);
        return true;
    }
    if (t.kind == Token::RawQuoted) {
        out.assign(t.text.begin(), t.text.end());
        return true;
    }
    const std::string& s = t.text;
    if (s.rfind("x:", 0) == 0) {
        int pending = -1;
        for (size_t i = 2; i < s.size(); ++i) {
            if (s[i] == '.' || s[i] == ',' || s[i] == '_' || s[i] == '-') continue;
            int d = hex_digit(s[i]);
            if (d < 0) {
                err = "bad hex digit in '" + s + "'";
                return false;
            }
            if (pending < 0) {
                pending = d;
            } else {
                out.push_back(static_cast<uint8_t>(pending * 16 + d));
                pending = -1;
            }
        }
        if (pending >= 0) {
            err = "odd number of hex digits in '" + s + "'";
            return false;
        }
        return true;
    }
    if (s.rfind("rep:", 0) == 0) {
        size_t colon = s.find(':', 4);
        if (colon == std::string::npos) {
            err = "rep: wants rep:COUNT:HEXBYTE";
            return false;
        }
        char* end = nullptr;
        unsigned long long n = std::strtoull(s.c_str() + 4, &end, 0);
        int hi = colon + 1 < s.size() ? hex_digit(s[colon + 1]) : -1;
        int lo = colon + 2 < s.size() ? hex_digit(s[colon + 2]) : -1;
        if (end != s.c_str() + colon || hi < 0 || lo < 0 || colon + 3 != s.size() ||
            n > MAX_VALUE_BYTES) {
            err = "rep: wants rep:COUNT:HEXBYTE";
            return false;
        }
        out.assign(n, static_cast<uint8_t>(hi * 16 + lo));
        return true;
    }
    if (s.rfind("file:", 0) == 0) {
        std::string p = s.substr(5);
        if (!p.empty() && p[0] != '/' && !base_dir.empty()) p = base_dir + "/" + p;
        FILE* f = std::fopen(p.c_str(), "rb");
        if (f == nullptr) {
            err = "cannot read " + p + ": " + std::strerror(errno);
            return false;
        }
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out.size() <= MAX_VALUE_BYTES)
            out.insert(out.end(), buf, buf + n);
        std::fclose(f);
        if (out.size() <= MAX_VALUE_BYTES) return true;
        err = p + " is larger than 64 MiB";
        return false;
    }
    out.assign(s.begin(), s.end());
    out.push_back(0);
    return true;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.resize(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

bool is_word(const Token& t, const char* w) {
    return t.kind == Token::Word && t.text == w;
}

} // namespace emu::detail

namespace emu::detail {

bool Args::peek_int() const {
    int64_t v;
    return more() && parse_int(t_[i_], v);
}

bool Args::take(const char* w) {
    if (!peek_is(w)) return false;
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
    std::string w, all = choices, shown = choices;
    std::replace(shown.begin(), shown.end(), ' ', '|');
    const std::string want = "expected " + shown;
    if (!word(w, shown.c_str())) return false;
    idx = 0;
    for (size_t pos = 0; pos <= all.size(); ++idx) {
        size_t sp = all.find(' ', pos);
        if (sp == std::string::npos) sp = all.size();
        if (all.compare(pos, sp - pos, w) == 0 && !w.empty()) return true;
        pos = sp + 1;
    }
    return fail(want + ", not '" + w + "'");
}

bool Args::choice_bool(bool& v, const char* choices) {
    int i;
    if (!choice(i, choices)) return false;
    v = i == 1;
    return true;
}

bool Args::integer(int64_t& v, int64_t lo, int64_t hi, const char* what) {
    if (!more() || !parse_int_range(t_[i_], lo, hi, v))
        return fail(std::string("expected ") + what + " at " + where());
    ++i_;
    return true;
}

bool Args::number(double& v, const char* what) {
    if (!more() || !parse_number(t_[i_], v) || !(v >= 0) || v > 1e9)
        return fail(std::string("expected ") + what + " at " + where());
    ++i_;
    return true;
}

bool Args::bytes(Bytes& b, const char* what) {
    if (!more()) return fail(std::string("missing ") + what);
    std::string e;
    if (!parse_bytes(t_[i_], b, e, base_)) return fail(e);
    ++i_;
    return true;
}

bool Args::end() {
    if (more()) return fail("unexpected " + where());
    return true;
}

} // namespace emu::detail
