// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/process.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The USB stack tests run the program under umockdev-wrapper only, with
// their own preload left alone: they have no emulator library.
#ifndef BRINLET_EMU_LIB
#define BRINLET_EMU_LIB ""
#endif

namespace {

std::mutex dirs_mutex;
std::vector<std::string> dirs_to_remove;

void remove_dirs() {
    std::error_code ignored;
    for (const std::string& d : dirs_to_remove)
        std::filesystem::remove_all(d, ignored);
}

double now_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// execve's view of the strings, ending with a null pointer.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

std::vector<std::string> emulated_environment(const std::string& scenario_path,
                                              const std::string& transcript_path) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "BRINLET_EMU_", 12) != 0 && std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env.emplace_back(*e);
    env.push_back(std::string("LD_PRELOAD=") + BRINLET_EMU_LIB);
    env.push_back("BRINLET_EMU_SCENARIO=" + scenario_path);
    env.push_back("BRINLET_EMU_TRANSCRIPT=" + transcript_path);
    if (std::string(BRINLET_SANITIZE) == "address")
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    return env;
}

StartedProcess start_brinlet(const std::vector<std::string>& args, ProcessOptions options) {
    StartedProcess started;
    if (options.dir.empty()) options.dir = temp_dir();
    const std::string& dir = options.dir;
    std::vector<std::string> env;
    if (options.keep_preload) {
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
    } else {
        write_file(dir + "/scenario.scn", options.scenario);
        env = emulated_environment(dir + "/scenario.scn", dir + "/transcript.txt");
    }
    if (!options.control_path.empty()) env.push_back("BRINLET_EMU_CONTROL=" + options.control_path);
    env.insert(env.end(), options.env.begin(), options.env.end());
    std::vector<std::string> argv_strings = options.launcher;
    argv_strings.push_back(BRINLET_BIN);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argv_strings), envp = pointers(env);
    std::string in_path = options.stdin_path;
    if (in_path.empty()) {
        in_path = dir + "/stdin";
        write_file(in_path, options.stdin_data);
    }
    const std::string out_path =
        options.stdout_path.empty() ? dir + "/stdout" : options.stdout_path;
    const std::string err_path = dir + "/stderr";
    int gone[2] = {-1, -1};
    if (options.stdout_to_gone_pipe && pipe2(gone, O_CLOEXEC) != 0) return started;

    started.start_ms = now_ms();
    started.pid = fork();
    if (started.pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int in = open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
        const int out =
            options.stdout_to_gone_pipe
                ? gone[1]
                : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (options.close_stdin) close(0);
        if (options.close_stdout) close(1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (options.stdout_to_gone_pipe) {
        close(gone[0]); // the reader of the pipe has gone before any data
        close(gone[1]);
    }
    started.options = std::move(options);
    return started;
}

ProcessResult finish_brinlet(const StartedProcess& started) {
    ProcessResult result;
    const ProcessOptions& o = started.options;
    int status = 0;
    if (started.pid < 0) return result;
    while (waitpid(started.pid, &status, WNOHANG) != started.pid) {
        if (now_ms() - started.start_ms > o.timeout_s * 1000) kill(started.pid, SIGKILL);
        usleep(5000);
    }
    result.elapsed_ms = now_ms() - started.start_ms;
    result.signaled = WIFSIGNALED(status);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.dir = o.dir;
    if (o.stdout_path.empty()) result.out = read_file(o.dir + "/stdout");
    result.err = read_file(o.dir + "/stderr");
    result.transcript = read_file(o.dir + "/transcript.txt");
    return result;
}

ProcessResult run_brinlet(const std::vector<std::string>& args, const ProcessOptions& options) {
    return finish_brinlet(start_brinlet(args, options));
}

void run_side_by_side(size_t n, int threads, const std::function<void(size_t)>& fn) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (size_t i = next++; i < n; i = next++)
                fn(i);
        });
    for (std::thread& t : pool)
        t.join();
}

std::string temp_dir() {
    char name[] = "/tmp/brinlet-test-XXXXXX";
    const char* d = mkdtemp(name);
    const std::lock_guard<std::mutex> lock(dirs_mutex);
    if (dirs_to_remove.empty()) std::atexit(remove_dirs);
    dirs_to_remove.emplace_back(d);
    return d;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}
