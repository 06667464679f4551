// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the real brinlet binary as a process: on emulated readers (the
// emulator preloaded), or under a launcher such as umockdev-wrapper.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;       // exit status, or 128 + signal
    bool signaled = false; // ended by a signal (a crash, or killed at the time-out)
    std::string out;       // standard output
    std::string err;       // standard error
    double elapsed_ms = 0;
    std::string transcript; // the emulator's transcript file, as text
    std::string dir;        // the run's directory
};

// A run keeps its scenario, streams and transcript as files of its own
// directory (scenario.scn, stdin, stdout, stderr, transcript.txt), opened in
// the child only, so that runs started side by side on several threads
// share no descriptors. SIGPIPE is at its default action, as a shell leaves
// it.
struct ProcessOptions {
    std::string scenario{};              // scenario text; empty = no readers
    std::string stdin_data{};            // standard input (a file holding it)
    std::string stdin_path{};            // or this file as standard input
    bool close_stdin = false;            // start with standard input closed
    bool close_stdout = false;           // start with standard output closed
    bool stdout_to_gone_pipe = false;    // a pipe whose reading end is closed before the run
    std::string stdout_path{};           // standard output to this file (then not read back)
    std::vector<std::string> launcher{}; // runs "launcher... brinlet args..."
    bool keep_preload = false;           // LD_PRELOAD and BRINLET_EMU_* left as they are
    std::string dir{};                   // the run's directory; empty = a fresh one
    double timeout_s = 120;              // killed after this
    // BRINLET_HISTORY: "" keeps the run from writing one; nullopt leaves it
    // unset. env: more variables ("NAME=VALUE"), in place of inherited ones.
    std::optional<std::string> history = "";
    std::vector<std::string> env{};
};

// Options with only the scenario and standard input set.
inline ProcessOptions on(std::string scenario, std::string input = "") {
    return {.scenario = std::move(scenario), .stdin_data = std::move(input)};
}

// A process started by start_brinlet, for runs signalled while they run.
struct StartedProcess {
    pid_t pid = -1;
    ProcessOptions options;
    double start_ms = 0;
};

StartedProcess start_brinlet(const std::vector<std::string>& args, ProcessOptions options);
// Waits for the process (killing it after the time-out) and collects it.
ProcessResult finish_brinlet(const StartedProcess& started);
ProcessResult run_brinlet(const std::vector<std::string>& args, const ProcessOptions& options = {});

// Milliseconds on the steady clock.
double now_ms();

// A fresh temporary directory, removed with everything in it at exit.
std::string temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// The threads of process pid other than its first that do not block Ctrl+C
// and the signals that end the program, as "TID SigBlk" lines: "" when only
// the first can take them.
std::string threads_taking_ending_signals(pid_t pid);
