// SPDX-License-Identifier: GPL-2.0-or-later
// The devices of the loaded scenario, found by name and by path, and the
// last error of the control interface.
#include "world.h"

namespace emu::detail {

namespace {

struct World {
    std::mutex process_mu;
    std::mutex mu; // the device table and last_error
    std::vector<std::shared_ptr<Device>> devices;
    std::string last_error;
    bool configured = false;
};

World& world() {
    // Never destroyed: the atexit flush and late hid_* calls from detached
    // threads may still use it while the process ends.
    static World* the_world = new World;
    return *the_world;
}

// The path of another interface of the same device: the interface number
// is the last field of a libusb path.
std::string interface_path(const std::string& config_path, int iface) {
    const size_t dot = config_path.rfind('.');
    const std::string base =
        dot == std::string::npos ? config_path + "." : config_path.substr(0, dot + 1);
    return base + std::to_string(iface);
}

// The device on the bus with an interface at path; its number in iface.
// Device lock held.
bool has_path(const Device& dev, const char* path, int& iface) {
    if (!dev.present) return false;
    if (dev.persona.path == path) {
        iface = dev.persona.iface;
        return true;
    }
    for (int extra : dev.persona.extras) {
        if (interface_path(dev.persona.path, extra) == path) {
            iface = extra;
            return true;
        }
    }
    return false;
}

} // namespace

std::mutex& process_lock() {
    return world().process_mu;
}

std::vector<std::shared_ptr<Device>> take_devices() {
    World& the_world = world();
    std::vector<std::shared_ptr<Device>> old;
    std::lock_guard<std::mutex> lock(the_world.mu);
    old.swap(the_world.devices);
    the_world.configured = true;
    return old;
}

void install_devices(std::vector<std::shared_ptr<Device>> devices) {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    the_world.devices = std::move(devices);
}

std::shared_ptr<Device> find_device(std::string_view name) {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    for (auto& dev : the_world.devices)
        if (dev->name == name) return dev;
    return nullptr;
}

std::vector<std::shared_ptr<Device>> all_devices() {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    return the_world.devices;
}

std::shared_ptr<Device> device_by_path(const char* path, int& iface) {
    if (path == nullptr) return nullptr;
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    for (auto& dev : the_world.devices) {
        std::lock_guard<std::mutex> dev_lock(dev->mu);
        if (has_path(*dev, path, iface)) return dev;
    }
    return nullptr;
}

std::string extra_path(const Persona& persona, int iface) {
    return interface_path(persona.path, iface);
}

void set_last_error(const std::string& error) {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    the_world.last_error = error;
}

std::string get_last_error() {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    return the_world.last_error;
}

void mark_configured() {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    the_world.configured = true;
}

bool world_configured() {
    World& the_world = world();
    std::lock_guard<std::mutex> lock(the_world.mu);
    return the_world.configured;
}

} // namespace emu::detail
