// SPDX-License-Identifier: GPL-2.0-or-later
// Tables of program runs: each case is one run of the real binary on
// emulated readers and everything it must end with. A case checks its exit
// status and both standard streams exactly unless it says otherwise, and
// the emulator's transcript for the exchanges it names.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

constexpr int ANY_STATUS = -1, ANY_FAILURE = -2; // expected exit statuses

// "$D" in arguments, files, paths and expected texts stands for the run's
// directory.
struct ProcessCase {
    // args: the words of the command line, split at spaces.
    ProcessCase(std::string case_name, const std::string& args, ProcessOptions options,
                int exit_status = 0, std::optional<std::string> standard_error = "");

    ProcessCase& prints(std::optional<std::string> text) { return out = std::move(text), *this; }
    ProcessCase& says(std::optional<std::string> text) { return err = std::move(text), *this; }
    // Standard error holds the piece, among other text.
    ProcessCase& mentions(std::string piece) {
        return err = std::nullopt, err_has.push_back(std::move(piece)), *this;
    }
    ProcessCase& with_file(std::string file, std::string data) {
        return files.emplace_back(std::move(file), std::move(data)), *this;
    }
    // A file of n bytes c, written only when the case runs: a table is built
    // in every test process, and one row runs.
    ProcessCase& with_filled_file(std::string file, size_t n, char c) {
        return filled.push_back({std::move(file), n, c}), *this;
    }
    // The functions of the device's exchanges ("" = every device's),
    // exactly, and "key=value ..." fields of its last exchange.
    ProcessCase& wire(std::string d, std::vector<int> f, std::string last_fields = "") {
        return functions = std::move(f), last(std::move(d), std::move(last_fields));
    }
    ProcessCase& last(std::string d, std::string last_fields) {
        return about(std::move(d)).fields = std::move(last_fields), *this;
    }
    // The device's exchanges begin with these functions.
    ProcessCase& starting(std::string d, std::vector<int> f) {
        return about(std::move(d)).starts = std::move(f), *this;
    }
    // Every exchange check of a case is about one device.
    ProcessCase& about(std::string d) {
        EXPECT_EQ(device.value_or(d), d) << name << ": exchange checks on two devices";
        return device = std::move(d), *this;
    }
    ProcessCase& times(int function, int n) { return counts[function] = n, *this; }
    // The contents of $D/out after the run.
    ProcessCase& leaves(std::string data) { return out_file = std::move(data), *this; }
    ProcessCase& taking(double min, double max) { return min_ms = min, max_ms = max, *this; }
    ProcessCase& checking(std::function<void(const ProcessResult&)> f) {
        return also = std::move(f), *this;
    }

    std::string name;
    std::vector<std::string> args;
    ProcessOptions how;
    std::vector<std::pair<std::string, std::string>> files;
    struct FilledFile {
        std::string name;
        size_t bytes;
        char fill;
    };
    std::vector<FilledFile> filled;
    int status = 0;
    std::optional<std::string> out = "", err = "";
    std::vector<std::string> err_has;
    std::optional<std::string> device; // of the exchange checks; "" = every device
    std::string fields;
    std::optional<std::vector<int>> functions;
    std::vector<int> starts;
    std::map<int, int> counts;
    std::optional<std::string> out_file;
    double min_ms = 0, max_ms = 30000;
    std::function<void(const ProcessResult&)> also;
};

inline void PrintTo(const ProcessCase& c, std::ostream* os) {
    *os << c.name;
}

// The main menu, drawn over a cleared screen, with the lines of its list.
inline std::string main_menu(const std::string& listed) {
    const std::string rule = std::string(76, '-') + "\n";
    return "\x1b[2J\x1b[0;0HNorvane USB card reader configuration utility ver. 1.28, ZODARIDA "
           "release\n\nList of available readers:\n" +
           rule + listed + rule +
           "99) Exit application\t100) Test mode\t101) Refresh reader list\n\nEnter number: ";
}

// Runs the cases side by side, each in a directory of its own.
std::vector<ProcessResult> run_cases(const std::vector<ProcessCase>& cases, int threads = 8);
// Runs the case and checks it: the body of a table's test, run once per row
// (TABLE_TEST in support/table.h), so that each row is a test of its own.
void run_and_check(const ProcessCase& c);

// A line of the emulator's transcript: "kind device ms key=value ...".
struct TranscriptRecord {
    double ms = 0;
    std::map<std::string, std::string> fields;
    std::string operator[](const std::string& key) const {
        return fields.count(key) ? fields.at(key) : "";
    }
};

// The records of a kind (exchange, callback, event, ...) of a device
// ("" = every device).
std::vector<TranscriptRecord> transcript_records(const std::string& text, const std::string& kind,
                                                 const std::string& device = "");
// Functions of the completed exchanges of a device, in order.
std::vector<int> transcript_functions(const std::string& text, const std::string& device);
std::string hex(const std::string& bytes);
