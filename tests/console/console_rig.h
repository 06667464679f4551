// SPDX-License-Identifier: GPL-2.0-or-later
// Shared set-up of the console tests: emulated readers behind the real
// reader list, a scripted standard input and a fixed time zone.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/reader.h"
#include "emu.h"
#include "support/process.h"

// Replaces standard input with a file holding text; the stream's end-of-file
// flag starts clear again.
inline void feed_stdin(const std::string& text) {
    static std::string dir = temp_dir();
    const std::string path = dir + "/stdin.txt";
    write_file(path, text);
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
}

// How often what occurs in text.
inline int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// The texts as lines, each ended by a line end.
inline std::string lines(std::initializer_list<std::string> texts) {
    std::string out;
    for (const std::string& t : texts)
        out += t + "\n";
    return out;
}

// Probes of text, separated by '|': each must occur in text exactly once;
// "!probe" not at all, "N*probe" exactly N times. Failures name the probe.
inline void expect_texts(const std::string& text, const std::string& probes) {
    for (size_t at = 0; at < probes.size();) {
        size_t end = probes.find('|', at);
        if (end == std::string::npos) end = probes.size();
        std::string p = probes.substr(at, end - at);
        at = end + 1;
        int times = 1;
        if (p[0] == '!') {
            times = 0;
            p.erase(0, 1);
        } else if (p.size() > 1 && p[1] == '*' && p[0] >= '2' && p[0] <= '9') {
            times = p[0] - '0';
            p.erase(0, 2);
        }
        EXPECT_EQ(occurrences(text, p), times) << p << "\nin:\n" << text;
    }
}

inline bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Table-driven tests: each case has a name, which names the test and is
// what ctest and failures show of it.
template <class Case> std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

#define CONSOLE_CASE_PRINTER(Case)                                                                 \
    inline void PrintTo(const Case& c, std::ostream* os) {                                         \
        *os << c.name;                                                                             \
    }

// Loads scenario, starts the reader layer and enumerates once.
class ConsoleTest : public ::testing::Test {
  protected:
    void load(const std::string& scenario) {
        ASSERT_EQ(emu::load_scenario(scenario), 0) << emu::last_error();
        readers_init();
        started_ = true;
        readers_enumerate();
    }

    void SetUp() override {
        // ctime shows local time; the expected texts are written for UTC.
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void TearDown() override {
        if (started_) readers_exit();
        emu::reset();
    }

    // Exchanges of one function, in order.
    static std::vector<emu::Exchange> calls(const char* device, uint16_t function) {
        std::vector<emu::Exchange> out;
        for (const emu::Exchange& e : emu::exchanges(device))
            if (e.function == function) out.push_back(e);
        return out;
    }

    // The device's exchanges, one line each: the function, its input as
    // text (a parameter name or assignment, without its NUL) or in hex, or
    // "-" when empty, and the output capacity: "504 FWVERSION 256",
    // "2104 00 256", "2000 - 256".
    static std::string request_log(const char* device) {
        std::string out;
        for (const emu::Exchange& e : emu::exchanges(device)) {
            std::string input(e.input.begin(), e.input.end());
            const bool text = input.size() > 1 && input.back() == '\0' &&
                              input.find_first_of(std::string(1, '\0')) == input.size() - 1;
            if (text) {
                input.pop_back();
            } else {
                static const char digits[] = "0123456789abcdef";
                input.clear();
                for (uint8_t b : e.input)
                    input.append({digits[b >> 4], digits[b & 15]});
            }
            out += std::to_string(e.function) + " " + (input.empty() ? "-" : input) + " " +
                   std::to_string(e.capacity) + "\n";
        }
        return out;
    }

    // Assignment texts sent with function 502, without their NUL.
    static std::vector<std::string> assignments(const char* device) {
        std::vector<std::string> out;
        for (const emu::Exchange& e : calls(device, 502)) {
            std::string s(e.input.begin(), e.input.end());
            if (!s.empty() && s.back() == '\0') s.pop_back();
            out.push_back(s);
        }
        return out;
    }

    bool started_ = false;
};
