// SPDX-License-Identifier: GPL-2.0-or-later
#include "world.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "device.h"

namespace emu::detail {

namespace {

constexpr double CONTROL_POLL_MS = 10;
constexpr size_t TRANSCRIPT_DATA_MAX = 4096; // bytes of exchange data shown per line

struct World {
    std::mutex process_mu;
    std::mutex mu; // the device table and last_error
    std::vector<std::shared_ptr<Device>> devices;
    std::string last_error;
    bool configured = false;

    std::mutex timeline_mu;
    std::multimap<double, Action> timeline;

    std::mutex control_mu;
    std::string control_path;
    int control_fd = -1;
    std::string control_partial;
    double control_last_poll = -1e18;

    std::mutex transcript_mu;
    std::string transcript_path;
};

World& world() {
    // Never destroyed: the atexit flush and late hid_* calls from detached
    // threads may still use it while the process ends.
    static World* w = new World;
    return *w;
}

std::atomic<int64_t> clock_start_ns{0};
std::atomic<bool> reports_enabled{true};
std::atomic<bool> dirty{false};
std::atomic<bool> control_configured{false};

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string dirname_of(const std::string& p) {
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

bool valid_name(const std::string& n) {
    if (n.empty()) return false;
    for (char c : n)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

std::string fmt_ms(double ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", ms);
    return buf;
}

std::string trimmed_hex(const std::vector<uint8_t>& b, bool& cut) {
    cut = b.size() > TRANSCRIPT_DATA_MAX;
    return to_hex(b.data(), std::min(b.size(), TRANSCRIPT_DATA_MAX));
}

std::shared_ptr<Device> find_locked(World& w, std::string_view name) {
    for (auto& d : w.devices)
        if (d->name == name) return d;
    return nullptr;
}

// The path of another interface of the same device: the interface number
// is the last field of a libusb path.
std::string interface_path(const std::string& config_path, int iface) {
    size_t dot = config_path.rfind('.');
    std::string base =
        dot == std::string::npos ? config_path + "." : config_path.substr(0, dot + 1);
    return base + std::to_string(iface);
}

// The text of a line after its first n words (plain words, no quotes),
// split where the tokenizer splits.
std::string rest_after_words(std::string_view line, int n) {
    size_t i = 0;
    for (int k = 0; k < n; ++k) {
        while (i < line.size() && is_space(line[i]))
            ++i;
        while (i < line.size() && !is_space(line[i]))
            ++i;
    }
    while (i < line.size() && is_space(line[i]))
        ++i;
    return std::string(line.substr(i));
}

void apply_action(Action& a, double t);
int run_command_locked(std::string_view line, std::string& err);

void flush_at_exit() {
    if (dirty.load()) flush_transcript_env();
}

void load_from_environment(World& w) {
    if (const char* p = std::getenv("BRINLET_EMU_CONTROL"); p != nullptr && *p != '\0') {
        {
            std::lock_guard<std::mutex> g(w.control_mu);
            w.control_path = p;
            control_configured = true;
        }
        start_control_watch(p);
    }
    if (const char* p = std::getenv("BRINLET_EMU_TRANSCRIPT"); p != nullptr && *p != '\0') {
        {
            std::lock_guard<std::mutex> g(w.transcript_mu);
            w.transcript_path = p;
        }
        std::atexit(flush_at_exit);
    }
    bool load = false;
    {
        std::lock_guard<std::mutex> g(w.mu);
        load = !w.configured;
    }
    const char* s = std::getenv("BRINLET_EMU_SCENARIO");
    if (!load || s == nullptr || *s == '\0') return;
    FILE* f = std::fopen(s, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "brinlet-emu: cannot read scenario %s: %s\n", s, std::strerror(errno));
        return;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    std::string err;
    if (load_text(text, dirname_of(s), err) != 0)
        std::fprintf(stderr, "brinlet-emu: scenario %s: %s\n", s, err.c_str());
}

std::vector<std::string> poll_control(double now, bool at_once) {
    World& w = world();
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> g(w.control_mu);
    if (w.control_path.empty() || (!at_once && now - w.control_last_poll < CONTROL_POLL_MS))
        return lines;
    w.control_last_poll = now;
    if (w.control_fd < 0) {
        // A FIFO opened this way never blocks, with or without a writer.
        w.control_fd = ::open(w.control_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (w.control_fd < 0) return lines;
    }
    char buf[4096];
    for (;;) {
        ssize_t r = ::read(w.control_fd, buf, sizeof buf);
        if (r <= 0) break;
        w.control_partial.append(buf, static_cast<size_t>(r));
    }
    size_t nl;
    while ((nl = w.control_partial.find('\n')) != std::string::npos) {
        lines.push_back(w.control_partial.substr(0, nl));
        w.control_partial.erase(0, nl + 1);
    }
    return lines;
}

void process_due() {
    World& w = world();
    std::lock_guard<std::mutex> p(w.process_mu);
    const double now = clock_ms();
    for (;;) {
        Action a;
        double t;
        {
            std::lock_guard<std::mutex> g(w.timeline_mu);
            if (w.timeline.empty() || w.timeline.begin()->first > now) break;
            t = w.timeline.begin()->first;
            a = std::move(w.timeline.begin()->second);
            w.timeline.erase(w.timeline.begin());
        }
        apply_action(a, t);
    }
}

void apply_action(Action& a, double t) {
    if (a.kind == Action::Kind::Command) {
        std::string err;
        if (run_command_locked(a.text, err) != 0)
            std::fprintf(stderr, "brinlet-emu: at %s ms: %s\n", fmt_ms(t).c_str(), err.c_str());
        return;
    }
    Device& d = *a.dev;
    std::lock_guard<std::mutex> g(d.mu);
    switch (a.kind) {
    case Action::Kind::Plug:
        plug_device(d, t, a.text.empty() ? "scheduled" : a.text.c_str());
        break;
    case Action::Kind::Unplug:
        go_offline(d, t, a.text.empty() ? "scheduled" : a.text.c_str());
        break;
    case Action::Kind::Callback:
        queue_callback(d, a.cb, t);
        break;
    case Action::Kind::Leave:
        if (!d.present || a.token != d.away_token) break;
        go_offline(d, t, a.text.c_str());
        d.pending_return = a.as;
        if (a.return_after_s >= 0) {
            Action r = action(Action::Kind::Return, a.dev);
            r.as = a.as;
            r.token = d.away_token;
            schedule(t + a.return_after_s * 1000, std::move(r));
        }
        break;
    case Action::Kind::Return:
        if (d.present || a.token != d.away_token) break;
        d.pending_return = a.as;
        plug_device(d, t, "return");
        break;
    case Action::Kind::Command:
        break;
    }
}

int run_command_locked(std::string_view line, std::string& err) {
    Tokens t;
    if (!tokenize(line, t, err)) return -1;
    if (t.empty()) return 0;
    const std::string& cmd = t[0].text;
    if (t.size() < 2) {
        err = "'" + cmd + "' wants a device name";
        return -1;
    }
    std::shared_ptr<Device> d = find_device(t[1].text);
    if (!d) {
        err = "no device '" + t[1].text + "'";
        return -1;
    }
    const double now = clock_ms();
    std::lock_guard<std::mutex> g(d->mu);
    if (cmd == "plug" && t.size() == 2) {
        plug_device(*d, now, "command");
        return 0;
    }
    if (cmd == "unplug" && t.size() == 2) {
        go_offline(*d, now, "command");
        return 0;
    }
    if (cmd == "event") {
        PendingCallback p;
        Args a(t, err, "", 2);
        if (!a.integer(p.code, 0, 65535, "callback code")) return -1;
        if (a.more() && !a.peek_is("carddata") && !a.bytes(p.data, "callback data")) return -1;
        if (a.take("carddata") && !a.bytes(p.carddata.emplace(), "card data")) return -1;
        if (!a.end()) return -1;
        queue_callback(*d, p, now);
        return 0;
    }
    if (cmd == "with" || cmd == "param") {
        Tokens st(t.begin() + 2, t.end());
        if (cmd == "param") st.insert(st.begin(), Token{"param"});
        if (st.empty()) {
            err = "with wants a statement";
            return -1;
        }
        if (!apply_statement(*d, st, err, "")) return -1;
        d->cv.notify_all();
        return 0;
    }
    err = "unknown command '" + std::string(line) + "'";
    return -1;
}

} // namespace

double clock_ms() {
    int64_t start = clock_start_ns.load();
    if (start == 0) {
        int64_t now = steady_ns();
        if (clock_start_ns.compare_exchange_strong(start, now)) start = now;
    }
    return static_cast<double>(steady_ns() - start) / 1e6;
}

double clock_ms_if_started() {
    int64_t start = clock_start_ns.load();
    if (start == 0) return 0;
    return static_cast<double>(steady_ns() - start) / 1e6;
}

std::chrono::steady_clock::time_point clock_point(double ms) {
    int64_t start = clock_start_ns.load();
    return std::chrono::steady_clock::time_point(
        std::chrono::nanoseconds(start + static_cast<int64_t>(ms * 1e6)));
}

void schedule(double at_ms, Action a) {
    World& w = world();
    std::lock_guard<std::mutex> g(w.timeline_mu);
    w.timeline.emplace(at_ms, std::move(a));
}

double next_due() {
    World& w = world();
    std::lock_guard<std::mutex> g(w.timeline_mu);
    return w.timeline.empty() ? NEVER : w.timeline.begin()->first;
}

// Runs the control file's pending commands; whether there were any.
static bool run_control(bool at_once) {
    World& w = world();
    std::vector<std::string> lines = poll_control(clock_ms(), at_once);
    if (lines.empty()) return false;
    std::lock_guard<std::mutex> p(w.process_mu);
    for (const std::string& l : lines) {
        std::string err;
        if (run_command_locked(l, err) != 0)
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
    for (auto& d : all_devices()) {
        std::lock_guard<std::mutex> g(d->mu);
        d->cv.notify_all();
    }
}

void ensure_loaded() {
    static std::once_flag once;
    std::call_once(once, [] { load_from_environment(world()); });
}

int load_text(std::string_view text, const std::string& base_dir, std::string& err) {
    std::vector<std::shared_ptr<Device>> devs;
    std::vector<std::pair<double, std::string>> commands;
    std::vector<int> at_lines;
    bool reports_on = true;
    std::shared_ptr<Device> cur;
    int lineno = 0;
    size_t pos = 0;
    auto fail = [&](const std::string& e) {
        err = "line " + std::to_string(lineno) + ": " + e;
        return -1;
    };
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        ++lineno;
        Tokens t;
        std::string e;
        if (!tokenize(line, t, e)) return fail(e);
        if (t.empty()) continue;
        const std::string& kw = t[0].text;
        if (t[0].kind != Token::Word) return fail("statement expected");
        if (kw == "device") {
            if (t.size() < 2 || t.size() > 3 || !valid_name(t[1].text))
                return fail("device wants NAME [PRODUCT] (name of letters, digits, _ - .)");
            for (auto& d : devs)
                if (d->name == t[1].text) return fail("device '" + t[1].text + "' defined twice");
            cur = std::make_shared<Device>(t[1].text, static_cast<int>(devs.size()) + 1);
            cur->decl.line = lineno;
            devs.push_back(cur);
            if (t.size() == 3) {
                Tokens st{Token{"product", Token::Word}, t[2]};
                if (!apply_statement(*cur, st, e, base_dir)) return fail(e);
            }
        } else if (kw == "end") {
            if (t.size() != 1) return fail("end takes nothing");
            cur.reset();
        } else if (kw == "option") {
            if (t.size() != 3) return fail("option wants NAME VALUE");
            if (t[1].text == "transcript_reports" && (t[2].text == "on" || t[2].text == "off"))
                reports_on = t[2].text == "on";
            else
                return fail("unknown option '" + t[1].text + " " + t[2].text + "'");
        } else if (kw == "at") {
            double s;
            if (t.size() < 4 || !parse_number(t[1], s) || !(s >= 0) || s > 1e9)
                return fail("at wants SECONDS COMMAND NAME ...");
            const std::string& c = t[2].text;
            if (c != "plug" && c != "unplug" && c != "event" && c != "with" && c != "param")
                return fail("at: unknown command '" + c + "'");
            if (t[3].kind != Token::Word) return fail("at: device name expected");
            at_lines.push_back(lineno);
            commands.emplace_back(s * 1000, rest_after_words(line, 2));
        } else {
            if (!cur) return fail("'" + kw + "' outside a device block");
            if (!apply_statement(*cur, t, e, base_dir)) return fail(e);
        }
        if (nl == text.size()) break;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        Tokens t;
        std::string e;
        tokenize(commands[i].second, t, e);
        lineno = at_lines[i];
        if (std::none_of(devs.begin(), devs.end(), [&](auto& d) { return d->name == t[1].text; }))
            return fail("at: no device '" + t[1].text + "'");
    }
    for (auto& d : devs) {
        lineno = d->decl.line;
        if (d->decl.product == 0 && d->decl.vendor == READER_VENDOR_ID)
            return fail("device '" + d->name + "' has no product");
    }

    // The scenario is good: replace the world.
    World& w = world();
    std::lock_guard<std::mutex> p(w.process_mu);
    std::vector<std::shared_ptr<Device>> old;
    {
        std::lock_guard<std::mutex> g(w.mu);
        old.swap(w.devices);
        w.configured = true;
    }
    for (auto& d : old) {
        std::lock_guard<std::mutex> g(d->mu);
        go_offline(*d, clock_ms_if_started(), "reset");
    }
    {
        std::lock_guard<std::mutex> g(w.timeline_mu);
        w.timeline.clear();
    }
    clock_start_ns = 0;
    reports_enabled = reports_on;
    for (auto& d : devs) {
        std::lock_guard<std::mutex> g(d->mu);
        finalize_model(*d);
        const Declared& s = d->decl;
        if (s.appear_s > 0) {
            Action a = action(Action::Kind::Plug, d);
            a.text = "appear";
            schedule(s.appear_s * 1000, std::move(a));
        } else {
            plug_device(*d, 0, "start");
        }
        if (s.disappear_s >= 0) {
            Action a = action(Action::Kind::Unplug, d);
            a.text = "disappear";
            schedule(s.disappear_s * 1000, std::move(a));
        }
        for (const CallbackRule& r : s.callbacks)
            if (r.trigger == CallbackRule::Trigger::At)
                for (int i = 0; i < r.burst; ++i)
                    schedule(r.at_s * 1000, action(Action::Kind::Callback, d, r.cb));
    }
    for (auto& [ms, line] : commands) {
        Action a;
        a.text = line;
        schedule(ms, std::move(a));
    }
    {
        std::lock_guard<std::mutex> g(w.mu);
        w.devices = std::move(devs);
    }
    dirty = true;
    return 0;
}

void reset_world() {
    std::string err;
    load_text("", "", err);
}

std::shared_ptr<Device> find_device(std::string_view name) {
    World& w = world();
    std::lock_guard<std::mutex> g(w.mu);
    return find_locked(w, name);
}

std::vector<std::shared_ptr<Device>> all_devices() {
    World& w = world();
    std::lock_guard<std::mutex> g(w.mu);
    return w.devices;
}

std::shared_ptr<Device> device_by_path(const char* path, int& iface) {
    if (path == nullptr) return nullptr;
    World& w = world();
    std::lock_guard<std::mutex> g(w.mu);
    for (auto& d : w.devices) {
        std::lock_guard<std::mutex> dg(d->mu);
        if (!d->present) continue;
        if (d->persona.path == path) {
            iface = d->persona.iface;
            return d;
        }
        for (int x : d->persona.extras) {
            if (interface_path(d->persona.path, x) == path) {
                iface = x;
                return d;
            }
        }
    }
    return nullptr;
}

std::string extra_path(const Persona& p, int iface) {
    return interface_path(p.path, iface);
}

int run_command(std::string_view line, std::string& err) {
    World& w = world();
    int r;
    {
        std::lock_guard<std::mutex> p(w.process_mu);
        r = run_command_locked(line, err);
    }
    wake_readers();
    return r;
}

bool transcript_reports_enabled() {
    return reports_enabled.load();
}
void transcript_dirty() {
    dirty = true;
}
bool control_file_configured() {
    return control_configured.load();
}

std::string render_transcript() {
    struct Line {
        uint64_t seq;
        std::string text;
    };
    std::vector<Line> lines;
    for (auto& d : all_devices()) {
        std::lock_guard<std::mutex> g(d->mu);
        const std::string& n = d->name;
        for (auto& r : d->log.reports) {
            std::string s = "report " + n + " " + fmt_ms(r.v.ms) + " " +
                            (r.v.to_device ? "to_device " : "to_host ") +
                            to_hex(r.v.bytes.data(), r.v.bytes.size());
            if (r.v.length != REPORT_BYTES) s += " len=" + std::to_string(r.v.length);
            if (!r.v.flag.empty()) s += " flag=" + r.v.flag;
            lines.push_back({r.seq, std::move(s)});
        }
        for (auto& x : d->log.exchanges) {
            bool cut_in, cut_out;
            std::string in = trimmed_hex(x.v.input, cut_in);
            std::string out = trimmed_hex(x.v.output, cut_out);
            std::string s =
                "exchange " + n + " " + fmt_ms(x.v.ms) + " fn=" + std::to_string(x.v.function) +
                " cap=" + std::to_string(x.v.capacity) +
                " in_len=" + std::to_string(x.v.input.size()) +
                " result=" + std::to_string(x.v.result) +
                " out_len=" + std::to_string(x.v.output_len) + " outcome=" + x.v.outcome;
            if (x.v.refused) s += " host_error=" + std::to_string(x.v.host_error);
            s += " in=" + in + (cut_in ? " in_cut=1" : "");
            s += " out=" + out + (cut_out ? " out_cut=1" : "");
            lines.push_back({x.seq, std::move(s)});
        }
        for (auto& c : d->log.callbacks) {
            std::string s =
                "callback " + n + " " + fmt_ms(c.v.ms) + " code=" + std::to_string(c.v.code) +
                " len=" + std::to_string(c.v.data.size()) +
                " in_place=" + (c.v.in_place_of_ack ? "1" : "0") + " outcome=" + c.v.outcome +
                " value=" + std::to_string(c.v.host_value) + " data=" + to_hex(c.v.data);
            lines.push_back({c.seq, std::move(s)});
        }
        for (auto& no : d->log.notes)
            lines.push_back({no.seq, (no.v.event ? "event " : "note ") + n + " " + fmt_ms(no.v.ms) +
                                         " " + no.v.text});
    }
    std::sort(lines.begin(), lines.end(),
              [](const Line& a, const Line& b) { return a.seq < b.seq; });
    std::string out = "# brinlet-emu transcript 1\n";
    for (auto& l : lines) {
        out += l.text;
        out += '\n';
    }
    return out;
}

int write_transcript_file(const char* path) {
    if (path == nullptr) return -1;
    std::string text = render_transcript();
    std::string tmp = std::string(path) + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return -1;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path) != 0) {
        std::remove(tmp.c_str());
        return -1;
    }
    return 0;
}

void flush_transcript_env() {
    World& w = world();
    std::string path;
    {
        std::lock_guard<std::mutex> g(w.transcript_mu);
        path = w.transcript_path;
    }
    if (path.empty()) return;
    dirty = false;
    if (write_transcript_file(path.c_str()) != 0)
        std::fprintf(stderr, "brinlet-emu: cannot write transcript %s\n", path.c_str());
}

void set_last_error(const std::string& e) {
    World& w = world();
    std::lock_guard<std::mutex> g(w.mu);
    w.last_error = e;
}

std::string get_last_error() {
    World& w = world();
    std::lock_guard<std::mutex> g(w.mu);
    return w.last_error;
}

void mark_configured() {
    World& w = world();
    std::lock_guard<std::mutex> g(w.mu);
    w.configured = true;
}

} // namespace emu::detail
