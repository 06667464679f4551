// Runs the real brinlet binary as a process on emulated readers.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;       // exit status, or 128 + signal
    bool signaled = false; // ended by a signal (a crash, or killed at the time-out)
    std::string out;       // standard output
    std::string err;       // standard error
    double elapsed_ms = 0;
    std::string transcript; // the emulator's transcript file, as text
};

struct ProcessOptions {
    std::string scenario;         // scenario text; empty = no readers
    std::string stdin_data;       // fed to standard input, then closed
    bool close_stdin = false;     // start with standard input closed
    bool close_stdout = false;    // start with standard output closed
    std::string stdout_path;      // redirect standard output to this file
    std::string control_path;     // BRINLET_EMU_CONTROL
    std::vector<std::string> env; // extra NAME=VALUE entries
    double timeout_s = 120;       // killed after this
};

// Options with only the scenario set.
inline ProcessOptions on(std::string scenario) {
    ProcessOptions o;
    o.scenario = std::move(scenario);
    return o;
}

ProcessResult run_brinlet(const std::vector<std::string>& args, const ProcessOptions& options = {});

// Where the streams of run_brinlet_in go.
struct IsolatedRun {
    std::string stdin_path = "/dev/null";
    bool stdout_to_gone_pipe = false; // a pipe whose reading end is closed before the run
    double timeout_s = 60;            // killed after this
};

// A run whose scenario, standard output, standard error and transcript are
// files of its own directory (scenario.scn, stdout, stderr,
// transcript.txt), opened in the child only, so that runs started side by
// side on several threads share no descriptors. SIGPIPE is at its default
// action, as a shell leaves it.
ProcessResult run_brinlet_in(const std::string& dir, const std::vector<std::string>& args,
                             const std::string& scenario, const IsolatedRun& how = {});

// Runs fn(i) for every i in [0, n) on the given number of threads.
void run_side_by_side(size_t n, int threads, const std::function<void(size_t)>& fn);

// A fresh temporary directory, removed with everything in it at exit.
std::string temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
