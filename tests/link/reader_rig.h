// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the tests on one emulated reader: its scenario, the reports the
// host wrote, lines of standard error, and tables named after their rows.
#pragma once

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "link/callback_queue.h"
#include "link/reader_link.h"
#include "support/capture.h"
#include "support/reader_fixture.h"

// Runs a table of rows with a `name` field; the row's name names the test.
#define TABLE_TEST(Suite, Case, rows)                                                              \
    [[maybe_unused]] void PrintTo(const Case& c, std::ostream* os) {                               \
        *os << c.name;                                                                             \
    }                                                                                              \
    INSTANTIATE_TEST_SUITE_P(Cases, Suite, ::testing::ValuesIn(rows),                              \
                             [](const auto& info) { return std::string(info.param.name); })

// Scenario of one USB serial reader r1; ';' separates its statements.
inline std::string reader_r1(std::string_view statements) {
    std::string s = "device r1 0x0204\n  serial R1\n  ";
    for (char c : statements)
        s += c == ';' ? std::string("\n  ") : std::string(1, c);
    return s + "\n";
}

// The lines of text that match the regular expression.
inline std::string lines_with(const std::string& text, const char* pattern) {
    const std::regex re(pattern);
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, re)) out += line + "\n";
    return out;
}

// The first bytes of each report the host wrote to the device, in the form
// of want ("8B 01 00 | 05 01"): as many bytes of each report as want gives,
// one byte of each report beyond those.
inline std::string wire_starts(std::string_view device, const std::string& want, size_t skip = 0) {
    std::istringstream in(want);
    std::vector<size_t> lengths{0};
    for (std::string token; in >> token;)
        token == "|" ? lengths.push_back(0) : void(++lengths.back());
    const auto sent = host_reports(device);
    std::string out;
    for (size_t i = skip; i < sent.size(); ++i) {
        const size_t n = i - skip < lengths.size() ? lengths[i - skip] : 1;
        for (size_t k = 0; k < n; ++k) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", sent[i][k]);
            out += hex;
        }
        out += "| ";
    }
    return out.empty() ? out : out.substr(0, out.size() - 3);
}

// Empties the reader's callback queue: "code:data,..." in queue order.
inline std::string drain_queue(Reader* r) {
    std::string out;
    uint16_t code;
    uint32_t length;
    uint8_t* data;
    while (cb_queue_peek(r, &code, &length, &data) == 0) {
        std::string copy(length, '\0');
        cb_queue_pop(r, &code, &length, reinterpret_cast<uint8_t*>(copy.data()));
        out += (out.empty() ? "" : ",") + std::to_string(code) + ":" + copy;
    }
    return out;
}
