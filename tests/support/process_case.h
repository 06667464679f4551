// SPDX-License-Identifier: GPL-2.0-or-later
// Tables of program runs: each case is one run of the real binary on
// emulated readers and everything it must end with. A case checks its exit
// status and both standard streams exactly unless it says otherwise.
#pragma once

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
    ProcessCase(std::string case_name, std::vector<std::string> arguments, ProcessOptions options,
                int exit_status = 0, std::optional<std::string> standard_error = "")
        : name(std::move(case_name)), args(std::move(arguments)), how(std::move(options)),
          status(exit_status), err(std::move(standard_error)) {}

    ProcessCase& exits(int s) { return status = s, *this; }
    ProcessCase& prints(std::optional<std::string> text) { return out = std::move(text), *this; }
    ProcessCase& says(std::optional<std::string> text) { return err = std::move(text), *this; }
    // Standard error holds the piece, among other text.
    ProcessCase& mentions(std::string piece) {
        err = std::nullopt;
        err_has.push_back(std::move(piece));
        return *this;
    }
    ProcessCase& streams_unchecked() { return out = err = std::nullopt, *this; }
    ProcessCase& with_file(std::string file, std::string data) {
        files.emplace_back(std::move(file), std::move(data));
        return *this;
    }
    // The device whose exchanges are checked; "" = every device.
    ProcessCase& at(std::string d) { return device = std::move(d), *this; }
    // The device's exchanges, exactly.
    ProcessCase& exchanges(std::vector<int> f) { return functions = std::move(f), *this; }
    ProcessCase& on_wire(std::string d, std::vector<int> f) {
        return at(std::move(d)).exchanges(f);
    }
    ProcessCase& starting(std::vector<int> f) { return starts = std::move(f), *this; }
    ProcessCase& times(int function, int n) { return counts[function] = n, *this; }
    // A field of the device's last exchange.
    ProcessCase& last(const std::string& key, std::string v) { return fields[key] = v, *this; }
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
    int status = 0;
    std::optional<std::string> out = "", err = "";
    std::vector<std::string> err_has;
    std::string device;
    std::optional<std::vector<int>> functions;
    std::vector<int> starts;
    std::map<int, int> counts;
    std::map<std::string, std::string> fields;
    std::optional<std::string> out_file;
    double min_ms = 0, max_ms = 30000;
    std::function<void(const ProcessResult&)> also;
};

inline void PrintTo(const ProcessCase& c, std::ostream* os) {
    *os << c.name;
}

// Runs the cases side by side, each in a directory of its own.
std::vector<ProcessResult> run_cases(const std::vector<ProcessCase>& cases, int threads = 8);
void check_case(const ProcessCase& c, const ProcessResult& r);
// Runs the cases and checks each.
void run_and_check(const std::vector<ProcessCase>& cases, int threads = 8);
