// SPDX-License-Identifier: GPL-2.0-or-later
// The history in this process: where it goes, what its lines say, and each
// way of failing to write it, said once at level 1 and nowhere else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/diag.h"
#include "cli/batch_operations.h"
#include "cli/history.h"
#include "cli/tool_settings.h"
#include "discovery/reader_list.h"
#include "support/capture.h"
#include "support/table.h"

namespace {

namespace fs = std::filesystem;

// A command line parsed as the program parses it; the settings point into
// the arguments, so both live here.
struct Command {
    std::vector<std::string> args;
    ToolSettings settings{};
    explicit Command(std::initializer_list<const char*> given) : args{"brinlet"} {
        for (const char* g : given)
            args.emplace_back(g);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        ReaderChoice choice;
        settings_parse(static_cast<int>(argv.size()), argv.data(), &settings, &choice);
    }
};

std::vector<std::string> lines_in(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

struct PlaceRow {
    const char* name;
    const char* history; // BRINLET_HISTORY, with $D for a fresh folder; nullptr: unset
    const char* state;   // XDG_STATE_HOME likewise
    const char* home;    // HOME likewise
    const char* operation = "-d";
    int verbosity = 1;
    const char* file = "";   // where the history must be made ($D/...), "" for nowhere
    const char* said = "";   // standard error
    bool file_first = false; // $D/file exists, an ordinary file
};

// A name the file system takes, but not with the suffix of the file made
// beside it.
const std::string LONG_NAME = "$D/" + std::string(250, 'x');
const std::string LONG_SAID = "Cannot write history " + LONG_NAME + ": File name too long\n";

const PlaceRow PLACES[] = {
    {.name = "Named",
     .history = "$D/a/b/h.tsv",
     .state = "$D/s",
     .home = "$D/h",
     .file = "$D/a/b/h.tsv"},
    {.name = "OffWhenEmpty", .history = "", .state = "$D/s", .home = "$D/h"},
    {.name = "OnlyForChanges", .history = "$D/h.tsv", .state = "", .home = "", .operation = "-g"},
    {.name = "NotForTheMenu", .history = "$D/h.tsv", .state = "", .home = "", .operation = "-v"},
    // Only the process that makes the file writes the header.
    {.name = "ExistingFile", .history = "$D/file", .state = "", .home = "", .file_first = true},
    {.name = "StateFolder",
     .history = nullptr,
     .state = "$D/s",
     .home = "$D/h",
     .file = "$D/s/brinlet/history.tsv"},
    {.name = "HomeFolder",
     .history = nullptr,
     .state = "",
     .home = "$D/h",
     .file = "$D/h/.local/state/brinlet/history.tsv"},
    {.name = "NoHome",
     .history = nullptr,
     .state = nullptr,
     .home = nullptr,
     .said = "Cannot write history $HOME/.local/state/brinlet/history.tsv: no home folder\n"},
    {.name = "NoHomeQuietly", .history = nullptr, .state = nullptr, .home = "", .verbosity = 0},
    {.name = "IsAFolder",
     .history = "$D",
     .state = "",
     .home = "",
     .said = "Cannot write history $D: Is a directory\n"},
    {.name = "NoRoomForTheName",
     .history = LONG_NAME.c_str(),
     .state = "",
     .home = "",
     .said = LONG_SAID.c_str()},
    {.name = "FolderIsAFile",
     .history = "$D/file/h.tsv",
     .state = "",
     .home = "",
     .said = "Cannot write history $D/file/h.tsv: Not a directory\n",
     .file_first = true},
};

class HistoryPlace : public ::testing::TestWithParam<PlaceRow> {};

std::string in_dir(const char* text, const std::string& dir) {
    std::string s = text;
    const size_t at = s.find("$D");
    if (at != std::string::npos) s.replace(at, 2, dir);
    return s;
}

void put_env(const char* name, const char* value, const std::string& dir) {
    if (value == nullptr)
        unsetenv(name);
    else
        setenv(name, in_dir(value, dir).c_str(), 1);
}

// The file is made with its folders and header where the row says, and
// each failure is said once.
TEST_P(HistoryPlace, FileAndWords) {
    const PlaceRow& row = GetParam();
    const std::string dir = fs::temp_directory_path() / ("history-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (row.file_first) {
        std::ofstream(dir + "/file") << "";
    }
    const bool made = row.file[0] != '\0' || std::strcmp(row.name, "ExistingFile") == 0;
    put_env("BRINLET_HISTORY", row.history, dir);
    put_env("XDG_STATE_HOME", row.state, dir);
    put_env("HOME", row.home, dir);
    const Command command({row.operation});
    diag_verbosity = row.verbosity;
    FdCapture err(2);
    {
        History history;
        history_open(&history, command.settings);
        history_open(&history, command.settings); // said once a process
        EXPECT_EQ(history.fd >= 0, made);
    }
    EXPECT_EQ(err.finish(), in_dir(row.said, dir));
    diag_verbosity = 0;
    if (row.file[0] != '\0') {
        EXPECT_EQ(lines_in(in_dir(row.file, dir)).size(), 1u);
    }
    if (made && row.file_first) {
        EXPECT_EQ(fs::file_size(dir + "/file"), 0u);
    }
    if (row.file[0] == '\0' && !row.file_first) {
        EXPECT_TRUE(fs::is_empty(dir));
    }
    fs::remove_all(dir);
}

TABLE_TEST(Places, HistoryPlace, PLACES);

// A history that cannot take a line says so once, whatever else is written.
TEST(HistoryLines, AFailedWriteIsSaidOnce) {
    const Command protocol({"-p", "2"});
    Reader reader;
    reader.model = &reader_models[0];
    History full;
    full.fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    full.path = "/dev/full";
    HistoryRun run;
    run.history = &full;
    diag_verbosity = 1;
    FdCapture err(2);
    history_started(&run, reader,
                    batch_plan(protocol.settings.operations, protocol.settings.raw_function),
                    protocol.settings, nullptr, 0);
    history_ended(&run, 0, "");
    EXPECT_EQ(err.finish(), "Cannot write history /dev/full: No space left on device\n");
    diag_verbosity = 0;
}

} // namespace
