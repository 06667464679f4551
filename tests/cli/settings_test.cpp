// Command-line parsing: value letters, two-letter options, dropped letters,
// the verbosity traces; and the exit status of a result.
#include <gtest/gtest.h>

#include <initializer_list>
#include <list>
#include <ostream>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "cli/tool_settings.h"
#include "support/capture.h"

namespace {

// The settings that differ from their zero value, as "name=value" words, so
// that one text says everything a command line set.
std::string describe(const ToolSettings& s, const ReaderChoice& c) {
    std::string out;
    auto number = [&](const char* name, int32_t v) {
        if (v != 0) out += std::string(name) + "=" + std::to_string(v) + " ";
    };
    auto text = [&](const char* name, const char* v) {
        if (v != nullptr) out += std::string(name) + "=" + v + " ";
    };
    number("verbosity", s.verbosity);
    text("input", s.input_path);
    number("has_input", s.has_input_path);
    text("output", s.output_path);
    number("has_output", s.has_output_path);
    number("help", s.show_help);
    number("list", s.list_readers);
    number("by_index", s.select_by_index);
    number("index", c.index);
    number("by_serial", s.select_by_serial);
    text("serial", c.serial);
    number("reset", s.reset_after);
    number("firmware", s.update_firmware);
    number("service_firmware", s.update_service_firmware);
    number("send_config", s.send_config);
    number("get_config", s.get_config);
    number("log", s.get_log);
    number("raw", s.raw_function);
    number("test", s.test_mode);
    number("custom", s.send_custom_config);
    number("set_protocol", s.set_protocol);
    number("protocol", s.protocol);
    number("module_check", s.module_check);
    number("defaults", s.reset_defaults);
    number("progress", s.show_progress);
    return out;
}

struct ParseCase {
    const char* name;
    std::vector<const char*> args;
    std::string settings; // describe() of the result
    std::string err = {}; // the traces
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class Settings : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Settings, Parse) {
    // The settings keep pointers into the arguments, as into a real argv.
    std::list<std::string> texts = {"brinlet"};
    for (const char* a : GetParam().args)
        texts.emplace_back(a);
    std::vector<char*> argv;
    for (std::string& t : texts)
        argv.push_back(t.data());
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    ToolSettings s{};
    ReaderChoice choice{};
    FdCapture err(2);
    settings_parse(argc, argv.data(), &s, &choice);
    EXPECT_EQ(err.finish(), GetParam().err);
    EXPECT_EQ(describe(s, choice), GetParam().settings);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Settings,
    ::testing::Values(
        ParseCase{"ValueInTheNextArgument", {"-i", "file.fw"}, "input=file.fw has_input=1 "},
        ParseCase{"ValueAttached", {"-ifile.fw"}, "input=file.fw has_input=1 "},
        ParseCase{"NextOptionIsTakenAsTheValue", {"-i", "-l"}, "input=-l has_input=1 "},
        ParseCase{"EveryOptionSetsItsField",
                  {"-o", "out", "-l", "-r", "2",  "-s", "AB12", "-k", "-u", "-w",  "-m", "-p",
                   "7",  "-c",  "-g", "-d", "-X", "-q", "-j",   "-t", "-b", "503", "-h"},
                  "output=out has_output=1 help=1 list=1 by_index=1 index=2 by_serial=1 "
                  "serial=AB12 reset=1 firmware=1 service_firmware=1 send_config=1 get_config=1 "
                  "log=1 raw=503 test=1 custom=1 set_protocol=1 protocol=7 module_check=1 "
                  "defaults=1 progress=1 "},
        ParseCase{"VerbosityCountsArgumentsNotLetters", {"-vv"}, "verbosity=1 "},
        ParseCase{"EachVerbosityArgumentCounts", {"-v", "-v"}, "verbosity=2 "},
        ParseCase{"RestOfAFlagArgumentIsIgnored", {"-lx"}, "list=1 "},
        // Traces start with the argument after the one reaching verbosity 2.
        ParseCase{
            "TraceOfAFlag", {"-v", "-v", "-l"}, "verbosity=2 list=1 ", "Parameter '' processed\n"},
        ParseCase{"TraceOfAThirdVerbosity",
                  {"-v", "-v", "-v"},
                  "verbosity=3 ",
                  "Parameter '' processed\n"},
        ParseCase{"TracesOfValuesTwoLetterOptionsAndRests",
                  {"-v", "-v", "-ifw.bin", "-Ua", "x", "-lz"},
                  "verbosity=2 input=fw.bin has_input=1 list=1 ",
                  "Parameter 'i':'fw.bin' processed\nParameter 'U/a'.':'x' processed\n"
                  "Parameter 'z' processed\n"},
        ParseCase{"OptionsWithoutEffectConsumeTheirValues",
                  {"-x", "-l", "-T", "-g", "-Ua", "-c", "-z", "-M", "-d"},
                  ""},
        ParseCase{"StrayArgumentsAndBareDashAreIgnored", {"file.bin", "-", "-g"}, "get_config=1 "},
        // A value option at the end reads nothing past the list.
        ParseCase{"InputAtTheEnd", {"-g", "-i"}, "get_config=1 "},
        ParseCase{"IndexAtTheEnd", {"-g", "-r"}, "get_config=1 "},
        ParseCase{"SerialAtTheEnd", {"-g", "-s"}, "get_config=1 "},
        ParseCase{"RawFunctionAtTheEnd", {"-g", "-b"}, "get_config=1 "},
        ParseCase{"ProtocolAtTheEnd", {"-g", "-p"}, "get_config=1 "},
        ParseCase{"IgnoredValueOptionAtTheEnd", {"-g", "-x"}, "get_config=1 "},
        ParseCase{"TwoLetterOptionAtTheEnd", {"-g", "-U"}, "get_config=1 "},
        // Numbers are read as atoi does.
        ParseCase{"IndexWithSpaceAndLetters", {"-r", " 12abc"}, "by_index=1 index=12 "},
        ParseCase{"NegativeProtocol", {"-p", "-3"}, "set_protocol=1 protocol=-3 "},
        ParseCase{"RawFunctionWord", {"-b", "word"}, ""},
        ParseCase{"LaterOccurrenceWins",
                  {"-i", "a", "-i", "b", "-p", "1", "-p", "2"},
                  "input=b has_input=1 set_protocol=1 protocol=2 "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExitStatus, NonZeroResultsNeverExitZero) {
    const std::pair<int32_t, int> cases[] = {{0, 0},       {5, 5},     {-1, 255},   {-110, 146},
                                             {-9999, 241}, {256, 255}, {-256, 255}, {512, 255}};
    for (const auto& [result, status] : cases)
        EXPECT_EQ(exit_status(result), status) << result;
}

} // namespace
