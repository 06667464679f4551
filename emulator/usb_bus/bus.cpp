// SPDX-License-Identifier: GPL-2.0-or-later
// The bus itself: start and stop, the frame thread, and what the tests ask
// of it (bus_records.h describes the threads and the locks).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "bus_records.h"
#include "world.h"

namespace emu::usb {

namespace {

void answer_idle_reaps(UsbBus& bus, double now) {
    for (auto& client : bus.clients) {
        if (client->held_reap == nullptr || now < client->held_until) continue;
        umockdev_ioctl_client_complete(client->held_reap.get(), -1,
                                       client->usb->online ? EAGAIN : ENODEV);
        client->held_reap.reset();
        client->held_arg.reset();
    }
}

// The earliest time a held reap is due, at most a frame ahead. Bus lock held.
double next_wake(UsbBus& bus, double now) {
    double wake = now + FRAME_MS;
    for (auto& client : bus.clients)
        if (client->held_reap) wake = std::min(wake, client->held_until);
    return wake;
}

void feed_device(UsbBus& bus, UsbDev& usbdev) {
    for (auto& client : bus.clients)
        if (client->usb == &usbdev) feed_in(usbdev, *client);
}

void frame_loop(UsbBus* bus) {
    while (!bus->stop.load()) {
        detail::world_tick();
        sync_presence(*bus);
        std::unique_lock<std::mutex> lock(bus->mu);
        for (auto& usbdev : bus->devs)
            if (usbdev->online) feed_device(*bus, *usbdev);
        const double now = detail::clock_ms();
        answer_idle_reaps(*bus, now);
        const double wait_ms = next_wake(*bus, now) - now;
        if (wait_ms > 0)
            bus->wake.wait_for(lock, std::chrono::microseconds(static_cast<long>(wait_ms * 1000)));
    }
}

} // namespace

bool usb_mock_active(std::string& why) {
    // umockdev_in_mock_environment() says no even under the wrapper (0.17),
    // so look for the preload library among the loaded objects.
    FILE* maps = std::fopen("/proc/self/maps", "r");
    char line[4096];
    bool found = false;
    while (maps != nullptr && !found && std::fgets(line, sizeof line, maps) != nullptr)
        found = std::strstr(line, "libumockdev-preload.so") != nullptr;
    if (maps != nullptr) std::fclose(maps);
    if (found) return true;
    why = "libumockdev-preload.so is not in LD_PRELOAD (run under umockdev-wrapper)";
    return false;
}

UsbBus* usb_bus_start(std::string_view scenario, std::string& err) {
    if (!usb_mock_active(err)) return nullptr;
    if (emu::load_scenario(scenario) != 0) {
        err = "scenario: " + emu::last_error();
        return nullptr;
    }
    auto* bus = new UsbBus;
    bus->testbed = GRef<UMockdevTestbed>(umockdev_testbed_new());
    if (bus->testbed == nullptr) {
        err = "umockdev_testbed_new failed";
        delete bus;
        return nullptr;
    }
    detail::world_tick();
    sync_presence(*bus);
    bus->frame = std::thread(frame_loop, bus);
    return bus;
}

void usb_bus_stop(UsbBus* bus) {
    if (bus == nullptr) return;
    bus->stop.store(true);
    if (bus->frame.joinable()) bus->frame.join();
    std::vector<UsbDev*> online;
    {
        std::lock_guard<std::mutex> lock(bus->mu);
        for (auto& usbdev : bus->devs)
            if (usbdev->online) online.push_back(usbdev.get());
    }
    for (UsbDev* usbdev : online)
        unplug(*bus, *usbdev);
    for (auto& usbdev : bus->devs) {
        if (usbdev->handler)
            g_signal_handlers_disconnect_by_data(usbdev->handler.get(), usbdev.get());
        if (!usbdev->devnode.empty())
            umockdev_testbed_detach_ioctl(bus->testbed.get(), usbdev->devnode.c_str(), nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(bus->mu);
        for (auto& client : bus->clients)
            drop_client(*client);
        bus->clients.clear();
    }
    bus->devs.clear();
    bus->testbed.reset();
    emu::reset();
    delete bus;
}

UsbCounters usb_counters(UsbBus* bus, std::string_view device) {
    if (bus == nullptr) return {};
    std::lock_guard<std::mutex> lock(bus->mu);
    for (auto it = bus->devs.rbegin(); it != bus->devs.rend(); ++it)
        if ((*it)->name == device) return (*it)->counters;
    return {};
}

} // namespace emu::usb
