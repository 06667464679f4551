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

std::string unnul(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

// Runs f on the named device under its lock; returns fallback when there
// is no such device.
template <class Visit, class Result>
Result with_device(std::string_view name, Result fallback, Visit visit) {
    std::shared_ptr<Device> dev = find_device(name);
    if (!dev) return fallback;
    std::lock_guard<std::mutex> lock(dev->mu);
    return visit(*dev);
}

template <class T> std::vector<T> values(const std::vector<Logged<T>>& logged) {
    std::vector<T> out;
    out.reserve(logged.size());
    for (const auto& entry : logged)
        out.push_back(entry.value);
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
    std::shared_ptr<Device> dev = find_device(name);
    if (!dev) return -1;
    std::lock_guard<std::mutex> lock(dev->mu);
    queue_callback(*dev, PendingCallback{code, data, {}}, clock_ms());
    return 0;
}

int send_event(std::string_view name, uint16_t code, std::string_view text_with_nul) {
    std::vector<uint8_t> bytes(text_with_nul.begin(), text_with_nul.end());
    bytes.push_back(0);
    return send_event(name, code, bytes);
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
                       [](Device& dev) { return values(dev.log.reports); });
}

std::vector<Exchange> exchanges(std::string_view name) {
    return with_device(name, std::vector<Exchange>{},
                       [](Device& dev) { return values(dev.log.exchanges); });
}

std::vector<Callback> callbacks(std::string_view name) {
    return with_device(name, std::vector<Callback>{},
                       [](Device& dev) { return values(dev.log.callbacks); });
}

std::vector<std::string> notes(std::string_view name) {
    return with_device(name, std::vector<std::string>{}, [](Device& dev) {
        std::vector<std::string> out;
        for (const auto& logged : dev.log.notes)
            out.push_back(logged.value.text);
        return out;
    });
}

void clear_transcript(std::string_view name) {
    with_device(name, 0, [](Device& dev) {
        dev.log.reports.clear();
        dev.log.exchanges.clear();
        dev.log.callbacks.clear();
        dev.log.notes.clear();
        dev.eng.cb.record = static_cast<size_t>(-1);
        return 0;
    });
}

std::string transcript_text() {
    return render_transcript();
}
bool present(std::string_view name) {
    return with_device(name, false, [](Device& dev) { return dev.present; });
}

bool is_open(std::string_view name) {
    return with_device(name, false, [](Device& dev) { return dev.open_handle != nullptr; });
}

uint16_t product(std::string_view name) {
    return with_device(name, uint16_t{0}, [](Device& dev) { return dev.persona.product; });
}

std::string path(std::string_view name) {
    return with_device(name, std::string{}, [](Device& dev) { return dev.persona.path; });
}

std::string param(std::string_view name, std::string_view key) {
    return with_device(name, std::string{}, [key](Device& dev) {
        auto it = dev.model.params.find(std::string(key));
        return it == dev.model.params.end() ? std::string{} : unnul(it->second);
    });
}

std::vector<uint8_t> firmware(std::string_view name, int function) {
    return with_device(name, std::vector<uint8_t>{}, [function](Device& dev) {
        auto it = dev.model.firmware_images.find(function);
        return it == dev.model.firmware_images.end() ? std::vector<uint8_t>{} : it->second;
    });
}

std::vector<uint8_t> config_file(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{},
                       [](Device& dev) { return dev.model.config_blob.value_or(Bytes{}); });
}

std::vector<uint8_t> custom_config(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{},
                       [](Device& dev) { return dev.model.custom_config; });
}

std::vector<uint8_t> module_image(std::string_view name) {
    return with_device(name, std::vector<uint8_t>{},
                       [](Device& dev) { return dev.model.extfw.image; });
}

int restarts(std::string_view name) {
    return with_device(name, -1, [](Device& dev) { return dev.restart_count; });
}

int pending_callbacks(std::string_view name) {
    return with_device(name, -1,
                       [](Device& dev) { return static_cast<int>(dev.eng.pending.size()); });
}

double now_ms() {
    return clock_ms_if_started();
}

} // namespace emu
