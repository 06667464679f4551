// Command-line parsing: value letters, two-letter options, dropped letters,
// the verbosity traces.
#include <gtest/gtest.h>

#include <initializer_list>
#include <list>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "cli/tool_settings.h"
#include "support/capture.h"

namespace {

struct Parsed {
    ToolSettings s{};
    ReaderChoice choice{};
    std::string err;
};

// The settings keep pointers into the arguments, as into a real argv, so
// the argument texts live as long as the test program.
Parsed parse(std::initializer_list<const char*> args) {
    static std::list<std::string> arena;
    std::vector<char*> argv;
    arena.emplace_back("brinlet");
    argv.push_back(arena.back().data());
    for (const char* a : args) {
        arena.emplace_back(a);
        argv.push_back(arena.back().data());
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    Parsed p;
    FdCapture err(2);
    settings_parse(argc, argv.data(), &p.s, &p.choice);
    p.err = err.finish();
    return p;
}

TEST(Settings, ValueAttachedOrInNextArgument) {
    EXPECT_STREQ(parse({"-i", "file.fw"}).s.input_path, "file.fw");
    EXPECT_STREQ(parse({"-ifile.fw"}).s.input_path, "file.fw");
    const Parsed p = parse({"-i", "-l"});
    EXPECT_STREQ(p.s.input_path, "-l");
    EXPECT_EQ(p.s.has_input_path, 1);
    EXPECT_EQ(p.s.list_readers, 0) << "-i takes the next option as its file name";
}

TEST(Settings, EveryOptionSetsItsField) {
    const Parsed p =
        parse({"-o", "out", "-l", "-r", "2",  "-s", "AB12", "-k", "-u", "-w",  "-m", "-p",
               "7",  "-c",  "-g", "-d", "-X", "-q", "-j",   "-t", "-b", "503", "-h"});
    EXPECT_STREQ(p.s.output_path, "out");
    EXPECT_EQ(p.s.has_output_path, 1);
    EXPECT_EQ(p.s.list_readers, 1);
    EXPECT_EQ(p.s.select_by_index, 1);
    EXPECT_EQ(p.choice.index, 2);
    EXPECT_EQ(p.s.select_by_serial, 1);
    EXPECT_STREQ(p.choice.serial, "AB12");
    EXPECT_EQ(p.s.reset_after, 1);
    EXPECT_EQ(p.s.update_firmware, 1);
    EXPECT_EQ(p.s.update_service_firmware, 1);
    EXPECT_EQ(p.s.send_custom_config, 1);
    EXPECT_EQ(p.s.set_protocol, 1);
    EXPECT_EQ(p.s.protocol, 7);
    EXPECT_EQ(p.s.send_config, 1);
    EXPECT_EQ(p.s.get_config, 1);
    EXPECT_EQ(p.s.reset_defaults, 1);
    EXPECT_EQ(p.s.module_check, 1);
    EXPECT_EQ(p.s.show_progress, 1);
    EXPECT_EQ(p.s.get_log, 1);
    EXPECT_EQ(p.s.test_mode, 1);
    EXPECT_EQ(p.s.raw_function, 503);
    EXPECT_EQ(p.s.show_help, 1);
}

TEST(Settings, VerbosityCountsArgumentsNotLetters) {
    EXPECT_EQ(parse({"-vv"}).s.verbosity, 1);
    EXPECT_EQ(parse({"-v", "-v"}).s.verbosity, 2);
    EXPECT_EQ(parse({"-lx"}).s.list_readers, 1) << "the rest of a flag argument is ignored";
}

TEST(Settings, TracesStartOnceVerbosityReachesTwo) {
    EXPECT_EQ(parse({"-v", "-v", "-l"}).err, "Parameter '' processed\n");
    EXPECT_EQ(parse({"-v", "-v", "-v"}).err, "Parameter '' processed\n");
    EXPECT_EQ(parse({"-v", "-v", "-ifw.bin", "-Ua", "x", "-lz"}).err,
              "Parameter 'i':'fw.bin' processed\n"
              "Parameter 'U/a'.':'x' processed\n"
              "Parameter 'z' processed\n");
    EXPECT_EQ(parse({"-l", "-i", "f"}).err, "");
}

TEST(Settings, OptionsWithoutEffectConsumeTheirValues) {
    const Parsed p = parse({"-x", "-l", "-T", "-g", "-Ua", "-c", "-z", "-M", "-d"});
    EXPECT_EQ(p.s.list_readers, 0);
    EXPECT_EQ(p.s.get_config, 0);
    EXPECT_EQ(p.s.send_config, 0);
    EXPECT_EQ(p.s.reset_defaults, 0);
}

TEST(Settings, StrayArgumentsAndBareDashAreIgnored) {
    const Parsed p = parse({"file.bin", "-", "-g"});
    EXPECT_EQ(p.s.get_config, 1);
    EXPECT_EQ(p.s.has_input_path, 0);
}

TEST(Settings, ValueOptionAtTheEndReadsNothingPastTheList) {
    for (const char* last : {"-i", "-r", "-s", "-b", "-p", "-x", "-U"}) {
        const Parsed p = parse({"-g", last});
        EXPECT_EQ(p.s.get_config, 1) << last;
        EXPECT_EQ(p.s.has_input_path, 0) << last;
        EXPECT_EQ(p.s.select_by_serial, 0) << last;
        EXPECT_EQ(p.s.set_protocol, 0) << last;
    }
}

TEST(Settings, NumbersAreReadAsAtoiDoes) {
    EXPECT_EQ(parse({"-r", " 12abc"}).choice.index, 12);
    EXPECT_EQ(parse({"-p", "-3"}).s.protocol, -3);
    EXPECT_EQ(parse({"-b", "word"}).s.raw_function, 0);
}

TEST(Settings, LaterOccurrenceWins) {
    const Parsed p = parse({"-i", "a", "-i", "b", "-p", "1", "-p", "2"});
    EXPECT_STREQ(p.s.input_path, "b");
    EXPECT_EQ(p.s.protocol, 2);
}

TEST(ExitStatus, NonZeroResultsNeverExitZero) {
    EXPECT_EQ(exit_status(0), 0);
    EXPECT_EQ(exit_status(5), 5);
    EXPECT_EQ(exit_status(-1), 255);
    EXPECT_EQ(exit_status(-110), 146);
    EXPECT_EQ(exit_status(-9999), 241);
    EXPECT_EQ(exit_status(256), 255);
    EXPECT_EQ(exit_status(-256), 255);
    EXPECT_EQ(exit_status(512), 255);
}

} // namespace
