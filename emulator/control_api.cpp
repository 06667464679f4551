// SPDX-License-Identifier: GPL-2.0-or-later
// The C++ control interface of emu.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "emu.h"
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
    queue_callback(*d, PendingCallback{code, data, {}}, clock_ms());
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
                       [](Device& d) { return values(d.log.reports); });
}

std::vector<Exchange> exchanges(std::string_view name) {
    return with_device(name, std::vector<Exchange>{},
                       [](Device& d) { return values(d.log.exchanges); });
}

std::vector<Callback> callbacks(std::string_view name) {
    return with_device(name, std::vector<Callback>{},
                       [](Device& d) { return values(d.log.callbacks); });
}

std::vector<std::string> notes(std::string_view name) {
    return with_device(name, std::vector<std::string>{}, [](Device& d) {
        std::vector<std::string> out;
        for (const auto& n : d.log.notes)
            out.push_back(n.v.text);
        return out;
    });
}

void clear_transcript(std::string_view name) {
    with_device(name, 0, [](Device& d) {
        d.log.reports.clear();
        d.log.exchanges.clear();
        d.log.callbacks.clear();
        d.log.notes.clear();
        d.eng.cb.record = static_cast<size_t>(-1);
        return 0;
    });
}

std::string transcript_text() {
    return render_transcript();
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
        auto it = d.model.params.find(std::string(key));
        return it == d.model.params.end() ? std::string{} : unnul(it->second);
    });
}

std::vector<uint8_t> firmware(std::string_view name, int function) {
    return with_device(name, std::vector<uint8_t>{}, [function](Device& d) {
        auto it = d.model.firmware_images.find(function);
        return it == d.model.firmware_images.end() ? std::vector<uint8_t>{} : it->second;
    });
}

std::vector<uint8_t> config_file(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{},
                       [](Device& d) { return d.model.config_blob.value_or(Bytes{}); });
}

std::vector<uint8_t> custom_config(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{},
                       [](Device& d) { return d.model.custom_config; });
}

std::vector<uint8_t> module_image(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{}, [](Device& d) { return d.model.extfw.image; });
}

int restarts(std::string_view name) {
    return with_device(name, -1, [](Device& d) { return d.restart_count; });
}

int pending_callbacks(std::string_view name) {
    return with_device(name, -1, [](Device& d) { return static_cast<int>(d.eng.pending.size()); });
}

double now_ms() {
    return clock_ms_if_started();
}

} // namespace emu
