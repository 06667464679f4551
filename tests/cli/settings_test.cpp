// SPDX-License-Identifier: GPL-2.0-or-later
// Command-line parsing: value letters, two-letter options, dropped letters,
// the verbosity traces; the exit status of a result, and the program's own
// results.
#include <gtest/gtest.h>

#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "base/result.h"
#include "cli/batch_operations.h"
#include "cli/exit_status.h"
#include "cli/tool_settings.h"
#include "support/capture.h"
#include "support/table.h"

namespace {

// "name=value " for each value that is set, names taken in turn from the
// space-separated list: one text says everything a command line set.
template <class... Values> std::string words(const char* names, Values... values) {
    std::istringstream in(names);
    std::string out, name;
    auto add = [&](auto v) {
        in >> name;
        if (v) out += name + "=" + (std::ostringstream() << v).str() + " ";
    };
    (add(values), ...);
    return out;
}

std::string describe(const ToolSettings& s, const ReaderChoice& c) {
    const auto given = [&](char letter) {
        return (s.operations & batch_operation_bit(batch_operation(letter))) != 0 ? 1 : 0;
    };
    return words("verbosity input has_input output has_output help list by_index index by_serial "
                 "serial reset firmware service_firmware send_config get_config log raw test "
                 "custom set_protocol protocol module_check defaults progress all chosen",
                 s.verbosity, s.input_path, s.has_input_path, s.output_path, s.has_output_path,
                 s.show_help, given('l'), s.select_by_index, c.index, s.select_by_serial, c.serial,
                 s.reset_after, given('u'), given('w'), given('c'), given('g'), given('j'),
                 s.raw_function, s.test_mode, given('m'), given('p'), s.protocol, given('X'),
                 given('d'), s.show_progress, s.all_readers,
                 s.operation != nullptr ? s.operation->letter : '\0');
}

struct ParseCase {
    const char* name;
    std::string args;     // the arguments, separated by '|'
    std::string settings; // describe() of the result
    std::string err = {}; // the traces
};

class Settings : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Settings, Parse) {
    // The settings keep pointers into the arguments, as into a real argv.
    std::list<std::string> texts = {"brinlet"};
    std::istringstream args(GetParam().args);
    for (std::string a; std::getline(args, a, '|');)
        texts.push_back(a);
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

const ParseCase PARSE_CASES[] = {
    {"ValueInTheNextArgument", "-i|file.fw", "input=file.fw has_input=1 "},
    {"ValueAttached", "-ifile.fw", "input=file.fw has_input=1 "},
    {"NextOptionIsTakenAsTheValue", "-i|-l", "input=-l has_input=1 "},
    {"EveryOptionSetsItsField",
     "-o|out|-l|-r|2|-s|AB12|-k|-u|-w|-m|-p|7|-c|-g|-d|-X|-q|-j|-t|-b|503|-h",
     "output=out has_output=1 help=1 list=1 by_index=1 index=2 by_serial=1 "
     "serial=AB12 reset=1 firmware=1 service_firmware=1 send_config=1 get_config=1 "
     "log=1 raw=503 test=1 custom=1 set_protocol=1 protocol=7 module_check=1 "
     "defaults=1 progress=1 chosen=l "},
    {"VerbosityCountsArgumentsNotLetters", "-vv", "verbosity=1 "},
    {"EachVerbosityArgumentCounts", "-v|-v", "verbosity=2 "},
    {"RestOfAFlagArgumentIsIgnored", "-lx", "list=1 chosen=l "},
    // Traces start with the argument after the one reaching verbosity 2.
    {"TraceOfAFlag", "-v|-v|-l", "verbosity=2 list=1 chosen=l ", "Parameter '' processed\n"},
    {"TraceOfAThirdVerbosity", "-v|-v|-v", "verbosity=3 ", "Parameter '' processed\n"},
    {"TracesOfValuesTwoLetterOptionsAndRests", "-v|-v|-ifw.bin|-Ua|x|-lz",
     "verbosity=2 input=fw.bin has_input=1 list=1 chosen=l ",
     "Parameter 'i':'fw.bin' processed\nParameter 'U/a'.':'x' processed\n"
     "Parameter 'z' processed\n"},
    {"OptionsWithoutEffectConsumeTheirValues", "-x|-l|-T|-g|-Ua|-c|-z|-M|-d", ""},
    {"StrayArgumentsAndBareDashAreIgnored", "file.bin|-|-g", "get_config=1 chosen=g "},
    // A value option at the end reads nothing past the list.
    {"InputAtTheEnd", "-g|-i", "get_config=1 chosen=g "},
    {"IndexAtTheEnd", "-g|-r", "get_config=1 chosen=g "},
    {"SerialAtTheEnd", "-g|-s", "get_config=1 chosen=g "},
    {"RawFunctionAtTheEnd", "-g|-b", "get_config=1 chosen=g "},
    {"ProtocolAtTheEnd", "-g|-p", "get_config=1 chosen=g "},
    {"IgnoredValueOptionAtTheEnd", "-g|-x", "get_config=1 chosen=g "},
    {"TwoLetterOptionAtTheEnd", "-g|-U", "get_config=1 chosen=g "},
    // Numbers are read as atoi does.
    {"IndexWithSpaceAndLetters", "-r| 12abc", "by_index=1 index=12 "},
    {"NegativeProtocol", "-p|-3", "set_protocol=1 protocol=-3 chosen=p "},
    {"RawFunctionWord", "-b|word", ""},
    {"LaterOccurrenceWins", "-i|a|-i|b|-p|1|-p|2",
     "input=b has_input=1 set_protocol=1 protocol=2 chosen=p "},
    // -a takes no value, as any flag.
    {"AllReadersTakesNoValue", "-ab|-g", "get_config=1 all=1 chosen=g "},
    // Of operations given together, the first in the table's order is
    // carried out; -b 0 asks for no function.
    {"ModuleCheckBeforeTransfers", "-u|-c|-X", "firmware=1 send_config=1 module_check=1 chosen=X "},
    {"DefaultsBeforeConfiguration", "-c|-g|-d", "send_config=1 get_config=1 defaults=1 chosen=d "},
    {"RawFunctionZeroIsNoOperation", "-b|7|-g|-b|0", "get_config=1 chosen=g "}};

TABLE_TEST(CommandLines, Settings, PARSE_CASES);

TEST(ExitStatus, NonZeroResultsNeverExitZero) {
    const std::pair<int32_t, int> cases[] = {{0, 0},      {5, 5},       {-1, 255},
                                             {-110, 146}, {-9999, 241}, {256, 255},
                                             {-256, 255}, {512, 255},   {BATCH_READER_LOST, 255}};
    for (const auto& [result, status] : cases)
        EXPECT_EQ(exit_status(result), status) << result;
}

} // namespace
