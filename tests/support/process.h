// Runs the real brinlet binary as a process on emulated readers.
#pragma once

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

// A fresh temporary directory, removed with everything in it at exit.
std::string temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
