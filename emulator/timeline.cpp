// SPDX-License-Identifier: GPL-2.0-or-later
// The emulator clock and the timeline of scheduled actions: plugs and
// unplugs, callbacks, a restarting reader leaving and coming back, and the
// scenario's `at` commands.
#include <atomic>
#include <cstdio>
#include <map>

#include "world.h"

namespace emu::detail {

namespace {

struct Timeline {
    std::mutex mu;
    std::multimap<double, Action> actions;
};

Timeline& timeline() {
    // Never destroyed, as the world (world.cpp).
    static Timeline* the_timeline = new Timeline;
    return *the_timeline;
}

std::atomic<int64_t> clock_start_ns{0};

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The due action first on the timeline, taken off it; false when none is due.
bool take_due(double now, double& at_ms, Action& due) {
    Timeline& line = timeline();
    std::lock_guard<std::mutex> lock(line.mu);
    if (line.actions.empty() || line.actions.begin()->first > now) return false;
    at_ms = line.actions.begin()->first;
    due = std::move(line.actions.begin()->second);
    line.actions.erase(line.actions.begin());
    return true;
}

// A restarting reader leaves the bus and, unless it stays away, is
// scheduled to come back. Device lock held.
void leave(Action& leaving, double at_ms) {
    Device& dev = *leaving.dev;
    if (!dev.present || leaving.token != dev.away_token) return;
    go_offline(dev, at_ms, leaving.text.c_str());
    dev.pending_return = leaving.as;
    if (leaving.return_after_s < 0) return;
    Action back = action(Action::Kind::Return, leaving.dev);
    back.as = leaving.as;
    back.token = dev.away_token;
    schedule(at_ms + leaving.return_after_s * 1000, std::move(back));
}

void apply_action(Action& due, double at_ms) {
    if (due.kind == Action::Kind::Command) {
        std::string err;
        if (run_command_locked(due.text, err) != 0)
            std::fprintf(stderr, "brinlet-emu: at %s ms: %s\n", format_ms(at_ms).c_str(),
                         err.c_str());
        return;
    }
    Device& dev = *due.dev;
    std::lock_guard<std::mutex> lock(dev.mu);
    switch (due.kind) {
    case Action::Kind::Plug:
        plug_device(dev, at_ms, due.text.empty() ? "scheduled" : due.text.c_str());
        break;
    case Action::Kind::Unplug:
        go_offline(dev, at_ms, due.text.empty() ? "scheduled" : due.text.c_str());
        break;
    case Action::Kind::Callback:
        queue_callback(dev, due.cb, at_ms);
        break;
    case Action::Kind::Leave:
        leave(due, at_ms);
        break;
    case Action::Kind::Return:
        if (dev.present || due.token != dev.away_token) break;
        dev.pending_return = due.as;
        plug_device(dev, at_ms, "return");
        break;
    case Action::Kind::Command:
        break;
    }
}

} // namespace

double clock_ms() {
    int64_t start = clock_start_ns.load();
    if (start == 0) {
        const int64_t now = steady_ns();
        if (clock_start_ns.compare_exchange_strong(start, now)) start = now;
    }
    return static_cast<double>(steady_ns() - start) / 1e6;
}

double clock_ms_if_started() {
    const int64_t start = clock_start_ns.load();
    if (start == 0) return 0;
    return static_cast<double>(steady_ns() - start) / 1e6;
}

std::chrono::steady_clock::time_point clock_point(double ms) {
    const int64_t start = clock_start_ns.load();
    return std::chrono::steady_clock::time_point(
        std::chrono::nanoseconds(start + static_cast<int64_t>(ms * 1e6)));
}

void restart_clock() {
    clock_start_ns = 0;
}

void schedule(double at_ms, Action scheduled) {
    Timeline& line = timeline();
    std::lock_guard<std::mutex> lock(line.mu);
    line.actions.emplace(at_ms, std::move(scheduled));
}

double next_due() {
    Timeline& line = timeline();
    std::lock_guard<std::mutex> lock(line.mu);
    return line.actions.empty() ? NEVER : line.actions.begin()->first;
}

void clear_timeline() {
    Timeline& line = timeline();
    std::lock_guard<std::mutex> lock(line.mu);
    line.actions.clear();
}

void process_due() {
    std::lock_guard<std::mutex> lock(process_lock());
    const double now = clock_ms();
    double at_ms = 0;
    Action due;
    while (take_due(now, at_ms, due))
        apply_action(due, at_ms);
}

} // namespace emu::detail
