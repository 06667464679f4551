#include "support/process.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::vector<std::string> dirs_to_remove;

// The environment of a run on emulated readers: this process's own, less
// any emulator settings, plus the preload, scenario and transcript.
std::vector<std::string> brinlet_environment(const std::string& scenario_path,
                                             const std::string& transcript_path) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "BRINLET_EMU_", 12) == 0 || std::strncmp(*e, "LD_PRELOAD=", 11) == 0)
            continue;
        env.emplace_back(*e);
    }
    env.push_back(std::string("LD_PRELOAD=") + BRINLET_EMU_LIB);
    env.push_back("BRINLET_EMU_SCENARIO=" + scenario_path);
    env.push_back("BRINLET_EMU_TRANSCRIPT=" + transcript_path);
    if (std::string(BRINLET_SANITIZE) == "address")
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    return env;
}

std::vector<std::string> brinlet_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{BRINLET_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// execve's view of the strings, ending with a null pointer.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int exit_status_of(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void remove_dirs() {
    for (const std::string& d : dirs_to_remove) {
        const std::string cmd = "rm -rf '" + d + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
}

} // namespace

std::string temp_dir() {
    char name[] = "/tmp/brinlet-test-XXXXXX";
    const char* d = mkdtemp(name);
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

ProcessResult run_brinlet(const std::vector<std::string>& args, const ProcessOptions& options) {
    ProcessResult result;
    const std::string dir = temp_dir();
    const std::string scenario_path = dir + "/scenario.scn";
    const std::string transcript_path = dir + "/transcript.txt";
    write_file(scenario_path, options.scenario);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;

    std::vector<std::string> env_strings = brinlet_environment(scenario_path, transcript_path);
    if (!options.control_path.empty())
        env_strings.push_back("BRINLET_EMU_CONTROL=" + options.control_path);
    for (const std::string& e : options.env)
        env_strings.push_back(e);
    std::vector<std::string> argv_strings = brinlet_argv(args);
    std::vector<char*> argv = pointers(argv_strings), envp = pointers(env_strings);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (options.close_stdin)
            close(0);
        else
            dup2(in_pipe[0], 0);
        if (options.close_stdout) {
            close(1);
        } else if (!options.stdout_path.empty()) {
            const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            close(fd);
        } else {
            dup2(out_pipe[1], 1);
        }
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (options.stdin_data.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    }
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    bool out_open = true, err_open = true;
    int status = 0;
    bool exited = false;
    while (out_open || err_open || !exited) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > options.timeout_s) kill(pid, SIGKILL);
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
        if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
        if (in_pipe[1] >= 0) fds[n++] = {in_pipe[1], POLLOUT, 0};
        poll(fds, static_cast<nfds_t>(n), 20);
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_pipe[1]) {
                const ssize_t w = write(in_pipe[1], options.stdin_data.data() + written,
                                        options.stdin_data.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == options.stdin_data.size()) {
                    close(in_pipe[1]);
                    in_pipe[1] = -1;
                }
                continue;
            }
            char buf[65536];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            std::string& target = fds[i].fd == out_pipe[0] ? result.out : result.err;
            if (r > 0) {
                target.append(buf, static_cast<size_t>(r));
            } else {
                if (fds[i].fd == out_pipe[0])
                    out_open = false;
                else
                    err_open = false;
            }
        }
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
    }
    if (in_pipe[1] >= 0) close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    result.signaled = WIFSIGNALED(status);
    result.status = exit_status_of(status);
    result.transcript = read_file(transcript_path);
    return result;
}

ProcessResult run_brinlet_in(const std::string& dir, const std::vector<std::string>& args,
                             const std::string& scenario, const IsolatedRun& how) {
    ProcessResult result;
    const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
    const std::string transcript_path = dir + "/transcript.txt";
    write_file(dir + "/scenario.scn", scenario);
    std::vector<std::string> env_strings = brinlet_environment(dir + "/scenario.scn", transcript_path);
    std::vector<std::string> argv_strings = brinlet_argv(args);
    std::vector<char*> argv = pointers(argv_strings), envp = pointers(env_strings);
    int gone[2] = {-1, -1};
    if (how.stdout_to_gone_pipe && pipe2(gone, O_CLOEXEC) != 0) return result;

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int in = open(how.stdin_path.c_str(), O_RDONLY);
        const int out = how.stdout_to_gone_pipe
                            ? gone[1]
                            : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (how.stdout_to_gone_pipe) {
        close(gone[0]); // the reader of the pipe has gone before any data
        close(gone[1]);
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > how.timeout_s) kill(pid, SIGKILL);
        usleep(10000);
    }
    result.elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    result.signaled = WIFSIGNALED(status);
    result.status = exit_status_of(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    result.transcript = read_file(transcript_path);
    return result;
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
