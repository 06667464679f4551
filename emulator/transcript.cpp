// SPDX-License-Identifier: GPL-2.0-or-later
// The transcript: every report, exchange, callback and note of every
// device as text lines in the order they happened, and its file.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "world.h"

namespace emu::detail {

namespace {

constexpr size_t TRANSCRIPT_DATA_MAX = 4096; // bytes of exchange data shown per line

struct TranscriptFile {
    std::mutex mu;
    std::string path;
};

TranscriptFile& transcript_file() {
    // Never destroyed, as the world (world.cpp).
    static TranscriptFile* the_file = new TranscriptFile;
    return *the_file;
}

std::atomic<bool> reports_enabled{true};
std::atomic<bool> dirty{false};

// One line of the transcript and its place in the order of events.
struct Line {
    uint64_t seq;
    std::string text;
};

std::string trimmed_hex(const std::vector<uint8_t>& bytes, bool& cut) {
    cut = bytes.size() > TRANSCRIPT_DATA_MAX;
    return to_hex(bytes.data(), std::min(bytes.size(), TRANSCRIPT_DATA_MAX));
}

std::string report_line(const std::string& name, const emu::Report& report) {
    std::string text = "report " + name + " " + format_ms(report.ms) + " " +
                       (report.to_device ? "to_device " : "to_host ") +
                       to_hex(report.bytes.data(), report.bytes.size());
    if (report.length != REPORT_BYTES) text += " len=" + std::to_string(report.length);
    if (!report.flag.empty()) text += " flag=" + report.flag;
    return text;
}

std::string exchange_line(const std::string& name, const emu::Exchange& exchange) {
    bool cut_in, cut_out;
    const std::string in = trimmed_hex(exchange.input, cut_in);
    const std::string out = trimmed_hex(exchange.output, cut_out);
    std::string text =
        "exchange " + name + " " + format_ms(exchange.ms) +
        " fn=" + std::to_string(exchange.function) + " cap=" + std::to_string(exchange.capacity) +
        " in_len=" + std::to_string(exchange.input.size()) +
        " result=" + std::to_string(exchange.result) +
        " out_len=" + std::to_string(exchange.output_len) + " outcome=" + exchange.outcome;
    if (exchange.refused) text += " host_error=" + std::to_string(exchange.host_error);
    text += " in=" + in + (cut_in ? " in_cut=1" : "");
    text += " out=" + out + (cut_out ? " out_cut=1" : "");
    return text;
}

std::string callback_line(const std::string& name, const emu::Callback& callback) {
    return "callback " + name + " " + format_ms(callback.ms) +
           " code=" + std::to_string(callback.code) +
           " len=" + std::to_string(callback.data.size()) +
           " in_place=" + (callback.in_place_of_ack ? "1" : "0") + " outcome=" + callback.outcome +
           " value=" + std::to_string(callback.host_value) + " data=" + to_hex(callback.data);
}

// The lines of one device. Device lock held.
void device_lines(const Device& dev, std::vector<Line>& lines) {
    const std::string& name = dev.name;
    for (const auto& report : dev.log.reports)
        lines.push_back({report.seq, report_line(name, report.value)});
    for (const auto& exchange : dev.log.exchanges)
        lines.push_back({exchange.seq, exchange_line(name, exchange.value)});
    for (const auto& callback : dev.log.callbacks)
        lines.push_back({callback.seq, callback_line(name, callback.value)});
    for (const auto& logged : dev.log.notes)
        lines.push_back({logged.seq, (logged.value.event ? "event " : "note ") + name + " " +
                                         format_ms(logged.value.ms) + " " + logged.value.text});
}

void flush_at_exit() {
    if (dirty.load()) flush_transcript_env();
}

} // namespace

std::string format_ms(double ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", ms);
    return buf;
}

bool transcript_reports_enabled() {
    return reports_enabled.load();
}

void set_transcript_reports(bool enabled) {
    reports_enabled = enabled;
}

void transcript_dirty() {
    dirty = true;
}

std::string render_transcript() {
    std::vector<Line> lines;
    for (auto& dev : all_devices()) {
        std::lock_guard<std::mutex> lock(dev->mu);
        device_lines(*dev, lines);
    }
    std::sort(lines.begin(), lines.end(),
              [](const Line& first, const Line& second) { return first.seq < second.seq; });
    std::string out = "# brinlet-emu transcript 1\n";
    for (auto& line : lines) {
        out += line.text;
        out += '\n';
    }
    return out;
}

int write_transcript_file(const char* path) {
    if (path == nullptr) return -1;
    const std::string text = render_transcript();
    const std::string tmp = std::string(path) + ".tmp";
    FILE* file = std::fopen(tmp.c_str(), "wb");
    if (file == nullptr) return -1;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path) != 0) {
        std::remove(tmp.c_str());
        return -1;
    }
    return 0;
}

void set_transcript_path(const std::string& path) {
    {
        TranscriptFile& file = transcript_file();
        std::lock_guard<std::mutex> lock(file.mu);
        file.path = path;
    }
    std::atexit(flush_at_exit);
}

void flush_transcript_env() {
    std::string path;
    {
        TranscriptFile& file = transcript_file();
        std::lock_guard<std::mutex> lock(file.mu);
        path = file.path;
    }
    if (path.empty()) return;
    dirty = false;
    if (write_transcript_file(path.c_str()) != 0)
        std::fprintf(stderr, "brinlet-emu: cannot write transcript %s\n", path.c_str());
}

} // namespace emu::detail
