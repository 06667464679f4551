// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/process_case.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <semaphore>
#include <sstream>
#include <thread>

namespace {

std::string in_dir(std::string text, const std::string& dir) {
    for (size_t at = 0; (at = text.find("$D", at)) != std::string::npos; at += dir.size())
        text.replace(at, 2, dir);
    return text;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

void check_case(const ProcessCase& c, const ProcessResult& r) {
    SCOPED_TRACE(c.name + "\nstderr: " + r.err.substr(0, 2000));
    EXPECT_FALSE(r.signaled);
    EXPECT_TRUE(c.status == ANY_STATUS ||
                (c.status == ANY_FAILURE ? r.status != 0 : r.status == c.status))
        << "status " << r.status;
    EXPECT_EQ(r.out, c.out.value_or(r.out));
    EXPECT_EQ(r.err, c.err ? in_dir(*c.err, r.dir) : r.err);
    for (const std::string& piece : c.err_has)
        EXPECT_NE(r.err.find(in_dir(piece, r.dir)), std::string::npos) << piece;
    const std::vector<int> fns = transcript_functions(r.transcript, c.device.value_or(""));
    EXPECT_EQ(fns, c.functions.value_or(fns));
    EXPECT_EQ(std::vector<int>(fns.begin(), fns.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                              fns.size(), c.starts.size()))),
              c.starts);
    for (const auto& [function, n] : c.counts)
        EXPECT_EQ(std::count(fns.begin(), fns.end(), function), n) << "function " << function;
    const auto x = transcript_records(r.transcript, "exchange", c.device.value_or(""));
    for (const std::string& field : words(c.fields)) {
        const size_t eq = field.find('=');
        EXPECT_EQ(x.empty() ? "" : x.back()[field.substr(0, eq)], field.substr(eq + 1));
    }
    const std::string out_file = read_file(r.dir + "/out");
    EXPECT_EQ(out_file, c.out_file.value_or(out_file));
    EXPECT_TRUE(r.elapsed_ms >= c.min_ms && r.elapsed_ms < c.max_ms) << r.elapsed_ms << " ms";
    if (c.also) c.also(r);
}

} // namespace

ProcessCase::ProcessCase(std::string case_name, const std::string& arguments,
                         ProcessOptions options, int exit_status,
                         std::optional<std::string> standard_error)
    : name(std::move(case_name)), args(words(arguments)), how(std::move(options)),
      status(exit_status), err(std::move(standard_error)) {}

std::vector<ProcessResult> run_cases(const std::vector<ProcessCase>& cases, int threads) {
    std::vector<ProcessResult> runs(cases.size());
    const std::string root = temp_dir();
    std::counting_semaphore<64> free_slots(threads);
    std::vector<std::jthread> runners;
    for (size_t i = 0; i < cases.size(); ++i) {
        free_slots.acquire();
        runners.emplace_back([&, i] {
            const ProcessCase& c = cases[i];
            ProcessOptions how = c.how;
            how.dir = root + "/" + std::to_string(i);
            std::filesystem::create_directory(how.dir);
            for (const auto& [name, data] : c.files)
                write_file(how.dir + "/" + name, data);
            for (const ProcessCase::FilledFile& file : c.filled)
                write_file(how.dir + "/" + file.name, std::string(file.bytes, file.fill));
            std::vector<std::string> args;
            for (const std::string& a : c.args)
                args.push_back(in_dir(a, how.dir));
            how.stdin_path = in_dir(how.stdin_path, how.dir);
            how.stdout_path = in_dir(how.stdout_path, how.dir);
            runs[i] = run_brinlet(args, how);
            free_slots.release();
        });
    }
    runners.clear(); // joins them
    return runs;
}

void run_and_check(const ProcessCase& c) {
    check_case(c, run_cases({c}, 1).front());
}

std::vector<TranscriptRecord> transcript_records(const std::string& text, const std::string& kind,
                                                 const std::string& device) {
    std::vector<TranscriptRecord> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> w = words(line);
        if (w.size() < 3 || w[0] != kind || (!device.empty() && w[1] != device)) continue;
        TranscriptRecord& r = out.emplace_back(TranscriptRecord{std::stod(w[2]), {}});
        for (size_t i = 3, eq; i < w.size(); ++i)
            if ((eq = w[i].find('=')) != std::string::npos)
                r.fields[w[i].substr(0, eq)] = w[i].substr(eq + 1);
    }
    return out;
}

std::vector<int> transcript_functions(const std::string& text, const std::string& device) {
    std::vector<int> out;
    for (const auto& r : transcript_records(text, "exchange", device))
        out.push_back(std::stoi(r["fn"]));
    return out;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char b[3];
    for (char c : bytes)
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(c)), out += b;
    return out;
}
