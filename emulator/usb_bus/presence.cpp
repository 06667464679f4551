// SPDX-License-Identifier: GPL-2.0-or-later
// Readers joining and leaving the bus as the scenario and the reader
// emulator's model move them: each appearance gets its interfaces,
// descriptors, device node and sysfs entry.
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "bus_records.h"
#include "world.h"

namespace emu::usb {

namespace {

constexpr size_t DESC_MANUFACTURER_INDEX = 14; // iManufacturer in the device descriptor

void build_interfaces(UsbDev& usbdev) {
    const Persona& persona = usbdev.persona;
    int top = persona.iface;
    for (int extra : persona.extras)
        top = std::max(top, extra);
    top = std::min(top, MAX_INTERFACES - 1);
    uint8_t next_in = 1, next_out = 1;
    usbdev.iface_count = top + 1;
    for (int i = 0; i <= top; ++i) {
        Iface& iface = usbdev.ifaces[i];
        iface = Iface{};
        iface.number = i;
        const bool extra =
            std::find(persona.extras.begin(), persona.extras.end(), i) != persona.extras.end();
        if (i == persona.iface) {
            iface.kind = IfaceKind::Config;
            iface.ep_in = static_cast<uint8_t>(EP_IN | next_in++);
            iface.ep_out = next_out++;
        } else if (extra) {
            iface.kind = IfaceKind::Keyboard;
            iface.ep_in = static_cast<uint8_t>(EP_IN | next_in++);
        }
        iface.driver_bound = iface.kind != IfaceKind::Vendor;
    }
    update_driver_counters(usbdev);
}

// A new appearance of the device as it is now on the emulated bus. Device
// lock held.
std::unique_ptr<UsbDev> describe(UsbBus& bus, const std::shared_ptr<Device>& device) {
    auto usbdev = std::make_unique<UsbDev>();
    usbdev->bus = &bus;
    usbdev->device = device;
    usbdev->name = device->name;
    usbdev->gen = device->gen;
    usbdev->persona = device->persona;
    usbdev->has_serial = device->decl.serial && !device->decl.serial->empty();
    usbdev->serial = device->decl.serial.value_or("");
    const bool reader = device->persona.vendor == emu::READER_VENDOR_ID;
    const detail::Personality* personality = detail::find_personality(device->persona.product);
    usbdev->manufacturer = reader ? "Norvane" : "";
    usbdev->product_name = personality != nullptr && reader ? personality->name : "HID device";
    build_interfaces(*usbdev);
    usbdev->device_desc = device_descriptor(0, device->persona.vendor, device->persona.product,
                                            true, usbdev->has_serial);
    if (usbdev->manufacturer.empty()) usbdev->device_desc[DESC_MANUFACTURER_INDEX] = 0;
    return usbdev;
}

// Puts the device on the bus. No bus lock held.
void plug(UsbBus& bus, std::unique_ptr<UsbDev> usbdev) {
    int busnum = 1, config = 1;
    std::vector<int> ports;
    if (!parse_path(usbdev->persona.path, busnum, ports, config)) {
        busnum = 1;
        ports = {usbdev->device->index};
        config = 1;
    }
    usbdev->config_value = config;
    usbdev->busnum = busnum;
    usbdev->config_desc = config_descriptor(usbdev->ifaces, usbdev->iface_count, config);
    const std::string parent = ensure_hubs(bus, busnum, ports);
    {
        std::lock_guard<std::mutex> lock(bus.mu);
        usbdev->devnum = ++bus.next_devnum[busnum];
    }
    usbdev->devnode = "/dev/bus/usb/" + dev3(busnum) + "/" + dev3(usbdev->devnum);
    connect_handlers(*usbdev);
    UsbDev& added = *usbdev;
    {
        std::lock_guard<std::mutex> lock(bus.mu);
        usbdev->online = true;
        bus.devs.push_back(std::move(usbdev));
    }
    // The node must answer before the add event tells anyone it exists.
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bus.testbed.get(), added.devnode.c_str(),
                                       added.handler.get(), &error)) {
        std::fprintf(stderr, "brinlet-emu usb: %s: %s\n", added.devnode.c_str(),
                     error != nullptr ? error->message : "cannot attach");
        g_clear_error(&error);
    }
    SysfsDevice entry;
    entry.name = port_name(busnum, ports, ports.size());
    entry.parent = parent;
    entry.bus = busnum;
    entry.devnum = added.devnum;
    entry.vendor = added.persona.vendor;
    entry.product = added.persona.product;
    entry.descriptors = added.device_desc;
    entry.descriptors.insert(entry.descriptors.end(), added.config_desc.begin(),
                             added.config_desc.end());
    entry.serial = added.has_serial ? added.serial : "";
    entry.product_name = added.product_name;
    const std::string syspath = add_sysfs_device(bus.testbed.get(), entry);
    std::lock_guard<std::mutex> lock(bus.mu);
    added.syspath = syspath;
}

// The device left the bus: its transfers end as the kernel ends them on a
// disconnect, further requests fail with ENODEV. Bus lock held.
void mark_gone(UsbBus& bus, UsbDev& usbdev) {
    usbdev.online = false;
    for (auto& client : bus.clients) {
        if (client->usb != &usbdev) continue;
        while (!client->waiting.empty()) {
            Urb urb = std::move(client->waiting.front());
            client->waiting.pop_front();
            finish(*client, std::move(urb), -ESHUTDOWN, 0);
        }
        for (auto& handle : client->handles)
            if (handle) handle->dead = true;
    }
}

// The appearance of the device on the bus now; nullptr when it is off.
UsbDev* online_appearance(UsbBus& bus, const std::shared_ptr<Device>& device) {
    std::lock_guard<std::mutex> lock(bus.mu);
    UsbDev* current = nullptr;
    for (auto& usbdev : bus.devs)
        if (usbdev->device == device && usbdev->online) current = usbdev.get();
    return current;
}

} // namespace

void unplug(UsbBus& bus, UsbDev& usbdev) {
    std::string syspath;
    {
        std::lock_guard<std::mutex> lock(bus.mu);
        mark_gone(bus, usbdev);
        syspath = usbdev.syspath;
    }
    if (syspath.empty()) return;
    umockdev_testbed_uevent(bus.testbed.get(), syspath.c_str(), "remove");
    umockdev_testbed_remove_device(bus.testbed.get(), syspath.c_str());
}

void sync_presence(UsbBus& bus) {
    for (const std::shared_ptr<Device>& device : detail::all_devices()) {
        UsbDev* current = online_appearance(bus, device);
        std::unique_ptr<UsbDev> fresh;
        bool leave = false;
        {
            std::lock_guard<std::mutex> lock(device->mu);
            const bool changed = current == nullptr || device->gen != current->gen;
            if (current != nullptr && (!device->present || changed)) leave = true;
            if (device->present && changed) fresh = describe(bus, device);
        }
        if (leave) unplug(bus, *current);
        if (fresh) plug(bus, std::move(fresh));
    }
}

} // namespace emu::usb
