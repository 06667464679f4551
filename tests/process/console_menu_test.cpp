// The interactive menus of the real program, fed from a pipe.
#include <gtest/gtest.h>

#include <string>

#include "support/process.h"

namespace {

const char* SCENARIO = "device km 0x0203\n  serial KM0001\n  port 1-2\n";

std::string hex_text(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : s) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex + "00";
}

// The transcript's exchange records of function fn.
std::vector<std::string> exchanges(const std::string& transcript, int fn) {
    std::vector<std::string> out;
    const std::string key = " fn=" + std::to_string(fn) + " ";
    size_t start = 0;
    while (start < transcript.size()) {
        size_t end = transcript.find('\n', start);
        if (end == std::string::npos) end = transcript.size();
        const std::string line = transcript.substr(start, end - start);
        if (line.rfind("exchange ", 0) == 0 && line.find(key) != std::string::npos)
            out.push_back(line);
        start = end + 1;
    }
    return out;
}

TEST(ConsoleProcess, MenuWithoutReadersEndsOn99) {
    ProcessOptions o;
    o.stdin_data = "99\n";
    const ProcessResult r = run_brinlet({}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\x1b[2J\x1b[0;0HNorvane USB card reader configuration utility ver. 1.28, "
                     "ZODARIDA release\n\nList of available readers:\n" +
                         std::string(76, '-') + "\nNO CONFIGURABLE READERS FOUND\n" +
                         std::string(76, '-') +
                         "\n99) Exit application\t100) Test mode\t101) Refresh reader list\n\n"
                         "Enter number: ");
    EXPECT_EQ(r.err, "");
}

// Wherever the input ends, the program ends at once with status 0 and has
// written nothing to the reader.
TEST(ConsoleProcess, EndOfInputEndsTheProgramWithoutWriting) {
    for (const char* input : {"", "0\n", "0\n1\n", "0\n2\n", "0\n2\n1\n", "0\n2\n2\n", "0\n3\n",
                              "0\n4\n", "0\n5\n1\n", "0\n100\n", "9\n"}) {
        ProcessOptions o;
        o.scenario = SCENARIO;
        o.stdin_data = input;
        const ProcessResult r = run_brinlet({}, o);
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_LT(r.elapsed_ms, 2000) << input;
        EXPECT_TRUE(exchanges(r.transcript, 502).empty()) << input;
        EXPECT_TRUE(exchanges(r.transcript, 505).empty()) << input;
        EXPECT_TRUE(exchanges(r.transcript, 506).empty()) << input;
    }
}

TEST(ConsoleProcess, ClosedStandardInputEndsTheProgram) {
    ProcessOptions o;
    o.scenario = SCENARIO;
    o.close_stdin = true;
    const ProcessResult r = run_brinlet({}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.elapsed_ms, 2000);
    EXPECT_NE(r.out.find("0) USB reader v2/v3 (usb km embedded class), Ser.no.: KM0001\n"),
              std::string::npos);
}

TEST(ConsoleProcess, SavedSettingReachesTheReaderThenItRestarts) {
    ProcessOptions o;
    o.scenario = SCENARIO;
    o.stdin_data = "0\n5\n0\n\n99\n\n99\n";
    const ProcessResult r = run_brinlet({}, o);
    EXPECT_EQ(r.status, 0);
    const auto set = exchanges(r.transcript, 502);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_NE(set[0].find(" in=" + hex_text("SOUND=1") + " "), std::string::npos) << set[0];
    EXPECT_NE(set[0].find(" cap=255 "), std::string::npos);
    ASSERT_EQ(exchanges(r.transcript, 506).size(), 1u);
    EXPECT_NE(r.transcript.find("event km "), std::string::npos);
    EXPECT_GE(r.elapsed_ms, 3000);
    // After the restart the main menu lists the reader again.
    const std::string banner = "Norvane USB card reader configuration utility";
    EXPECT_EQ(r.out.rfind(banner), r.out.find(banner, r.out.find(banner) + 1));
    EXPECT_EQ(r.out.substr(r.out.size() - 14), "Enter number: ");
}

} // namespace
