// SPDX-License-Identifier: GPL-2.0-or-later
// Card test mode under load: the real brinlet -t in a pseudo-terminal on 32
// emulated idle readers. Prints, while nothing happens, the process's CPU
// share of one core beside the floor of a polling design (32 threads that
// only wait 10 ms on a condition and sleep 1 ms, measured in this process
// in the same run), its wake-ups per second (context switches of all its
// threads) and the bytes it writes to the terminal, apart from the
// periodic repairs of the whole screen; then the delay from a reader
// announcing a card to the card number appearing on the screen, and the
// time from Ctrl+C to the exit status. Prints figures only; goals: idle CPU
// at most 0.5 % of a core and 0.1 times the floor, at most 200 wake-ups/s,
// no bytes between repairs, card on screen within 5 ms (median) and 20 ms
// (worst), exit within 1 s of Ctrl+C.
//
// Usage: cardtest_bench [BRINLET_BINARY EMULATOR_LIBRARY]
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/pty_session.h"

namespace {

constexpr int BENCH_READERS = 32;
constexpr int BENCH_IDLE_S = 10;
constexpr int BENCH_CARDS = 40;
constexpr int BENCH_ROWS = 100; // the whole drawing fits: no scrolling
constexpr int BENCH_COLUMNS = 100;
constexpr int BENCH_READY_TIMEOUT_MS = 60000;
constexpr int BENCH_CARD_TIMEOUT_MS = 2000;
constexpr int BENCH_CARD_JITTER_US = 60000;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string scenario(int readers) {
    std::ostringstream s;
    for (int i = 1; i <= readers; ++i) {
        s << "device r" << i << "\n";
        s << "  product 0x0202\n";
        s << "  serial BENCH" << (1000 + i) << "\n";
        s << "  features 1\n";
    }
    return s.str();
}

// CPU seconds one thread has run so far (the scheduler's nanosecond account).
double thread_cpu_seconds(pid_t pid, const std::string& tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/schedstat");
    double run_ns = 0;
    in >> run_ns;
    return run_ns / 1e9;
}

// The sum over the process's threads alive now of what read(tid) gives.
template <typename Read> double over_threads(pid_t pid, Read read) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        total += read(std::string(e->d_name));
    }
    closedir(dir);
    return total;
}

// CPU seconds the process's threads have run so far.
double cpu_seconds(pid_t pid) {
    return over_threads(pid,
                        [pid](const std::string& tid) { return thread_cpu_seconds(pid, tid); });
}

