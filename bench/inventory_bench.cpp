// SPDX-License-Identifier: GPL-2.0-or-later
// The inventory (-a -l) of 32 readers beside one reader's, and what the
// history costs a reader's run (-a -p 2 on 32 readers with and without
// it); the program run as a process on emulated readers that answer 1 ms
// late (latency 1). Each figure is the median of several runs.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int MANY = 32; // readers
constexpr int REPEATS = 7;

// n readers of the USB serial personality, each on a port of its own.
std::string readers(int n) {
    std::string s;
    for (int i = 1; i <= n; ++i)
        s += "device r" + std::to_string(i) + " 0x0204\n  serial BENCH" + std::to_string(i) +
             "\n  port 1-" + std::to_string(i) + "\n  latency 1\n";
    return s;
}

// The wall time of one run of brinlet with args on the scenario, in
// seconds; its output thrown away. Negative when it did not end with 0.
double run(const std::string& scenario, std::vector<std::string> args, const std::string& history) {
    char name[] = "/tmp/brinlet-inventory-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return -1;
    close(fd);
    std::ofstream(name) << scenario;
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + BRINLET_EMU_LIB,
                                    std::string("BRINLET_EMU_SCENARIO=") + name,
                                    "BRINLET_HISTORY=" + history};
    std::string program = BRINLET_BIN;
    std::vector<char*> argv = {program.data()}, envp;
    for (std::string& a : args)
        argv.push_back(a.data());
    for (std::string& e : env)
        envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        (void)!freopen("/dev/null", "w", stdout);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    const bool ended = pid > 0 && waitpid(pid, &status, 0) == pid;
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unlink(name);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

double median(const std::string& scenario, const std::vector<std::string>& args,
              const std::string& history = "") {
    std::vector<double> walls;
    for (int i = 0; i < REPEATS; ++i)
        walls.push_back(run(scenario, args, history));
    std::sort(walls.begin(), walls.end());
    return walls[REPEATS / 2];
}

} // namespace

int main() {
    const double one = median(readers(1), {"-a", "-l"});
    const double many = median(readers(MANY), {"-a", "-l"});
    std::printf("-a -l, 1 reader (median of %d)             %7.3f s\n", REPEATS, one);
    std::printf("-a -l, %d readers (median of %d)           %7.3f s  %.2fx one reader's (goal "
                "<= 1.5x)\n",
                MANY, REPEATS, many, many / one);
    char name[] = "/tmp/brinlet-history-bench-XXXXXX";
    const std::string dir = mkdtemp(name);
    const double without = median(readers(MANY), {"-a", "-p", "2"});
    const double with = median(readers(MANY), {"-a", "-p", "2"}, dir + "/history.tsv");
    std::printf("-a -p 2, %d readers, BRINLET_HISTORY=      %7.3f s\n", MANY, without);
    std::printf("-a -p 2, %d readers, with the history      %7.3f s  %+.3f ms a reader's run "
                "(goal <= 1 ms)\n",
                MANY, with, (with - without) * 1000 / MANY);
    const std::string clean = "rm -rf '" + dir + "'";
    return one > 0 && many > 0 && without > 0 && with > 0 && std::system(clean.c_str()) == 0 ? 0
                                                                                             : 1;
}
