// SPDX-License-Identifier: GPL-2.0-or-later
// Host cost of the link against the emulator with zero device latency:
// CPU time per report and per CTL exchange, and the time to move the
// largest batch input (7,999,999 bytes) through reader_ctl, each beside the
// USB full-speed wire time for the same reports (one 64-byte report per
// 1 ms frame). The CPU figures include the emulator's own work, so they
// overstate the program's share.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "discovery/reader_list.h"
#include "emu.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"

namespace {

double cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double wall_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

size_t report_count(const char* device) {
    return emu::reports(device).size();
}

void print_row(const char* what, double cpu, double wall, double reports) {
    const double wire = reports * 1.0; // ms at full speed
    printf("%-36s %10.0f reports  cpu %9.3f ms  wall %9.3f ms  wire %10.1f ms  cpu/wire %7.4f%%\n",
           what, reports, cpu, wall, wire, 100.0 * cpu / wire);
}

} // namespace

int main() {
    if (emu::load_scenario("device r1 0x0204\n  serial BENCH1\n") != 0) {
        fprintf(stderr, "scenario: %s\n", emu::last_error().c_str());
        return 1;
    }
    readers_init();
    readers_enumerate();
    Reader* reader = reader_first();
    if (reader == nullptr || reader_open(reader) != 0) {
        fprintf(stderr, "no emulated reader\n");
        return 1;
    }

    // Small exchanges: FN_GET_STATUS, 4 bytes of output.
    const int exchanges = 2000;
    uint8_t status[4];
    size_t before = report_count("r1");
    double c0 = cpu_ms(), w0 = wall_ms();
    for (int i = 0; i < exchanges; ++i) {
        int32_t len = sizeof status;
        reader_ctl(reader, FN_GET_STATUS, 0, nullptr, &len, status);
    }
    double cpu = cpu_ms() - c0, wall = wall_ms() - w0;
    const double reports = static_cast<double>(report_count("r1") - before);
    print_row("status exchanges (2000)", cpu, wall, reports);
    printf("  per exchange: cpu %.1f us, per report: cpu %.2f us (wire 1000 us)\n",
           1e3 * cpu / exchanges, 1e3 * cpu / reports);

    // The largest input the batch operations accept.
    emu::script("r1", "option transcript_reports off");
    const int32_t size = 7999999;
    std::vector<uint8_t> data(size, 0x5A);
    const double big_reports = 2 + (size + 62) / 63 + 1; // request, ack, data, done
    c0 = cpu_ms();
    w0 = wall_ms();
    int32_t len = 0;
    const int32_t r = reader_ctl(reader, FN_SET_CUSTOM_CONFIG, size, data.data(), &len, nullptr);
    cpu = cpu_ms() - c0;
    wall = wall_ms() - w0;
    print_row("7,999,999-byte input (2403)", cpu, wall, big_reports);
    printf("  result %d, reader stored %zu bytes\n", r, emu::custom_config("r1").size());

    reader_close(reader);
    readers_exit();
    return 0;
}
