// SPDX-License-Identifier: GPL-2.0-or-later
// One CTL exchange's round trip and the throughput of a large input, through
// the real USB stack (hidapi-libusb, libusb, umockdev's usbdevfs, the
// emulated reader's USB layer) beside the same figures against the plain
// emulator that replaces hidapi. Built twice: usb_bench (real stack, runs
// itself under umockdev-wrapper) and usb_bench_plain (emulator linked in
// place of hidapi), which usb_bench runs to print both columns.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/reader_list.h"
#include "emu.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#ifndef USB_BENCH_PLAIN
#include "usb_bus.h"
#endif

namespace {

constexpr int ROUND_TRIPS = 300;
constexpr int32_t LARGE_INPUT = 500000; // bytes
constexpr const char* SCENARIO = "device r1 0x0204\n  serial BENCH1\n";

struct Figures {
    double median_us = 0, mean_us = 0, p95_us = 0;
    double input_ms = 0;
    int32_t input_result = 0;
};

double wall_us() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool measure(Figures& f) {
    readers_init();
    readers_enumerate();
    Reader* reader = reader_first();
    if (reader == nullptr || reader_open(reader) != 0) {
        std::fprintf(stderr, "no emulated reader\n");
        return false;
    }
    std::vector<double> us;
    uint8_t status[4];
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        int32_t len = sizeof status;
        const double t0 = wall_us();
        reader_ctl(reader, FN_GET_STATUS, 0, nullptr, &len, status);
        us.push_back(wall_us() - t0);
    }
    std::sort(us.begin(), us.end());
    f.median_us = us[us.size() / 2];
    f.p95_us = us[us.size() * 95 / 100];
    for (double v : us)
        f.mean_us += v / static_cast<double>(us.size());

    emu::script("r1", "option transcript_reports off");
    std::vector<uint8_t> data(LARGE_INPUT, 0x5A);
    int32_t len = 0;
    const double t0 = wall_us();
    f.input_result =
        reader_ctl(reader, FN_SET_CUSTOM_CONFIG, LARGE_INPUT, data.data(), &len, nullptr);
    f.input_ms = (wall_us() - t0) / 1000;
    reader_close(reader);
    readers_exit();
    return true;
}

} // namespace

#ifdef USB_BENCH_PLAIN

namespace {

void print(const Figures& f) {
    std::printf("%.1f %.1f %.1f %.3f %d\n", f.median_us, f.mean_us, f.p95_us, f.input_ms,
                f.input_result);
}

} // namespace

int main() {
    if (emu::load_scenario(SCENARIO) != 0) return 1;
    Figures f;
    if (!measure(f)) return 1;
    print(f);
    return 0;
}

#else

namespace {

bool parse(const std::string& line, Figures& f) {
    return std::sscanf(line.c_str(), "%lf %lf %lf %lf %d", &f.median_us, &f.mean_us, &f.p95_us,
                       &f.input_ms, &f.input_result) == 5;
}

bool plain_figures(Figures& f) {
    FILE* p = popen(USB_BENCH_PLAIN_BIN, "r");
    if (p == nullptr) return false;
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    return got && parse(line, f);
}

void row(const char* what, double usb, double plain, const char* unit) {
    std::printf("%-34s %12.1f %12.1f %s\n", what, usb, plain, unit);
}

} // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!emu::usb::usb_mock_active(why)) {
        // Start again under the wrapper, which preloads umockdev.
        std::vector<char*> args = {const_cast<char*>(UMOCKDEV_WRAPPER)};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(UMOCKDEV_WRAPPER, args.data());
        std::fprintf(stderr, "usb_bench: cannot run %s: %s\n", UMOCKDEV_WRAPPER, why.c_str());
        return 1;
    }
    Figures plain;
    if (!plain_figures(plain)) {
        std::fprintf(stderr, "usb_bench: no figures from %s\n", USB_BENCH_PLAIN_BIN);
        return 1;
    }
    std::string err;
    emu::usb::UsbBusScope scope(emu::usb::usb_bus_start(SCENARIO, err));
    if (scope.bus == nullptr) {
        std::fprintf(stderr, "usb_bench: %s\n", err.c_str());
        return 1;
    }
    Figures usb;
    if (!measure(usb)) return 1;
    const double reports = 2 + (LARGE_INPUT + 62) / 63 + 1; // request, ack, data, done
    std::printf("%-34s %12s %12s\n", "", "real stack", "emulator");
    row("status exchange, median", usb.median_us, plain.median_us, "us");
    row("status exchange, mean", usb.mean_us, plain.mean_us, "us");
    row("status exchange, 95th percentile", usb.p95_us, plain.p95_us, "us");
    row("500,000-byte input (2403)", usb.input_ms, plain.input_ms, "ms");
    row("  throughput", LARGE_INPUT / usb.input_ms, LARGE_INPUT / plain.input_ms, "kB/s");
    std::printf("  results %d / %d; full-speed wire time for the input %.0f ms (64,000 B/s)\n",
                usb.input_result, plain.input_result, reports);
    return 0;
}

#endif
