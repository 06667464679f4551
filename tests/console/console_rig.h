// SPDX-License-Identifier: GPL-2.0-or-later
// Shared set-up of the console tests: emulated readers behind the real
// reader list, a scripted standard input and a fixed time zone.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "discovery/reader_list.h"
#include "emu.h"
#include "support/process.h"
#include "support/reader_fixture.h"
#include "support/table.h"

// Replaces standard input with a file holding text; the stream's end-of-file
// flag starts clear again.
inline void feed_stdin(const std::string& text) {
    static std::string dir = temp_dir();
    write_file(dir + "/stdin.txt", text);
    ASSERT_NE(std::freopen((dir + "/stdin.txt").c_str(), "r", stdin), nullptr);
}

inline int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// Probes of text, separated by '|': each must occur in text exactly once;
// "!probe" not at all, "N*probe" exactly N times. Failures name the probe.
// "=whole" (no probes) is the whole text.
inline void expect_texts(const std::string& text, const std::string& probes) {
    const bool whole = probes.starts_with("=");
    EXPECT_EQ(text, whole ? probes.substr(1) : text);
    std::istringstream in(whole ? "" : probes);
    for (std::string p; std::getline(in, p, '|');) {
        const size_t star = p.find('*');
        const int times = p[0] == '!' ? 0 : std::isdigit(p[0]) && star < 3 ? std::stoi(p) : 1;
        p.erase(0, times == 0 ? 1 : times > 1 ? star + 1 : 0);
        EXPECT_EQ(occurrences(text, p), times) << p << "\nin:\n" << text;
    }
}

// Loads scenario, starts the reader layer and enumerates once.
class ConsoleTest : public ::testing::Test {
  protected:
    void load(const std::string& scenario) {
        // ctime shows local time; the expected texts are written for UTC.
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_EQ(emu::load_scenario(scenario), 0) << emu::last_error();
        readers_init();
        readers_enumerate();
    }

    void TearDown() override {
        readers_exit();
        emu::reset();
    }

    // The device's exchanges (only its writes: 502, 505, 506), a word each:
    // the parameter asked (504) or the assignment sent (502) without its NUL,
    // else the function and ":hex" of its input; "/N" when the output room N
    // is not the usual 256 (255 for an assignment, none for a restart).
    static std::string wire_words(const char* device, bool writes_only = false) {
        std::string out;
        for (const emu::Exchange& e : emu::exchanges(device)) {
            const int fn = e.function;
            if (writes_only && fn != 502 && fn != 505 && fn != 506) continue;
            const std::string in(e.input.begin(), e.input.end());
            const bool text =
                (fn == 502 || fn == 504) && !in.empty() && in.find('\0') == in.size() - 1;
            std::string word = text ? in.substr(0, in.size() - 1) : std::to_string(fn);
            for (size_t i = 0; !text && i < in.size(); ++i)
                word += (i ? "" : ":") + std::string{"0123456789abcdef"[e.input[i] >> 4],
                                                     "0123456789abcdef"[e.input[i] & 15]};
            if (e.capacity != (fn == 502 ? 255u : fn == 506 ? 0u : 256u))
                word += "/" + std::to_string(e.capacity);
            out += (out.empty() ? "" : " ") + word;
        }
        return out;
    }
};
