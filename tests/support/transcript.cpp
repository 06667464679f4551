// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/transcript.h"

#include <cstdio>
#include <sstream>

std::vector<TranscriptRecord> transcript_records(const std::string& text, const std::string& kind,
                                                 const std::string& device) {
    std::vector<TranscriptRecord> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        TranscriptRecord r;
        if (!(words >> r.kind >> r.device >> r.ms)) continue;
        if (r.kind != kind || (!device.empty() && r.device != device)) continue;
        std::string w;
        while (words >> w) {
            const size_t eq = w.find('=');
            if (eq == std::string::npos)
                r.words.push_back(w);
            else
                r.fields[w.substr(0, eq)] = w.substr(eq + 1);
        }
        out.push_back(r);
    }
    return out;
}

std::vector<int> transcript_functions(const std::string& text, const std::string& device) {
    std::vector<int> out;
    for (const auto& r : transcript_records(text, "exchange", device))
        out.push_back(std::stoi(r.fields.at("fn")));
    return out;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}
