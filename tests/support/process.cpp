// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

// The USB stack tests run the program under umockdev-wrapper only, with
// their own preload left alone: they have no emulator library.
#ifndef BRINLET_EMU_LIB
#define BRINLET_EMU_LIB ""
#endif

namespace {

// Temporary directories, removed with everything in them at exit.
struct {
    std::mutex mutex;
    std::vector<std::string> all;
} dirs;

// execve's view of the strings, ending with a null pointer.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Whether the variable "NAME=VALUE" is one that env sets anew.
bool replaced(const std::vector<std::string>& env, const char* variable) {
    const char* equals = std::strchr(variable, '=');
    const size_t n = equals != nullptr ? static_cast<size_t>(equals - variable) + 1 : 0;
    for (const std::string& e : env)
        if (n > 0 && e.compare(0, n, variable, n) == 0) return true;
    return false;
}

} // namespace

double now_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

StartedProcess start_brinlet(const std::vector<std::string>& args, ProcessOptions options) {
    StartedProcess started;
    if (options.dir.empty()) options.dir = temp_dir();
    const std::string& dir = options.dir;
    // This process's environment; for the emulator, without its settings
    // but the preload, scenario and transcript files of the run.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if ((options.keep_preload ||
             (std::strncmp(*e, "BRINLET_EMU_", 12) && std::strncmp(*e, "LD_PRELOAD=", 11))) &&
            std::strncmp(*e, "BRINLET_HISTORY=", 16) && !replaced(options.env, *e))
            env.emplace_back(*e);
    env.insert(env.end(), options.env.begin(), options.env.end());
    // No run writes into the history of the user who runs the tests.
    if (options.history) env.push_back("BRINLET_HISTORY=" + *options.history);
    write_file(dir + "/scenario.scn", options.scenario);
    if (!options.keep_preload)
        env.insert(env.end(), {std::string("LD_PRELOAD=") + BRINLET_EMU_LIB,
                               "BRINLET_EMU_SCENARIO=" + dir + "/scenario.scn",
                               "BRINLET_EMU_TRANSCRIPT=" + dir + "/transcript.txt"});
    if (!options.keep_preload && std::string(BRINLET_SANITIZE) == "address")
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    std::vector<std::string> argv_strings = options.launcher;
    argv_strings.push_back(BRINLET_BIN);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argv_strings), envp = pointers(env);
    if (options.stdin_path.empty())
        write_file(options.stdin_path = dir + "/stdin", options.stdin_data);
    started.start_ms = now_ms();
    started.pid = fork();
    if (started.pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const auto to = [](int fd, const std::string& path, int flags) {
            const int f = open(path.c_str(), flags | O_CLOEXEC, 0644);
            if (f < 0 || dup2(f, fd) < 0) _exit(126);
        };
        to(0, options.stdin_path, O_RDONLY);
        to(1, options.stdout_path.empty() ? dir + "/stdout" : options.stdout_path,
           O_WRONLY | O_CREAT | O_TRUNC);
        to(2, dir + "/stderr", O_WRONLY | O_CREAT | O_TRUNC);
        int gone[2]; // a pipe whose reader has gone before any data
        if (options.stdout_to_gone_pipe && (pipe(gone) != 0 || dup2(gone[1], 1) < 0)) _exit(126);
        if (options.stdout_to_gone_pipe) close(gone[0]), close(gone[1]);
        if (options.close_stdin) close(0);
        if (options.close_stdout) close(1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    started.options = std::move(options);
    return started;
}

ProcessResult finish_brinlet(const StartedProcess& started) {
    const ProcessOptions& o = started.options;
    int status = 0;
    if (started.pid < 0) return {};
    for (; waitpid(started.pid, &status, WNOHANG) != started.pid; usleep(5000))
        if (now_ms() - started.start_ms > o.timeout_s * 1000) kill(started.pid, SIGKILL);
    return {.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            .signaled = WIFSIGNALED(status),
            .out = o.stdout_path.empty() ? read_file(o.dir + "/stdout") : "",
            .err = read_file(o.dir + "/stderr"),
            .elapsed_ms = now_ms() - started.start_ms,
            .transcript = read_file(o.dir + "/transcript.txt"),
            .dir = o.dir};
}

ProcessResult run_brinlet(const std::vector<std::string>& args, const ProcessOptions& options) {
    return finish_brinlet(start_brinlet(args, options));
}

std::string temp_dir() {
    char name[] = "/tmp/brinlet-test-XXXXXX";
    const std::lock_guard<std::mutex> lock(dirs.mutex);
    if (dirs.all.empty())
        std::atexit([] {
            std::error_code ignored;
            for (const std::string& d : dirs.all)
                std::filesystem::remove_all(d, ignored);
        });
    return dirs.all.emplace_back(mkdtemp(name));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string threads_taking_ending_signals(pid_t pid) {
    unsigned long wanted = 0;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        wanted |= 1ul << (signal_number - 1);
    std::string takers;
    std::error_code error;
    const std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task",
                                                    error);
    if (error) return "no process " + std::to_string(pid) + "\n";
    for (const auto& task : tasks) {
        const std::string tid = task.path().filename().string();
        const std::string status = read_file((task.path() / "status").string());
        const size_t at = status.find("SigBlk:");
        if (tid == std::to_string(pid) || at == std::string::npos) continue;
        const unsigned long blocked = std::stoul(status.substr(at + 7), nullptr, 16);
        if ((blocked & wanted) != wanted) takers += tid + " " + status.substr(at + 8, 16) + "\n";
    }
    return takers;
}
