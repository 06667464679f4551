// SPDX-License-Identifier: GPL-2.0-or-later
// Tokens and values of the scenario language (README.md describes it).
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace emu::detail {

struct Token {
    enum Kind { Word, Quoted, RawQuoted };
    std::string text; // unescaped contents for quoted tokens
    Kind kind = Word;
};
using Tokens = std::vector<Token>;

// What separates words: blanks, and a carriage return from a file
// written on another system.
bool is_space(char ch);

// Splits one line; '#' outside quotes starts a comment. false on an
// unterminated quote or a bad escape, with the reason in err.
bool tokenize(std::string_view line, Tokens& out, std::string& err);

// Integers: decimal, 0x hexadecimal, optional sign.
bool parse_int(const Token& token, int64_t& value);
bool parse_int_range(const Token& token, int64_t lo, int64_t hi, int64_t& value);
bool parse_number(const Token& token, double& value);

// Byte values: "text" (text and a NUL), r"text" (no NUL), x:HEX,
// rep:COUNT:HEXBYTE, file:PATH (relative to base_dir), or a bare word
// (text and a NUL).
bool parse_bytes(const Token& token, Bytes& out, std::string& err, const std::string& base_dir);

std::string to_hex(const uint8_t* bytes, size_t count);
inline std::string to_hex(const Bytes& bytes) {
    return to_hex(bytes.data(), bytes.size());
}
bool is_word(const Token& token, const char* word);

// Reads the arguments of one statement (the tokens after the first) one by
// one; each reader returns false and keeps the first error in err.
class Args {
  public:
    Args(const Tokens& tokens, std::string& err, const std::string& base, size_t first = 1)
        : t_(tokens), err_(err), base_(base), i_(first) {}
    bool more() const { return i_ < t_.size(); }
    const Token& peek() const { return t_[i_]; }
    bool peek_is(const char* word) const { return more() && is_word(t_[i_], word); }
    bool peek_int() const;
    // Takes the next token when it is the word w.
    bool take(const char* word);
    bool fail(const std::string& what);
    bool word(std::string& out, const char* what);
    // One of the words of choices (blank-separated); its index in idx.
    bool choice(int& idx, const char* choices);
    bool integer(int64_t& value, int64_t lo, int64_t hi, const char* what);
    template <class T> bool integer(T& value, int64_t lo, int64_t hi, const char* what) {
        int64_t wide;
        if (!integer(wide, lo, hi, what)) return false;
        value = static_cast<T>(wide);
        return true;
    }
    bool i32(int32_t& value, const char* what) {
        return integer(value, INT32_MIN, INT32_MAX, what);
    }
    bool number(double& value, const char* what); // not negative
    bool bytes(Bytes& out, const char* what);
    bool on_off(bool& value) { return choice_bool(value, "off on"); }
    bool choice_bool(bool& value, const char* choices);
    bool end();

  private:
    std::string where() const;
    const Tokens& t_;
    std::string& err_;
    const std::string& base_;
    size_t i_;
};

} // namespace emu::detail
