// The C++ control interface of emu.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emu.h"
#include "handle.h"
#include "world.h"

namespace emu {

using namespace detail;

namespace {

std::string unnul(const Bytes& b) {
    std::string s(b.begin(), b.end());
    size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

std::string dirname_of(const char* p) {
    const char* slash = std::strrchr(p, '/');
    if (slash == nullptr) return ".";
    if (slash == p) return "/";
    return std::string(p, static_cast<size_t>(slash - p));
}

// Runs f on the named device under its lock; returns fallback when there
// is no such device.
template <class F, class R> R with_device(std::string_view name, R fallback, F f) {
    std::shared_ptr<Device> d = find_device(name);
    if (!d) return fallback;
    std::lock_guard<std::mutex> g(d->mu);
    return f(*d);
}

template <class T> std::vector<T> values(const std::vector<Logged<T>>& v) {
    std::vector<T> out;
    out.reserve(v.size());
    for (const auto& x : v)
        out.push_back(x.v);
    return out;
}

} // namespace

int load_scenario(std::string_view text) {
    mark_configured();
    std::string err;
    if (load_text(text, ".", err) != 0) {
        set_last_error(err);
        reset_world();
        return -1;
    }
    set_last_error("");
    return 0;
}

int load_scenario_file(const char* path) {
    mark_configured();
    if (path == nullptr) return -1;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        set_last_error(std::string("cannot read ") + path + ": " + std::strerror(errno));
        reset_world();
        return -1;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    std::string err;
    if (load_text(text, dirname_of(path), err) != 0) {
        set_last_error(std::string(path) + ": " + err);
        reset_world();
        return -1;
    }
    set_last_error("");
    return 0;
}

std::string last_error() {
    return get_last_error();
}

void reset() {
    mark_configured();
    reset_world();
}

int plug(std::string_view name) {
    return command("plug " + std::string(name));
}
int unplug(std::string_view name) {
    return command("unplug " + std::string(name));
}

int send_event(std::string_view name, uint16_t code, const std::vector<uint8_t>& data) {
    std::shared_ptr<Device> d = find_device(name);
    if (!d) return -1;
    std::lock_guard<std::mutex> g(d->mu);
    PendingCallback p;
    p.code = code;
    p.data = data;
    d->queue_callback(p, clock_ms());
    return 0;
}

int send_event(std::string_view name, uint16_t code, std::string_view text_with_nul) {
    std::vector<uint8_t> b(text_with_nul.begin(), text_with_nul.end());
    b.push_back(0);
    return send_event(name, code, b);
}

int script(std::string_view name, std::string_view statement) {
    return command("with " + std::string(name) + " " + std::string(statement));
}

int command(std::string_view line) {
    std::string err;
    if (run_command(line, err) != 0) {
        set_last_error(err);
        return -1;
    }
    return 0;
}

std::vector<emu::Report> reports(std::string_view name) {
    return with_device(name, std::vector<emu::Report>{},
                       [](Device& d) { return values(d.reports_log); });
}

std::vector<Exchange> exchanges(std::string_view name) {
    return with_device(name, std::vector<Exchange>{},
                       [](Device& d) { return values(d.exchanges_log); });
}

std::vector<Callback> callbacks(std::string_view name) {
    return with_device(name, std::vector<Callback>{},
                       [](Device& d) { return values(d.callbacks_log); });
}

std::vector<std::string> notes(std::string_view name) {
    return with_device(name, std::vector<std::string>{}, [](Device& d) {
        std::vector<std::string> out;
        for (const NoteRec& n : d.notes_log)
            out.push_back(n.text);
        return out;
    });
}

void clear_transcript(std::string_view name) {
    with_device(name, 0, [](Device& d) {
        d.reports_log.clear();
        d.exchanges_log.clear();
        d.callbacks_log.clear();
        d.notes_log.clear();
        d.cb.record = static_cast<size_t>(-1);
        return 0;
    });
}

std::string transcript_text() {
    return render_transcript();
}
int write_transcript(const char* path) {
    return write_transcript_file(path);
}

bool present(std::string_view name) {
    return with_device(name, false, [](Device& d) { return d.present; });
}

bool is_open(std::string_view name) {
    return with_device(name, false, [](Device& d) { return d.open_handle != nullptr; });
}

uint16_t product(std::string_view name) {
    return with_device(name, uint16_t{0}, [](Device& d) { return d.persona.product; });
}

std::string path(std::string_view name) {
    return with_device(name, std::string{}, [](Device& d) { return d.persona.path; });
}

std::string param(std::string_view name, std::string_view key) {
    return with_device(name, std::string{}, [key](Device& d) {
        auto it = d.params.find(std::string(key));
        return it == d.params.end() ? std::string{} : unnul(it->second);
    });
}

bool has_param(std::string_view name, std::string_view key) {
    return with_device(name, false,
                       [key](Device& d) { return d.params.count(std::string(key)) > 0; });
}

std::vector<uint8_t> firmware(std::string_view name, int function) {
    return with_device(name, std::vector<uint8_t>{}, [function](Device& d) {
        auto it = d.firmware_images.find(function);
        return it == d.firmware_images.end() ? std::vector<uint8_t>{} : it->second;
    });
}

std::vector<uint8_t> config_file(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{}, [](Device& d) { return d.config_blob; });
}

std::vector<uint8_t> custom_config(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{}, [](Device& d) { return d.custom_config; });
}

std::vector<uint8_t> module_image(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{}, [](Device& d) { return d.extfw.image; });
}

std::vector<uint8_t> module_partial(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{}, [](Device& d) { return d.extfw.partial; });
}

std::string extfw_state(std::string_view name) {
    return with_device(name, std::string{}, [](Device& d) -> std::string {
        switch (d.extfw.state) {
        case ExtfwModel::State::Idle:
            return "idle";
        case ExtfwModel::State::Started:
            return "started";
        case ExtfwModel::State::Receiving:
            return "receiving";
        }
        return "";
    });
}

int restarts(std::string_view name) {
    return with_device(name, -1, [](Device& d) { return d.restart_count; });
}

int pending_callbacks(std::string_view name) {
    return with_device(name, -1, [](Device& d) { return static_cast<int>(d.pending.size()); });
}

double now_ms() {
    return clock_ms_if_started();
}

std::vector<TranscriptLine> parse_transcript(std::string_view text) {
    std::vector<TranscriptLine> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string line(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> words;
        std::vector<size_t> starts;
        for (size_t i = 0; i < line.size();) {
            size_t sp = line.find(' ', i);
            if (sp == std::string::npos) sp = line.size();
            if (sp > i) {
                words.push_back(line.substr(i, sp - i));
                starts.push_back(i);
            }
            i = sp + 1;
        }
        if (words.size() < 3) continue;
        TranscriptLine t;
        t.kind = words[0];
        t.device = words[1];
        char* end = nullptr;
        t.ms = std::strtod(words[2].c_str(), &end);
        if (end == words[2].c_str() || *end != '\0') continue;
        t.rest = words.size() > 3 ? line.substr(starts[3]) : std::string{};
        size_t first = 3;
        if (t.kind == "report" && words.size() >= 5) {
            t.fields["dir"] = words[3];
            t.fields["bytes"] = words[4];
            first = 5;
        }
        for (size_t w = first; w < words.size(); ++w) {
            size_t eq = words[w].find('=');
            if (eq != std::string::npos && eq > 0)
                t.fields[words[w].substr(0, eq)] = words[w].substr(eq + 1);
        }
        out.push_back(std::move(t));
    }
    return out;
}

} // namespace emu
