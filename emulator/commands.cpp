// SPDX-License-Identifier: GPL-2.0-or-later
// Control commands (plug, unplug, event, with, param): from the control
// file, from the scenario's `at` lines and from the C++ interface; and the
// tick that runs them and the timeline's due actions.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "world.h"

namespace emu::detail {

namespace {

constexpr double CONTROL_POLL_MS = 10;

struct ControlFile {
    std::mutex mu;
    std::string path;
    int fd = -1;
    std::string partial; // a line not yet ended
    double last_poll = -1e18;
};

ControlFile& control_file() {
    // Never destroyed, as the world (world.cpp).
    static ControlFile* the_file = new ControlFile;
    return *the_file;
}

std::atomic<bool> control_configured{false};

// The complete lines that arrived in the control file since the last poll;
// polled at most every CONTROL_POLL_MS, unless at_once.
std::vector<std::string> poll_control(double now, bool at_once) {
    ControlFile& file = control_file();
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(file.mu);
    if (file.path.empty() || (!at_once && now - file.last_poll < CONTROL_POLL_MS)) return lines;
    file.last_poll = now;
    if (file.fd < 0) {
        // A FIFO opened this way never blocks, with or without a writer.
        file.fd = ::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (file.fd < 0) return lines;
    }
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(file.fd, buf, sizeof buf);
        if (got <= 0) break;
        file.partial.append(buf, static_cast<size_t>(got));
    }
    size_t newline;
    while ((newline = file.partial.find('\n')) != std::string::npos) {
        lines.push_back(file.partial.substr(0, newline));
        file.partial.erase(0, newline + 1);
    }
    return lines;
}

// `event NAME CODE [BYTES] [carddata BYTES]`. Device lock held.
int event_command(Device& dev, const Tokens& tokens, double now, std::string& err) {
    PendingCallback pending;
    Args args(tokens, err, "", 2);
    if (!args.integer(pending.code, 0, 65535, "callback code")) return -1;
    if (args.more() && !args.peek_is("carddata") && !args.bytes(pending.data, "callback data"))
        return -1;
    if (args.take("carddata") && !args.bytes(pending.carddata.emplace(), "card data")) return -1;
    if (!args.end()) return -1;
    queue_callback(dev, pending, now);
    return 0;
}

// `with NAME STATEMENT...` and `param NAME KEY VALUE`. Device lock held.
int statement_command(Device& dev, const Tokens& tokens, std::string& err) {
    Tokens statement;
    if (tokens[0].text == "param") statement.push_back(Token{"param"});
    statement.insert(statement.end(), tokens.begin() + 2, tokens.end());
    if (statement.empty()) {
        err = "with wants a statement";
        return -1;
    }
    if (!apply_statement(dev, statement, err, "")) return -1;
    dev.cv.notify_all();
    return 0;
}

} // namespace

int run_command_locked(std::string_view line, std::string& err) {
    Tokens tokens;
    if (!tokenize(line, tokens, err)) return -1;
    if (tokens.empty()) return 0;
    const std::string& command = tokens[0].text;
    if (tokens.size() < 2) {
        err = "'" + command + "' wants a device name";
        return -1;
    }
    std::shared_ptr<Device> dev = find_device(tokens[1].text);
    if (!dev) {
        err = "no device '" + tokens[1].text + "'";
        return -1;
    }
    const double now = clock_ms();
    std::lock_guard<std::mutex> lock(dev->mu);
    if (command == "plug" && tokens.size() == 2) {
        plug_device(*dev, now, "command");
        return 0;
    }
    if (command == "unplug" && tokens.size() == 2) {
        go_offline(*dev, now, "command");
        return 0;
    }
    if (command == "event") return event_command(*dev, tokens, now, err);
    if (command == "with" || command == "param") return statement_command(*dev, tokens, err);
    err = "unknown command '" + std::string(line) + "'";
    return -1;
}

int run_command(std::string_view line, std::string& err) {
    int result;
    {
        std::lock_guard<std::mutex> lock(process_lock());
        result = run_command_locked(line, err);
    }
    wake_readers();
    return result;
}

void set_control_path(const std::string& path) {
    ControlFile& file = control_file();
    std::lock_guard<std::mutex> lock(file.mu);
    file.path = path;
    control_configured = true;
}

bool control_file_configured() {
    return control_configured.load();
}

// Runs the control file's pending commands; whether there were any.
bool run_control(bool at_once) {
    const std::vector<std::string> lines = poll_control(clock_ms(), at_once);
    if (lines.empty()) return false;
    std::lock_guard<std::mutex> lock(process_lock());
    for (const std::string& line : lines) {
        std::string err;
        if (run_command_locked(line, err) != 0)
            std::fprintf(stderr, "brinlet-emu: control: %s\n", err.c_str());
    }
    return true;
}

void world_tick() {
    ensure_loaded();
    if (run_control(false)) wake_readers();
    process_due();
}

void world_tick_control() {
    ensure_loaded();
    run_control(true);
    process_due();
    wake_readers();
}

void wake_readers() {
    for (auto& device : all_devices()) {
        std::lock_guard<std::mutex> lock(device->mu);
        device->cv.notify_all();
    }
}

} // namespace emu::detail
