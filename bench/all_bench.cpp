// SPDX-License-Identifier: GPL-2.0-or-later
// -a against one reader at a time, the program run as a process on emulated
// readers: the wall time of an update of 8 readers at once beside one
// reader's, the peak memory of an update and of a fetch on 32 readers, and
// the processor time of the 8 at once beside 8 runs one after the other.
// Every reader answers 1 ms late (latency 1): the emulator takes the host's
// reports at once, so the image goes out at the speed of the host's writes.
// The emulator lives inside the brinlet process and keeps what each reader
// received (the stored image and the exchange's record):
// that share is measured apart, by driving the same emulated readers from
// this process, and told beside the peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "discovery/reader_list.h"
#include "emu.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"

namespace {

constexpr size_t IMAGE_SIZE = 1000000; // bytes
constexpr int FEW = 8, MANY = 32;      // readers

struct Run {
    int status = -1;
    double wall_s = 0;
    double cpu_s = 0;   // user and system time of the process
    double peak_mb = 0; // its largest resident set
};

void write_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// n readers of the USB serial personality, each on a port of its own.
std::string readers(int n, const std::string& extra = "") {
    std::string s = "option transcript_reports off\n";
    for (int i = 1; i <= n; ++i)
        s += "device r" + std::to_string(i) + " 0x0204\n  serial BENCH" + std::to_string(i) +
             "\n  port 1-" + std::to_string(i) + "\n  latency 1\n" + extra;
    return s;
}

// Runs brinlet with args on the scenario, its output thrown away.
Run run(const std::string& dir, const std::string& scenario, std::vector<std::string> args) {
    write_file(dir + "/bench.scn", scenario);
    const std::string preload = std::string("LD_PRELOAD=") + BRINLET_EMU_LIB;
    const std::string path = "BRINLET_EMU_SCENARIO=" + dir + "/bench.scn";
    std::vector<std::string> words = {BRINLET_BIN};
    for (std::string& a : args)
        words.push_back(std::move(a));
    std::vector<char*> argv;
    for (std::string& a : words)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char* envp[] = {const_cast<char*>(preload.c_str()), const_cast<char*>(path.c_str()), nullptr};
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        (void)!freopen("/dev/null", "w", stdout);
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    Run r;
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return r;
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto seconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    r.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    r.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024;
    return r;
}

double resident_mb() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576;
}

// What the emulated readers of the scenario keep once each has run function
// fn with the input once, in MB: this process's growth over the exchanges.
double emulator_share_mb(const std::string& scenario, uint16_t fn, const std::string& input) {
    if (emu::load_scenario(scenario) != 0) return 0;
    readers_init();
    const int count = readers_enumerate();
    std::vector<uint8_t> in(input.begin(), input.end()), out(200000);
    const double before = resident_mb();
    for (int i = 0; i < count; ++i) {
        Reader* reader = reader_by_index(i);
        int32_t len = static_cast<int32_t>(out.size());
        if (reader_open(reader) != 0) continue;
        reader_ctl(reader, fn, static_cast<int32_t>(in.size()), in.data(), &len, out.data());
        reader_close(reader);
    }
    const double grown = resident_mb() - before;
    readers_exit();
    emu::reset();
    return grown;
}

void line(const char* what, const Run& r) {
    std::printf("%-44s %7.2f s wall %6.2f s cpu %6.1f MB peak  status %d\n", what, r.wall_s,
                r.cpu_s, r.peak_mb, r.status);
}

} // namespace

int main() {
    char name[] = "/tmp/brinlet-all-bench-XXXXXX";
    const std::string dir = mkdtemp(name);
    std::string image(IMAGE_SIZE, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 31 + 7);
    const std::string fw = dir + "/image.fw";
    write_file(fw, image);

    // (a) and (c): the 8 readers one after the other, then all at once.
    // One reader's wall time is the median of the 8 single runs.
    Run singles;
    std::vector<double> walls;
    for (int i = 0; i < FEW; ++i) {
        const Run one = run(dir, readers(1), {"-u", "-i", fw});
        singles.status = std::max(singles.status, one.status);
        walls.push_back(one.wall_s);
        singles.wall_s += one.wall_s;
        singles.cpu_s += one.cpu_s;
        singles.peak_mb = std::max(singles.peak_mb, one.peak_mb);
    }
    std::sort(walls.begin(), walls.end());
    Run first = singles;
    first.wall_s = (walls[FEW / 2 - 1] + walls[FEW / 2]) / 2;
    first.cpu_s = singles.cpu_s / FEW;
    line("-u, 1 reader, 1,000,000-byte image (median)", first);
    line("8 single -u runs, one after the other", singles);
    const Run few = run(dir, readers(FEW), {"-a", "-u", "-i", fw});
    line("-a -u, 8 readers", few);
    std::printf("wall time, 8 readers at once / 1 reader:     %.2fx (goal <= 1.2x)\n",
                few.wall_s / first.wall_s);
    std::printf("cpu time, 8 readers at once / 8 single runs: %.2fx (goal <= 1.5x)\n",
                few.cpu_s / singles.cpu_s);

    // (b) peak memory of the brinlet process with 32 readers.
    const Run update = run(dir, readers(MANY), {"-a", "-u", "-i", fw});
    line("-a -u, 32 readers", update);
    const Run fetch = run(dir, readers(MANY, "  config_blob rep:100000:43\n"),
                          {"-a", "-g", "-o", dir + "/%s.cfg"});
    line("-a -g, 32 readers, 100,000 bytes each", fetch);
    // The same readers, each in its service firmware to take the image.
    std::string services = readers(MANY);
    for (size_t at = 0; (at = services.find("0x0204", at)) != std::string::npos;)
        services.replace(at, 6, "0x0200");
    const double kept_u = emulator_share_mb(services, 510, image);
    const double kept_g =
        emulator_share_mb(readers(MANY, "  config_blob rep:100000:43\n"), 503, "");
    std::printf("emulated readers' share of it:                -a -u %5.1f MB, -a -g %5.1f MB\n",
                kept_u, kept_g);
    std::printf("the rest, brinlet and the idle emulator:       -a -u %5.1f MB, -a -g %5.1f MB "
                "(goal <= 48 MB each)\n",
                update.peak_mb - kept_u, fetch.peak_mb - kept_g);
    const std::string clean = "rm -rf '" + dir + "'";
    return std::system(clean.c_str()) == 0 ? 0 : 1;
}
