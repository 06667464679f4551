// SPDX-License-Identifier: GPL-2.0-or-later
// Reads the emulator's transcript file format.
#pragma once

#include <map>
#include <string>
#include <vector>

struct TranscriptRecord {
    std::string kind; // exchange, callback, event, note, report
    std::string device;
    double ms = 0;
    std::map<std::string, std::string> fields; // key=value fields
    std::vector<std::string> words;            // fields without '='
};

std::vector<TranscriptRecord> transcript_records(const std::string& text, const std::string& kind,
                                                 const std::string& device = "");
// Functions of the completed exchanges of a device, in order.
std::vector<int> transcript_functions(const std::string& text, const std::string& device);
std::string hex(const std::string& bytes);
