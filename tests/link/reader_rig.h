// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the tests on one emulated reader: its scenario, the reports the
// host wrote, lines of standard error and a callback handler that records.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "link/reader_link.h"
#include "support/capture.h"
#include "support/reader_fixture.h"
#include "support/table.h"

// Scenario of one USB serial reader r1; ';' separates its statements.
inline std::string reader_r1(std::string_view statements) {
    std::string s = "device r1 0x0204\n  serial R1\n  ";
    for (char c : statements)
        s += c == ';' ? std::string("\n  ") : std::string(1, c);
    return s + "\n";
}

// The lines of text that hold one of the words.
inline std::string lines_with(const std::string& text, std::initializer_list<const char*> words) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (std::any_of(words.begin(), words.end(),
                        [&](const char* w) { return line.find(w) != std::string::npos; }))
            out += line + "\n";
    return out;
}

// Bytes as upper-case hex pairs separated by blanks.
inline std::string hex_spaced(const uint8_t* bytes, size_t n) {
    std::string out;
    char pair[4];
    for (size_t i = 0; i < n; ++i)
        out += std::string(
            pair, static_cast<size_t>(std::snprintf(pair, sizeof pair, " %02X", bytes[i])));
    return out.empty() ? out : out.substr(1);
}

// The first bytes of each report the host wrote to the device, in the form
// of want ("8B 01 00 | 05 01"): as many bytes of each report as want gives,
// one byte of each report beyond those.
inline std::string report_starts(std::string_view device, const std::string& want,
                                 size_t skip = 0) {
    std::istringstream in(want);
    std::string out, part;
    const auto sent = host_reports(device);
    for (size_t i = skip; i < sent.size(); ++i) {
        const bool given = static_cast<bool>(std::getline(in, part, '|'));
        const auto n = given ? std::count_if(part.begin(), part.end(), ::isxdigit) / 2 : 1;
        out += (i > skip ? " | " : "") + hex_spaced(sent[i].data(), static_cast<size_t>(n));
    }
    return out;
}

// What the handler saw: "code:length:data" per call, data cut to 12 bytes,
// "-" for none.
inline std::string handled;

inline int32_t record(void*, ReaderLink*, uint16_t code, uint32_t length, const uint8_t* data) {
    handled +=
        (handled.empty() ? "" : ",") + std::to_string(code) + ":" + std::to_string(length) + ":" +
        (data ? std::string(reinterpret_cast<const char*>(data), std::min(length, 12u)) : "-");
    return 0;
}
