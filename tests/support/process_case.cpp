// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/process_case.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/transcript.h"

namespace {

std::string in_dir(std::string text, const std::string& dir) {
    for (size_t at = 0; (at = text.find("$D", at)) != std::string::npos; at += dir.size())
        text.replace(at, 2, dir);
    return text;
}

} // namespace

std::vector<ProcessResult> run_cases(const std::vector<ProcessCase>& cases, int threads) {
    std::vector<ProcessResult> runs(cases.size());
    const std::string root = temp_dir();
    run_side_by_side(cases.size(), threads, [&](size_t i) {
        const ProcessCase& c = cases[i];
        const std::string dir = root + "/" + std::to_string(i);
        std::filesystem::create_directory(dir);
        for (const auto& [name, data] : c.files)
            write_file(dir + "/" + name, data);
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(in_dir(a, dir));
        ProcessOptions how = c.how;
        how.dir = dir;
        how.stdin_path = in_dir(how.stdin_path, dir);
        how.stdout_path = in_dir(how.stdout_path, dir);
        runs[i] = run_brinlet(args, how);
    });
    return runs;
}

void check_case(const ProcessCase& c, const ProcessResult& r) {
    SCOPED_TRACE(c.name + "\nstderr: " + r.err.substr(0, 2000));
    EXPECT_FALSE(r.signaled);
    if (c.status == ANY_FAILURE) {
        EXPECT_NE(r.status, 0);
    } else if (c.status != ANY_STATUS) {
        EXPECT_EQ(r.status, c.status);
    }
    if (c.out) {
        EXPECT_EQ(r.out, *c.out);
    }
    if (c.err) {
        EXPECT_EQ(r.err, in_dir(*c.err, r.dir));
    }
    for (const std::string& piece : c.err_has)
        EXPECT_NE(r.err.find(in_dir(piece, r.dir)), std::string::npos) << piece;
    const std::vector<int> fns = transcript_functions(r.transcript, c.device);
    if (c.functions) {
        EXPECT_EQ(fns, *c.functions);
    }
    EXPECT_TRUE(fns.size() >= c.starts.size() &&
                std::equal(c.starts.begin(), c.starts.end(), fns.begin()))
        << ::testing::PrintToString(fns);
    for (const auto& [function, n] : c.counts)
        EXPECT_EQ(std::count(fns.begin(), fns.end(), function), n) << "function " << function;
    if (!c.fields.empty()) {
        const auto x = transcript_records(r.transcript, "exchange", c.device);
        ASSERT_FALSE(x.empty());
        for (const auto& [key, value] : c.fields)
            EXPECT_EQ(x.back().fields.count(key) ? x.back().fields.at(key) : "-", value) << key;
    }
    if (c.out_file) {
        EXPECT_EQ(read_file(r.dir + "/out"), *c.out_file);
    }
    EXPECT_GE(r.elapsed_ms, c.min_ms);
    EXPECT_LT(r.elapsed_ms, c.max_ms);
    if (c.also) c.also(r);
}

void run_and_check(const std::vector<ProcessCase>& cases, int threads) {
    const std::vector<ProcessResult> runs = run_cases(cases, threads);
    for (size_t i = 0; i < cases.size(); ++i)
        check_case(cases[i], runs[i]);
}