// Times the process's threads were switched out so far, voluntarily (a
// wait or a sleep) or not: each is one wake-up of a thread.
double context_switches(pid_t pid) {
    return over_threads(pid, [pid](const std::string& tid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/status");
        double n = 0;
        for (std::string line; std::getline(in, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                n += std::stod(line.substr(line.find(':') + 1));
        return n;
    });
}

double thread_cpu_now() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The polling design with nothing else, as many threads as readers: each
// waits 10 ms on a condition that is never signalled (a callback poll that
// finds no report), then sleeps 1 ms (the pause between polls). Runs while
// brinlet idles, so that both meet the same load on the machine.
struct PollingFloor {
    std::atomic<bool> stop{false};
    std::atomic<int64_t> cpu_ns{0};
    std::vector<std::thread> threads;
};

void floor_worker(PollingFloor* floor) {
    const double start = thread_cpu_now();
    std::mutex lock;
    std::condition_variable nothing;
    while (!floor->stop.load()) {
        {
            std::unique_lock<std::mutex> held(lock);
            nothing.wait_for(held, std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    floor->cpu_ns += static_cast<int64_t>((thread_cpu_now() - start) * 1e9);
}

void floor_start(PollingFloor* floor, int threads) {
    for (int i = 0; i < threads; ++i)
        floor->threads.emplace_back(floor_worker, floor);
}

// CPU seconds the floor's threads used.
double floor_stop(PollingFloor* floor) {
    floor->stop = true;
    for (std::thread& t : floor->threads)
        t.join();
    return static_cast<double>(floor->cpu_ns.load()) / 1e9;
}

int count_rows(const PtySession& s, const std::string& text) {
    int n = 0;
    for (int r = 0; r < s.screen.rows; ++r)
        if (s.screen.text(r).find(text) != std::string::npos) ++n;
    return n;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// What the program wrote while idle, split into the repairs of the whole
// screen (bursts of output, pieces less than REPAIR_GAP_S apart, that
// rewrite the title) and everything else.
struct IdleOutput {
    int repairs = 0;
    size_t repair_bytes = 0;
    size_t other_bytes = 0;
};

constexpr double REPAIR_GAP_S = 0.1;

IdleOutput split_idle_output(const std::vector<std::pair<double, std::string>>& pieces) {
    IdleOutput out;
    for (size_t i = 0; i < pieces.size();) {
        std::string burst = pieces[i].second;
        size_t j = i + 1;
        for (; j < pieces.size() && pieces[j].first - pieces[j - 1].first < REPAIR_GAP_S; ++j)
            burst += pieces[j].second;
        if (burst.find("Card testing:") != std::string::npos) {
            ++out.repairs;
            out.repair_bytes += burst.size();
        } else {
            out.other_bytes += burst.size();
        }
        i = j;
    }
    return out;
}

// Idle CPU and wake-ups of the whole process and of its console thread,
// beside the polling floor measured meanwhile, and the bytes written to
// the terminal.
void measure_idle(PtySession& s) {
    const std::string main_thread = std::to_string(s.pid);
    const double cpu_before = cpu_seconds(s.pid);
    const double console_before = thread_cpu_seconds(s.pid, main_thread);
    const double switches_before = context_switches(s.pid);
    std::vector<std::pair<double, std::string>> pieces;
    const Clock::time_point idle_start = Clock::now();
    PollingFloor floor;
    floor_start(&floor, BENCH_READERS);
    while (seconds_since(idle_start) < BENCH_IDLE_S) {
        const size_t before = s.output.size();
        if (s.pump(50) != 0)
            pieces.emplace_back(seconds_since(idle_start), s.output.substr(before));
    }
    const double idle_s = seconds_since(idle_start);
    const double floor_share = floor_stop(&floor) / idle_s;
    const double cpu_share = (cpu_seconds(s.pid) - cpu_before) / idle_s;
    const double console_share = (thread_cpu_seconds(s.pid, main_thread) - console_before) / idle_s;
    const double wakeups = (context_switches(s.pid) - switches_before) / idle_s;
    const IdleOutput out = split_idle_output(pieces);
    std::printf("polling floor (%d threads: 10 ms wait, 1 ms sleep) %6.2f %% of one core\n",
                BENCH_READERS, 100 * floor_share);
    std::printf("idle CPU, whole process              %6.2f %% of one core, %.3f x the floor\n",
                100 * cpu_share, floor_share > 0 ? cpu_share / floor_share : 0.0);
    std::printf("  of which the console thread        %6.2f %%\n", 100 * console_share);
    std::printf("idle wake-ups, whole process     %8.1f /s (context switches)\n", wakeups);
    std::printf("idle terminal output             %8.0f bytes/s: %d repairs of the whole "
                "screen, %.0f bytes/s besides\n",
                static_cast<double>(out.repair_bytes + out.other_bytes) / idle_s, out.repairs,
                static_cast<double>(out.other_bytes) / idle_s);
}

// Delay from a card announced at a random moment to its number on screen.
void measure_cards(PtySession& s) {
    std::vector<double> delays_ms;
    int missed = 0;
    std::mt19937 random(4711);
    for (int i = 0; i < BENCH_CARDS; ++i) {
        const int reader = 1 + (i * 7) % BENCH_READERS;
        // Cards come at any moment of the console's redraw cycle.
        const Clock::time_point pause_end =
            Clock::now() + std::chrono::microseconds(random() % BENCH_CARD_JITTER_US);
        while (Clock::now() < pause_end)
            s.pump(1);
        const std::string number = "77" + std::to_string(100000 + i);
        s.command("event r" + std::to_string(reader) + " 1 " + number);
        const Clock::time_point sent = Clock::now();
        if (s.wait_for([&] { return s.shows("'" + number + "'"); }, BENCH_CARD_TIMEOUT_MS))
            delays_ms.push_back(1000 * seconds_since(sent));
        else
            ++missed;
        s.command("event r" + std::to_string(reader) + " 4");
        s.wait_for([&] { return !s.shows("'" + number + "'"); }, BENCH_CARD_TIMEOUT_MS);
    }
    std::printf("card to screen (%d cards): median %6.1f ms, 90th %6.1f ms, worst %6.1f ms",
                static_cast<int>(delays_ms.size()), percentile(delays_ms, 0.5),
                percentile(delays_ms, 0.9), percentile(delays_ms, 1.0));
    std::printf(missed != 0 ? ", %d not seen\n" : "\n", missed);
}

// One run of brinlet with args on the emulated readers: idle figures beside
// the polling floor, then card delays, then Ctrl+C. 0, or 1 when the readers
// did not all get ready.
int run_session(const std::string& bin, const std::string& lib,
                const std::vector<std::string>& args, const std::string& scenario_path,
                const std::string& control) {
    PtySession s(BENCH_ROWS, BENCH_COLUMNS);
    if (!s.start(bin, lib, args, scenario_path, control)) {
        std::perror("forkpty");
        return 1;
    }
    const Clock::time_point started = Clock::now();
    if (!s.wait_for([&] { return count_rows(s, "CARD: 'none'") == BENCH_READERS; },
                    BENCH_READY_TIMEOUT_MS)) {
        std::printf("readers ready: %d of %d after %.1f s; giving up\n",
                    count_rows(s, "CARD: 'none'"), BENCH_READERS, seconds_since(started));
        return 1;
    }
    std::printf("all readers ready after          %8.2f s\n", seconds_since(started));

    measure_idle(s);
    measure_cards(s);

    const Clock::time_point interrupted = Clock::now();
    s.type("\x03");
    s.wait_for([&] { return s.shows("Press ENTER to continue"); }, 20000);
    const double stopped_s = seconds_since(interrupted);
    s.type("\n");
    const int status = s.finish(20000);
    std::printf("Ctrl+C to exit status %d          %8.0f ms (%.0f ms to \"Press ENTER\")\n", status,
                1000 * seconds_since(interrupted), 1000 * stopped_s);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
#if defined(BRINLET_BIN) && defined(BRINLET_EMU_LIB)
    std::string bin = BRINLET_BIN, lib = BRINLET_EMU_LIB;
#else
    std::string bin, lib;
#endif
    if (argc >= 3) {
        bin = argv[1];
        lib = argv[2];
    }
    if (bin.empty() || lib.empty()) {
        std::fprintf(stderr, "usage: %s BRINLET_BINARY EMULATOR_LIBRARY\n", argv[0]);
        return 2;
    }
    char dir_template[] = "/tmp/cardtest-bench-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string scenario_path = dir + "/readers.scn";
    std::ofstream(scenario_path) << scenario(BENCH_READERS);

    std::printf("cardtest_bench: %d emulated readers, terminal %dx%d\n", BENCH_READERS,
                BENCH_COLUMNS, BENCH_ROWS);
    const std::string record = dir + "/bench.tsv";
    const std::vector<std::string> runs[] = {{"-t"}, {"-t", "-o", record}};
    for (const std::vector<std::string>& args : runs) {
        std::printf("-- brinlet");
        for (const std::string& a : args)
            std::printf(" %s", a.c_str());
        std::printf("\n");
        if (run_session(bin, lib, args, scenario_path, dir + "/control") != 0) return 1;
    }
    std::ifstream in(record);
    const long lines = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    std::printf("record: %ld lines (header, %d ready, %d cards, %d removed, %d gone)\n", lines,
                BENCH_READERS, BENCH_CARDS, BENCH_CARDS, BENCH_READERS);
    return 0;
}
