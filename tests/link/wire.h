// SPDX-License-Identifier: GPL-2.0-or-later
// Reports the host wrote, as text to compare with what a test expects.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/reader_fixture.h"

// The first bytes of each report the host wrote to the device, in the form
// of want ("8B 01 00 | 05 01"): as many bytes of each report as want gives,
// one byte of each report beyond those.
inline std::string wire_starts(std::string_view device, const std::string& want, size_t skip = 0) {
    std::istringstream in(want);
    std::vector<size_t> lengths{0};
    for (std::string token; in >> token;) {
        if (token == "|")
            lengths.push_back(0);
        else
            ++lengths.back();
    }
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
