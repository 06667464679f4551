// Tokens and values of the scenario language (README.md describes it).
#pragma once

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

// Splits one line; '#' outside quotes starts a comment. false on an
// unterminated quote or a bad escape, with the reason in err.
bool tokenize(std::string_view line, Tokens& out, std::string& err);

// Integers: decimal, 0x hexadecimal, optional sign.
bool parse_int(const Token& t, int64_t& v);
bool parse_int_range(const Token& t, int64_t lo, int64_t hi, int64_t& v);
bool parse_number(const Token& t, double& v);

// Byte values: "text" (text and a NUL), r"text" (no NUL), x:HEX,
// rep:COUNT:HEXBYTE, file:PATH (relative to base_dir), or a bare word
// (text and a NUL).
bool parse_bytes(const Token& t, Bytes& out, std::string& err, const std::string& base_dir);

std::string to_hex(const uint8_t* p, size_t n);
inline std::string to_hex(const Bytes& b) {
    return to_hex(b.data(), b.size());
}
bool is_word(const Token& t, const char* w);

} // namespace emu::detail
