// Shared set-up of the console tests: emulated readers behind the real
// reader list, a scripted standard input and a fixed time zone.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
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

    // Parameter names asked with function 504, in order.
    static std::vector<std::string> asked_params(const char* device) {
        std::vector<std::string> out;
        for (const emu::Exchange& e : calls(device, 504))
            out.emplace_back(e.input.begin(), e.input.end() - 1);
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
