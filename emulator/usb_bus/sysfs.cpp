// SPDX-License-Identifier: GPL-2.0-or-later
// The emulated devices and the hubs above them in umockdev's fake sysfs.
#include <cstdio>
#include <cstdlib>

#include "bus_records.h"

namespace emu::usb {

namespace {

constexpr int USB_MAJOR = 189;       // usb_device character devices
constexpr int MINORS_PER_BUS = 128;  // usb_device minors: (bus - 1) * 128 + devnum - 1
constexpr int MAX_PORT = 31;         // ports of one hub
constexpr size_t MAX_PORT_DEPTH = 6; // hubs between the root and a device, and the device
constexpr uint8_t CLASS_HUB = 9;
constexpr uint16_t LINUX_VENDOR = 0x1d6b, ROOT_HUB_2_0 = 0x0002;
constexpr uint16_t HUB_VENDOR = 0x05e3, HUB_PRODUCT = 0x0608;

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::string hex_bytes(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t value : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", value);
        text += digits;
    }
    return text;
}

// The device in umockdev-record's format, the one that also creates the
// device node.
std::string sysfs_record(const SysfsDevice& device, const std::string& devpath) {
    const std::string node = "bus/usb/" + dev3(device.bus) + "/" + dev3(device.devnum);
    const int minor = (device.bus - 1) * MINORS_PER_BUS + device.devnum - 1;
    const std::string ids = hex4(device.vendor) + "/" + hex4(device.product);
    std::string record = "P: " + devpath + "\n";
    record += "N: " + node + "\n";
    record += "E: DEVNAME=/dev/" + node + "\n";
    record += "E: DEVTYPE=usb_device\n";
    record += "E: DRIVER=usb\n";
    record += "E: SUBSYSTEM=usb\n";
    record += "E: BUSNUM=" + dev3(device.bus) + "\n";
    record += "E: DEVNUM=" + dev3(device.devnum) + "\n";
    record += "E: MAJOR=" + std::to_string(USB_MAJOR) + "\n";
    record += "E: MINOR=" + std::to_string(minor) + "\n";
    record += "E: PRODUCT=" + ids + "/100\n";
    record += "A: busnum=" + std::to_string(device.bus) + "\\n\n";
    record += "A: devnum=" + std::to_string(device.devnum) + "\\n\n";
    record += "A: dev=" + std::to_string(USB_MAJOR) + ":" + std::to_string(minor) + "\\n\n";
    record += "A: speed=" + std::to_string(device.speed) + "\\n\n";
    record += "A: bConfigurationValue=1\\n\n";
    record += "A: idVendor=" + hex4(device.vendor) + "\\n\n";
    record += "A: idProduct=" + hex4(device.product) + "\\n\n";
    if (!device.serial.empty()) record += "A: serial=" + device.serial + "\\n\n";
    if (!device.product_name.empty()) record += "A: product=" + device.product_name + "\\n\n";
    record += "H: descriptors=" + hex_bytes(device.descriptors) + "\n";
    return record;
}

// The sysfs path of a hub made earlier; "" when there is none.
std::string hub_path(UsbBus& bus, const std::string& name) {
    std::lock_guard<std::mutex> lock(bus.mu);
    for (size_t i = 0; i < bus.hubs.size(); ++i)
        if (bus.hubs[i] == name) return bus.hub_paths[i];
    return "";
}

} // namespace

bool parse_path(const std::string& path, int& bus, std::vector<int>& ports, int& config) {
    ports.clear();
    const char* cursor = path.c_str();
    char* end = nullptr;
    bus = static_cast<int>(std::strtol(cursor, &end, 10));
    if (end == cursor || *end != '-' || bus < 1 || bus > MAX_BUSES) return false;
    cursor = end + 1;
    for (;;) {
        const int port = static_cast<int>(std::strtol(cursor, &end, 10));
        if (end == cursor || port < 1 || port > MAX_PORT) return false;
        ports.push_back(port);
        cursor = end;
        if (*cursor == '.') {
            ++cursor;
            continue;
        }
        break;
    }
    if (*cursor != ':') return false;
    config = static_cast<int>(std::strtol(cursor + 1, &end, 10));
    return end != cursor + 1 && config >= 1 && ports.size() <= MAX_PORT_DEPTH;
}

std::string port_name(int bus, const std::vector<int>& ports, size_t depth) {
    std::string name = std::to_string(bus) + "-";
    for (size_t i = 0; i < depth; ++i)
        name += (i ? "." : "") + std::to_string(ports[i]);
    return name;
}

std::string dev3(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d", number);
    return text;
}

std::string add_sysfs_device(UMockdevTestbed* testbed, const SysfsDevice& device) {
    const std::string devpath =
        (device.parent.empty() ? std::string("/devices") : device.parent.substr(4)) + "/" +
        device.name;
    const std::string record = sysfs_record(device, devpath);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        std::fprintf(stderr, "brinlet-emu usb: %s: %s\n", devpath.c_str(),
                     error != nullptr ? error->message : "cannot add");
        g_clear_error(&error);
        return "";
    }
    return "/sys" + devpath;
}

std::string ensure_hubs(UsbBus& bus, int busnum, const std::vector<int>& ports) {
    std::string parent;
    for (size_t depth = 0; depth < ports.size(); ++depth) {
        const bool root = depth == 0;
        const std::string name =
            root ? "usb" + std::to_string(busnum) : port_name(busnum, ports, depth);
        std::string path = hub_path(bus, name);
        if (path.empty()) {
            SysfsDevice hub;
            hub.name = name;
            hub.parent = parent;
            hub.bus = busnum;
            {
                std::lock_guard<std::mutex> lock(bus.mu);
                hub.devnum = ++bus.next_devnum[busnum];
            }
            hub.speed = HIGH_SPEED;
            hub.vendor = LINUX_VENDOR;
            hub.product = ROOT_HUB_2_0;
            hub.descriptors = device_descriptor(CLASS_HUB, root ? LINUX_VENDOR : HUB_VENDOR,
                                                root ? ROOT_HUB_2_0 : HUB_PRODUCT, false, false);
            const Bytes config = hub_config_descriptor();
            hub.descriptors.insert(hub.descriptors.end(), config.begin(), config.end());
            hub.product_name = "hub";
            path = add_sysfs_device(bus.testbed.get(), hub);
            std::lock_guard<std::mutex> lock(bus.mu);
            bus.hubs.push_back(name);
            bus.hub_paths.push_back(path);
        }
        parent = path;
    }
    return parent;
}

} // namespace emu::usb
