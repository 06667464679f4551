// SPDX-License-Identifier: GPL-2.0-or-later
// The USB layer of the emulated readers: sysfs devices and usbdevfs ioctls
// for umockdev, in front of the reader emulator's protocol engine.
//
// Threads: umockdev calls the ioctl handlers on its own worker thread; a
// frame thread here advances the emulator clock, follows readers leaving
// and joining the bus, hands delayed reports to waiting IN transfers and
// answers reap requests that found nothing. Bus state is guarded by
// UsbBus::mu, taken before a Device's lock and never held across a call
// into the umockdev testbed (the testbed may wait for its worker thread,
// which may be waiting for UsbBus::mu).
#include "usb_bus.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device.h"
#include "world.h"

namespace emu::usb {

using detail::Bytes;
using detail::Device;
using detail::Handle;
using detail::Persona;
using detail::QReport;
using detail::Report;

namespace {

constexpr double FRAME_MS = 1;       // the frame thread's longest sleep, one full-speed frame
constexpr double REAP_HOLD_MS = 0.2; // an empty REAPURBNDELAY answers after this
constexpr int MAX_INTERFACES = 8;    // interfaces of one emulated device
constexpr int REPORT_PACKET = 64;    // wMaxPacketSize of the configuration endpoints
constexpr int KEYBOARD_PACKET = 8;   // boot keyboard report
constexpr int CONFIG_INTERVAL = 1;   // bInterval, frames
constexpr int KEYBOARD_INTERVAL = 10;
constexpr int HUB_INTERVAL = 12;
constexpr int USB_MAJOR = 189; // usb_device character devices
constexpr int SETUP_BYTES = 8;
constexpr uint16_t LANG_EN_US = 0x0409;
constexpr const char* HID_DRIVER = "usbhid";
constexpr const char* USBFS_DRIVER = "usbfs"; // what GETDRIVER names a claimed interface

// Descriptor types and requests of chapter 9 and the HID class.
constexpr uint8_t DT_DEVICE = 1, DT_CONFIG = 2, DT_STRING = 3, DT_INTERFACE = 4, DT_ENDPOINT = 5,
                  DT_HID = 0x21, DT_REPORT = 0x22;
constexpr uint8_t REQ_GET_STATUS = 0, REQ_GET_DESCRIPTOR = 6, REQ_GET_CONFIGURATION = 8,
                  REQ_GET_INTERFACE = 10;
constexpr uint8_t HID_GET_REPORT = 1, HID_GET_IDLE = 2, HID_SET_REPORT = 9, HID_SET_IDLE = 10,
                  HID_SET_PROTOCOL = 11;
constexpr uint8_t CLASS_HID = 3, CLASS_HUB = 9, CLASS_VENDOR = 0xFF;
constexpr uint8_t EP_IN = 0x80, EP_INTERRUPT = 3;

// The configuration link: vendor page, 64-byte input and output reports,
// no report IDs.
const uint8_t CONFIG_REPORT_DESC[] = {
    0x06, 0x00, 0xFF, // usage page (vendor 0xFF00)
    0x09, 0x01,       // usage 1
    0xA1, 0x01,       // collection (application)
    0x15, 0x00,       //   logical minimum 0
    0x26, 0xFF, 0x00, //   logical maximum 255
    0x75, 0x08,       //   report size 8
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x81, 0x02,       //   input (data, variable, absolute)
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x91, 0x02,       //   output (data, variable, absolute)
    0xC0,             // end collection
};

// The keyboard of a keyboard personality: the boot keyboard report.
const uint8_t KEYBOARD_REPORT_DESC[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

// One reference to a GObject, dropped with its holder.
struct GUnref {
    void operator()(void* p) const { g_object_unref(p); }
};
template <class T> using GRef = std::unique_ptr<T, GUnref>;
// Takes a reference of its own to obj.
template <class T> GRef<T> gref(T* obj) {
    if (obj != nullptr) g_object_ref(obj);
    return GRef<T>(obj);
}

enum class IfaceKind { Config, Keyboard, Vendor };

struct Iface {
    int number = 0;
    IfaceKind kind = IfaceKind::Vendor;
    uint8_t ep_in = 0;  // 0: none
    uint8_t ep_out = 0; // 0: none
    bool driver_bound = false;
    void* claimed_by = nullptr; // the Client that claimed it
};

struct UsbDev;

// One submitted URB; its memory lives in the client process and is written
// back when the URB is reaped.
struct Urb {
    GRef<UMockdevIoctlData> arg;      // SUBMITURB's argument, owning the resolved URB
    UMockdevIoctlData* urb = nullptr; // the usbdevfs_urb
    UMockdevIoctlData* buf = nullptr; // its buffer
    unsigned long addr = 0;           // the URB's address in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int status = 0;
    int actual = 0;
    Bytes in_data; // bytes for the host (IN transfers)
};

// One open file descriptor on a usbdevfs node.
struct Client {
    GRef<UMockdevIoctlClient> client;
    UsbDev* usb = nullptr;
    std::deque<Urb> waiting;             // IN transfers the device has not answered
    std::deque<Urb> done;                // completed, to be reaped
    GRef<UMockdevIoctlClient> held_reap; // a reap that found nothing, answered later
    GRef<UMockdevIoctlData> held_arg;
    double held_until = 0;
    std::unique_ptr<Handle> handles[MAX_INTERFACES]; // claimed HID interfaces, by slot
};

// One appearance of a reader on the bus (a restart is a new appearance).
struct UsbDev {
    UsbBus* bus = nullptr;
    std::shared_ptr<Device> dev;
    std::string name;
    int gen = 0;
    bool online = false;
    Persona persona;
    std::string serial;
    bool has_serial = false;
    std::string manufacturer, product_name;
    int busnum = 1, devnum = 0, config_value = 1;
    std::string syspath, devnode;
    GRef<UMockdevIoctlBase> handler;
    Bytes device_desc, config_desc;
    Iface ifaces[MAX_INTERFACES];
    int iface_count = 0;
    UsbCounters counters;
};

} // namespace

struct UsbBus {
    std::mutex mu;
    GRef<UMockdevTestbed> testbed;
    std::vector<std::unique_ptr<UsbDev>> devs;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::string> hubs; // sysfs names of the hubs created, e.g. "usb1", "1-4"
    std::vector<std::string> hub_paths;
    int next_devnum[8] = {};
    std::condition_variable wake; // a reap was held: the frame thread sleeps less
    std::thread frame;
    std::atomic<bool> stop{false};
};

namespace {

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes device_descriptor(uint8_t dev_class, uint16_t vendor, uint16_t product, bool strings,
                        bool serial) {
    Bytes d = {18, DT_DEVICE};
    put16(d, 0x0200); // USB 2.0
    d.push_back(dev_class);
    d.push_back(0);
    d.push_back(0);
    d.push_back(64); // bMaxPacketSize0
    put16(d, vendor);
    put16(d, product);
    put16(d, 0x0100); // bcdDevice
    d.push_back(strings ? 1 : 0);
    d.push_back(strings ? 2 : 0);
    d.push_back(serial ? 3 : 0);
    d.push_back(1); // one configuration
    return d;
}

void add_endpoint(Bytes& c, uint8_t address, uint16_t packet, uint8_t interval) {
    c.insert(c.end(), {7, DT_ENDPOINT, address, EP_INTERRUPT});
    put16(c, packet);
    c.push_back(interval);
}

void add_hid(Bytes& c, size_t report_desc_len) {
    c.insert(c.end(), {9, DT_HID, 0x11, 0x01, 0, 1, DT_REPORT});
    put16(c, static_cast<uint16_t>(report_desc_len));
}

void add_interface(Bytes& c, const Iface& f) {
    const uint8_t endpoints = (f.ep_in ? 1 : 0) + (f.ep_out ? 1 : 0);
    const uint8_t cls = f.kind == IfaceKind::Vendor ? CLASS_VENDOR : CLASS_HID;
    const uint8_t sub = f.kind == IfaceKind::Keyboard ? 1 : 0; // boot interface
    const uint8_t proto = f.kind == IfaceKind::Keyboard ? 1 : 0;
    c.insert(c.end(),
             {9, DT_INTERFACE, static_cast<uint8_t>(f.number), 0, endpoints, cls, sub, proto, 0});
    if (f.kind == IfaceKind::Config) {
        add_hid(c, sizeof CONFIG_REPORT_DESC);
        add_endpoint(c, f.ep_in, REPORT_PACKET, CONFIG_INTERVAL);
        add_endpoint(c, f.ep_out, REPORT_PACKET, CONFIG_INTERVAL);
    } else if (f.kind == IfaceKind::Keyboard) {
        add_hid(c, sizeof KEYBOARD_REPORT_DESC);
        add_endpoint(c, f.ep_in, KEYBOARD_PACKET, KEYBOARD_INTERVAL);
    }
}

Bytes config_descriptor(const Iface* ifaces, int count, int config_value) {
    Bytes c = {9, DT_CONFIG, 0, 0, static_cast<uint8_t>(count), static_cast<uint8_t>(config_value),
               0, 0x80,      50};
    for (int i = 0; i < count; ++i)
        add_interface(c, ifaces[i]);
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

Bytes hub_config_descriptor() {
    Bytes c = {9, DT_CONFIG, 25, 0, 1, 1, 0, 0xE0, 0};
    c.insert(c.end(), {9, DT_INTERFACE, 0, 0, 1, CLASS_HUB, 0, 0, 0});
    add_endpoint(c, EP_IN | 1, 1, HUB_INTERVAL);
    return c;
}

Bytes string_descriptor(const std::string& s) {
    Bytes d = {static_cast<uint8_t>(2 + 2 * s.size()), DT_STRING};
    for (unsigned char ch : s)
        put16(d, ch);
    return d;
}

// "1-4.2:1.1" -> bus 1, ports {4, 2}, configuration 1. false when the path
// is not of that form.
bool parse_path(const std::string& path, int& bus, std::vector<int>& ports, int& config) {
    ports.clear();
    const char* p = path.c_str();
    char* end = nullptr;
    bus = static_cast<int>(std::strtol(p, &end, 10));
    if (end == p || *end != '-' || bus < 1 || bus > 7) return false;
    p = end + 1;
    for (;;) {
        const int port = static_cast<int>(std::strtol(p, &end, 10));
        if (end == p || port < 1 || port > 31) return false;
        ports.push_back(port);
        p = end;
        if (*p == '.') {
            ++p;
            continue;
        }
        break;
    }
    if (*p != ':') return false;
    config = static_cast<int>(std::strtol(p + 1, &end, 10));
    return end != p + 1 && config >= 1 && ports.size() <= 6;
}

std::string port_name(int bus, const std::vector<int>& ports, size_t depth) {
    std::string s = std::to_string(bus) + "-";
    for (size_t i = 0; i < depth; ++i)
        s += (i ? "." : "") + std::to_string(ports[i]);
    return s;
}

std::string hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
    return b;
}

std::string dev3(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%03d", v);
    return b;
}

std::string hex_bytes(const Bytes& b) {
    std::string s;
    char x[4];
    for (uint8_t v : b) {
        std::snprintf(x, sizeof x, "%02X", v);
        s += x;
    }
    return s;
}

// Adds one usb_device below the parent's sysfs path (empty: the root);
// its sysfs path, "" on failure. The record format (umockdev-record's) is
// the one that also creates the device node. No bus lock held (see the
// top of the file).
std::string add_sysfs_device(UMockdevTestbed* tb, const std::string& name,
                             const std::string& parent, int bus, int devnum, int speed,
                             uint16_t vendor, uint16_t product, const Bytes& descriptors,
                             const std::string& serial, const std::string& product_name) {
    const std::string devpath =
        (parent.empty() ? std::string("/devices") : parent.substr(4)) + "/" + name;
    const std::string node = "bus/usb/" + dev3(bus) + "/" + dev3(devnum);
    const int minor = (bus - 1) * 128 + devnum - 1;
    std::string r = "P: " + devpath + "\n";
    r += "N: " + node + "\n";
    r += "E: DEVNAME=/dev/" + node + "\n";
    r += "E: DEVTYPE=usb_device\n";
    r += "E: DRIVER=usb\n";
    r += "E: SUBSYSTEM=usb\n";
    r += "E: BUSNUM=" + dev3(bus) + "\n";
    r += "E: DEVNUM=" + dev3(devnum) + "\n";
    r += "E: MAJOR=" + std::to_string(USB_MAJOR) + "\n";
    r += "E: MINOR=" + std::to_string(minor) + "\n";
    r += "E: PRODUCT=" + hex4(vendor) + "/" + hex4(product) + "/100\n";
    r += "A: busnum=" + std::to_string(bus) + "\\n\n";
    r += "A: devnum=" + std::to_string(devnum) + "\\n\n";
    r += "A: dev=" + std::to_string(USB_MAJOR) + ":" + std::to_string(minor) + "\\n\n";
    r += "A: speed=" + std::to_string(speed) + "\\n\n";
    r += "A: bConfigurationValue=1\\n\n";
    r += "A: idVendor=" + hex4(vendor) + "\\n\n";
    r += "A: idProduct=" + hex4(product) + "\\n\n";
    if (!serial.empty()) r += "A: serial=" + serial + "\\n\n";
    if (!product_name.empty()) r += "A: product=" + product_name + "\\n\n";
    r += "H: descriptors=" + hex_bytes(descriptors) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(tb, r.c_str(), &error)) {
        std::fprintf(stderr, "brinlet-emu usb: %s: %s\n", devpath.c_str(),
                     error != nullptr ? error->message : "cannot add");
        g_clear_error(&error);
        return "";
    }
    return "/sys" + devpath;
}

// ---- URB completion ----

// Writes the URB's outcome into the client's memory and hands its address
// to the reap request.
void deliver(UMockdevIoctlClient* client, UMockdevIoctlData* reap_arg, Urb& u) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    urb->status = u.status;
    urb->actual_length = u.actual;
    if (!u.in_data.empty() && u.buf != nullptr) {
        const size_t offset = u.type == USBDEVFS_URB_TYPE_CONTROL ? SETUP_BYTES : 0;
        const size_t room = static_cast<size_t>(u.buf->data_len) - offset;
        std::memcpy(u.buf->data + offset, u.in_data.data(), std::min(room, u.in_data.size()));
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(reap_arg, 0, sizeof(void*), nullptr);
    if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, u.urb)) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    } else {
        umockdev_ioctl_client_complete(client, 0, 0);
    }
    u.arg.reset();
}

void finish(Client& c, Urb u, int status, int actual) {
    u.status = status;
    u.actual = actual;
    c.done.push_back(std::move(u));
    if (c.held_reap) {
        Urb first = std::move(c.done.front());
        c.done.pop_front();
        deliver(c.held_reap.get(), c.held_arg.get(), first);
        c.held_reap.reset();
        c.held_arg.reset();
    }
}

Iface* iface_of_endpoint(UsbDev& u, uint8_t endpoint) {
    for (int i = 0; i < u.iface_count; ++i)
        if (endpoint != 0 && (u.ifaces[i].ep_in == endpoint || u.ifaces[i].ep_out == endpoint))
            return &u.ifaces[i];
    return nullptr;
}

Iface* iface_by_number(UsbDev& u, int number) {
    for (int i = 0; i < u.iface_count; ++i)
        if (u.ifaces[i].number == number) return &u.ifaces[i];
    return nullptr;
}

// Moves reports the reader has ready into the client's waiting IN
// transfers of the configuration interface. Bus lock held.
void feed_in(UsbDev& u, Client& c) {
    if (!u.online) return;
    Device& d = *u.dev;
    for (auto it = c.waiting.begin(); it != c.waiting.end();) {
        Iface* f = iface_of_endpoint(u, it->endpoint);
        Handle* h = f != nullptr ? c.handles[f - u.ifaces].get() : nullptr;
        if (f == nullptr || f->kind != IfaceKind::Config || h == nullptr) {
            ++it;
            continue;
        }
        QReport q;
        int r = -1;
        bool dead;
        {
            std::lock_guard<std::mutex> g(d.mu);
            // Reports still in a departed reader's buffer never cross the bus.
            dead = h->dead;
            if (!dead) r = detail::take_report(d, h, q, detail::clock_ms());
        }
        if (r == 0) break;
        Urb urb = std::move(*it);
        it = c.waiting.erase(it);
        if (r < 0) {
            // A read the reader's script makes fail: the host sees a
            // transfer error and asks again.
            finish(c, std::move(urb), dead ? -ESHUTDOWN : -EPROTO, 0);
            continue;
        }
        const int n = std::min(q.length, static_cast<int>(urb.buf ? urb.buf->data_len : 0));
        urb.in_data.assign(q.bytes.begin(), q.bytes.begin() + n);
        finish(c, std::move(urb), 0, n);
    }
}

void feed_device(UsbBus& bus, UsbDev& u) {
    for (auto& c : bus.clients)
        if (c->usb == &u) feed_in(u, *c);
}

// ---- control transfers ----

// The answer to a control request: its data (IN) and whether it stalls.
struct ControlAnswer {
    bool stall = false;
    Bytes data;
};

ControlAnswer get_string(UsbDev& u, uint8_t index) {
    ++u.counters.string_requests;
    if (index == 0) return {false, {4, DT_STRING, LANG_EN_US & 0xFF, LANG_EN_US >> 8}};
    if (index == 1 && !u.manufacturer.empty()) return {false, string_descriptor(u.manufacturer)};
    if (index == 2) return {false, string_descriptor(u.product_name)};
    if (index == 3 && u.has_serial) return {false, string_descriptor(u.serial)};
    return {true, {}};
}

ControlAnswer standard_in(UsbDev& u, uint8_t request, uint16_t value) {
    const uint8_t type = value >> 8;
    if (request == REQ_GET_DESCRIPTOR && type == DT_DEVICE) return {false, u.device_desc};
    if (request == REQ_GET_DESCRIPTOR && type == DT_CONFIG) return {false, u.config_desc};
    if (request == REQ_GET_DESCRIPTOR && type == DT_STRING)
        return get_string(u, static_cast<uint8_t>(value & 0xFF));
    if (request == REQ_GET_STATUS) return {false, {0, 0}};
    if (request == REQ_GET_CONFIGURATION) return {false, {static_cast<uint8_t>(u.config_value)}};
    return {true, {}};
}

ControlAnswer interface_in(UsbDev& u, uint8_t request, uint16_t value, uint16_t index) {
    Iface* f = iface_by_number(u, index & 0xFF);
    if (f == nullptr || f->kind == IfaceKind::Vendor) return {true, {}};
    if (request == REQ_GET_DESCRIPTOR && (value >> 8) == DT_REPORT) {
        if (f->kind == IfaceKind::Config)
            return {false, Bytes(std::begin(CONFIG_REPORT_DESC), std::end(CONFIG_REPORT_DESC))};
        return {false, Bytes(std::begin(KEYBOARD_REPORT_DESC), std::end(KEYBOARD_REPORT_DESC))};
    }
    if (request == REQ_GET_INTERFACE) return {false, {0}};
    return {true, {}};
}

ControlAnswer class_request(UsbDev& u, uint8_t request_type, uint8_t request, uint16_t index) {
    Iface* f = iface_by_number(u, index & 0xFF);
    if (f == nullptr || f->kind == IfaceKind::Vendor) return {true, {}};
    if (request_type == 0x21 &&
        (request == HID_SET_IDLE || request == HID_SET_PROTOCOL || request == HID_SET_REPORT))
        return {false, {}};
    if (request_type == 0xA1 && request == HID_GET_IDLE) return {false, {0}};
    if (request_type == 0xA1 && request == HID_GET_REPORT) return {true, {}};
    return {true, {}};
}

ControlAnswer control(UsbDev& u, const uint8_t* setup) {
    const uint8_t request_type = setup[0], request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    if (request_type == 0x80) return standard_in(u, request, value);
    if (request_type == 0x81) return interface_in(u, request, value, index);
    if ((request_type & 0x60) == 0x20) return class_request(u, request_type, request, index);
    if (request_type == 0x00 || request_type == 0x01) return {false, {}}; // SET_* standard
    return {true, {}};
}

// ---- ioctls ----

void complete(UMockdevIoctlClient* client, int errno_value) {
    umockdev_ioctl_client_complete(client, errno_value == 0 ? 0 : -1, errno_value);
}

Client* client_of(UsbBus& bus, UsbDev& u, UMockdevIoctlClient* client) {
    for (auto& c : bus.clients)
        if (c->client.get() == client) return c.get();
    auto c = std::make_unique<Client>();
    c->client = gref(client);
    c->usb = &u;
    bus.clients.push_back(std::move(c));
    return bus.clients.back().get();
}

void update_driver_counters(UsbDev& u) {
    u.counters.driver_on_config = 0;
    u.counters.driver_on_others = 0;
    u.counters.claimed_config = 0;
    for (int i = 0; i < u.iface_count; ++i) {
        const Iface& f = u.ifaces[i];
        if (f.kind == IfaceKind::Config) {
            u.counters.driver_on_config = f.driver_bound ? 1 : 0;
            u.counters.claimed_config = f.claimed_by != nullptr ? 1 : 0;
        } else if (f.driver_bound) {
            ++u.counters.driver_on_others;
        }
    }
}

bool read_uint(UMockdevIoctlData* arg, unsigned& out) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (d == nullptr) return false;
    std::memcpy(&out, d->data, sizeof out);
    return true;
}

int claim(UsbDev& u, Client& c, unsigned number) {
    Iface* f = iface_by_number(u, static_cast<int>(number));
    if (f == nullptr) return EINVAL;
    if (f->claimed_by == &c) return 0;
    if (f->claimed_by != nullptr || f->driver_bound) return EBUSY;
    f->claimed_by = &c;
    ++u.counters.claims;
    if (f->kind != IfaceKind::Vendor) {
        auto h = std::make_unique<Handle>();
        h->dev = u.dev;
        h->iface = f->number;
        h->config = f->kind == IfaceKind::Config;
        std::lock_guard<std::mutex> g(u.dev->mu);
        detail::on_open(*u.dev, h.get(), detail::clock_ms());
        c.handles[f - u.ifaces] = std::move(h);
    }
    update_driver_counters(u);
    return 0;
}

void drop_handle(UsbDev& u, Client& c, int slot) {
    Handle* h = c.handles[slot].get();
    if (h == nullptr) return;
    {
        std::lock_guard<std::mutex> g(u.dev->mu);
        detail::on_close(*u.dev, h, detail::clock_ms());
    }
    c.handles[slot].reset();
}

int release(UsbDev& u, Client& c, unsigned number) {
    Iface* f = iface_by_number(u, static_cast<int>(number));
    if (f == nullptr || f->claimed_by != &c) return EINVAL;
    // The kernel ends the interface's transfers before it lets go.
    for (auto it = c.waiting.begin(); it != c.waiting.end();) {
        if (iface_of_endpoint(u, it->endpoint) == f) {
            Urb urb = std::move(*it);
            it = c.waiting.erase(it);
            finish(c, std::move(urb), -ENOENT, 0);
        } else {
            ++it;
        }
    }
    drop_handle(u, c, static_cast<int>(f - u.ifaces));
    f->claimed_by = nullptr;
    ++u.counters.releases;
    update_driver_counters(u);
    return 0;
}

int driver_ioctl(UsbDev& u, Client& c, int ifno, int code) {
    Iface* f = iface_by_number(u, ifno);
    if (f == nullptr) return EINVAL;
    if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (!f->driver_bound) return ENODATA;
        f->driver_bound = false;
    } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (f->claimed_by != nullptr && f->claimed_by != &c) return EBUSY;
        if (f->claimed_by == &c) return EBUSY;
        if (f->kind != IfaceKind::Vendor) {
            f->driver_bound = true;
        }
    } else {
        return ENOTTY;
    }
    update_driver_counters(u);
    return 0;
}

void get_driver(UsbDev& u, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
    if (d == nullptr) return complete(client, EFAULT);
    auto* gd = reinterpret_cast<usbdevfs_getdriver*>(d->data);
    Iface* f = iface_by_number(u, static_cast<int>(gd->interface));
    if (f == nullptr) return complete(client, EINVAL);
    const char* name = f->claimed_by != nullptr ? USBFS_DRIVER : f->driver_bound ? HID_DRIVER : "";
    if (*name == '\0') return complete(client, ENODATA);
    std::snprintf(gd->driver, sizeof gd->driver, "%s", name);
    complete(client, 0);
}

void usb_ioctl(UsbDev& u, Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
    if (d == nullptr) return complete(client, EFAULT);
    auto* io = reinterpret_cast<usbdevfs_ioctl*>(d->data);
    complete(client, driver_ioctl(u, c, io->ifno, io->ioctl_code));
}

void disconnect_claim(UsbDev& u, Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
    if (d == nullptr) return complete(client, EFAULT);
    auto* dc = reinterpret_cast<usbdevfs_disconnect_claim*>(d->data);
    Iface* f = iface_by_number(u, static_cast<int>(dc->interface));
    if (f == nullptr) return complete(client, EINVAL);
    if (f->driver_bound) {
        f->driver_bound = false;
    }
    complete(client, claim(u, c, dc->interface));
}

void submit_control(UsbDev& u, Client& c, Urb urb) {
    if (urb.buf == nullptr || urb.buf->data_len < SETUP_BYTES) {
        finish(c, std::move(urb), -EINVAL, 0);
        return;
    }
    const uint8_t* setup = urb.buf->data;
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    ControlAnswer a = control(u, setup);
    if (a.stall) {
        finish(c, std::move(urb), -EPIPE, 0);
        return;
    }
    if ((setup[0] & EP_IN) == 0) {
        finish(c, std::move(urb), 0, length);
        return;
    }
    if (a.data.size() > length) a.data.resize(length);
    const int n = static_cast<int>(a.data.size());
    urb.in_data = std::move(a.data);
    finish(c, std::move(urb), 0, n);
}

// An OUT report on the configuration interface goes to the reader engine
// as hid_write would deliver it.
int submit_out(UsbDev& u, Client& c, Urb urb, Iface& f) {
    Handle* h = c.handles[&f - u.ifaces].get();
    if (h == nullptr) return EBUSY;
    Report r{};
    const int n = std::min(urb.buf ? urb.buf->data_len : 0, detail::REPORT_BYTES);
    if (n > 0) std::memcpy(r.data(), urb.buf->data, static_cast<size_t>(n));
    int w;
    bool gone;
    {
        std::lock_guard<std::mutex> g(u.dev->mu);
        w = detail::host_write(*u.dev, h, r, detail::clock_ms());
        gone = h->dead || !u.dev->present;
    }
    if (w < 0 && gone) return ENODEV;
    ++u.counters.reports_out;
    // A write the reader's script makes fail looks like a stalled endpoint.
    const int sent = w < 0 || urb.buf == nullptr ? 0 : urb.buf->data_len;
    finish(c, std::move(urb), w < 0 ? -EPIPE : 0, sent);
    feed_in(u, c);
    return 0;
}

int submit(UsbDev& u, Client& c, UMockdevIoctlData* arg) {
    UMockdevIoctlData* ud = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (ud == nullptr) return EFAULT;
    auto* raw = reinterpret_cast<usbdevfs_urb*>(ud->data);
    Urb urb;
    urb.type = raw->type;
    urb.endpoint = raw->endpoint;
    urb.addr = ud->client_addr;
    urb.urb = ud;
    if (raw->buffer_length > 0) {
        urb.buf = umockdev_ioctl_data_resolve(ud, offsetof(usbdevfs_urb, buffer),
                                              static_cast<gsize>(raw->buffer_length), nullptr);
        if (urb.buf == nullptr) return EFAULT;
    }
    urb.arg = gref(arg);
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        submit_control(u, c, std::move(urb));
        return 0;
    }
    Iface* f = iface_of_endpoint(u, urb.endpoint);
    if (f == nullptr) return ENOENT;
    if (urb.type != USBDEVFS_URB_TYPE_INTERRUPT || f->claimed_by != &c) return EINVAL;
    if ((urb.endpoint & EP_IN) == 0)
        return f->kind == IfaceKind::Config ? submit_out(u, c, std::move(urb), *f) : EINVAL;
    c.waiting.push_back(std::move(urb));
    feed_in(u, c);
    return 0;
}

int discard(Client& c, UMockdevIoctlData* arg) {
    unsigned long addr = 0;
    std::memcpy(&addr, arg->data, std::min(sizeof addr, static_cast<size_t>(arg->data_len)));
    for (auto it = c.waiting.begin(); it != c.waiting.end(); ++it) {
        if (it->addr != addr) continue;
        Urb urb = std::move(*it);
        c.waiting.erase(it);
        finish(c, std::move(urb), -ENOENT, 0);
        return 0;
    }
    return EINVAL;
}

void reap(Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (!c.done.empty()) {
        Urb urb = std::move(c.done.front());
        c.done.pop_front();
        deliver(client, arg, urb);
        return;
    }
    if (c.held_reap) return complete(client, EAGAIN); // another thread asks
    // Nothing to reap. The emulated node is always writable, so libusb
    // would come straight back: answer one frame later, or as soon as a
    // transfer completes.
    c.held_reap = gref(client);
    c.held_arg = gref(arg);
    c.held_until = detail::clock_ms() + REAP_HOLD_MS;
    c.usb->bus->wake.notify_one();
}

void get_capabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
    if (d == nullptr) return complete(client, EFAULT);
    const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                          USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    std::memcpy(d->data, &caps, sizeof caps);
    complete(client, 0);
}

void connect_info(UsbDev& u, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), nullptr);
    if (d == nullptr) return complete(client, EFAULT);
    auto* ci = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
    ci->devnum = static_cast<unsigned>(u.devnum);
    ci->slow = 0; // full speed
    complete(client, 0);
}

// A node whose device left the bus: completed transfers can still be
// reaped, everything else fails with ENODEV.
void answer_gone(UsbDev& u, Client& c, UMockdevIoctlClient* client, unsigned long request,
                 UMockdevIoctlData* arg) {
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(c, client, arg); // held a frame, then ENODEV
    // The host still lets go of what it held; the kernel forgets the claim
    // of a disconnected device and answers ENODEV all the same.
    unsigned n = 0;
    if (request == USBDEVFS_RELEASEINTERFACE && read_uint(arg, n)) release(u, c, n);
    complete(client, ENODEV);
}

void answer(UsbDev& u, Client& c, UMockdevIoctlClient* client, unsigned long request,
            UMockdevIoctlData* arg) {
    unsigned n = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        return get_capabilities(client, arg);
    case USBDEVFS_CONNECTINFO:
        return connect_info(u, client, arg);
    case USBDEVFS_CLAIMINTERFACE:
        return complete(client, read_uint(arg, n) ? claim(u, c, n) : EFAULT);
    case USBDEVFS_RELEASEINTERFACE:
        return complete(client, read_uint(arg, n) ? release(u, c, n) : EFAULT);
    case USBDEVFS_GETDRIVER:
        return get_driver(u, client, arg);
    case USBDEVFS_IOCTL:
        return usb_ioctl(u, c, client, arg);
    case USBDEVFS_DISCONNECT_CLAIM:
        return disconnect_claim(u, c, client, arg);
    case USBDEVFS_SUBMITURB:
        return complete(client, submit(u, c, arg));
    case USBDEVFS_DISCARDURB:
        return complete(client, discard(c, arg));
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return reap(c, client, arg);
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        return complete(client, 0);
    default:
        return complete(client, ENOTTY);
    }
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* u = static_cast<UsbDev*>(user);
    std::lock_guard<std::mutex> g(u->bus->mu);
    Client& c = *client_of(*u->bus, *u, client);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (u->online || (reaping && !c.done.empty()))
        answer(*u, c, client, request, arg);
    else
        answer_gone(*u, c, client, request, arg);
    return TRUE;
}

// Lets go of everything the client held: its claims (the reader sees the
// interface closed) and a reap still waiting.
void drop_client(Client& c) {
    UsbDev& u = *c.usb;
    for (int i = 0; i < u.iface_count; ++i) {
        if (u.ifaces[i].claimed_by != &c) continue;
        if (u.online) drop_handle(u, c, i);
        u.ifaces[i].claimed_by = nullptr;
    }
    for (auto& h : c.handles)
        h.reset();
    c.waiting.clear();
    c.done.clear();
    if (c.held_reap) umockdev_ioctl_client_complete(c.held_reap.get(), -1, EAGAIN);
    c.held_reap.reset();
    c.held_arg.reset();
    update_driver_counters(u);
}

void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* u = static_cast<UsbDev*>(user);
    UsbBus& bus = *u->bus;
    std::lock_guard<std::mutex> g(bus.mu);
    for (auto it = bus.clients.begin(); it != bus.clients.end(); ++it) {
        if ((*it)->client.get() != client) continue;
        drop_client(**it);
        bus.clients.erase(it);
        return;
    }
}

void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* u = static_cast<UsbDev*>(user);
    std::lock_guard<std::mutex> g(u->bus->mu);
    client_of(*u->bus, *u, client);
}

// ---- presence ----

void build_interfaces(UsbDev& u) {
    int top = u.persona.iface;
    for (int e : u.persona.extras)
        top = std::max(top, e);
    top = std::min(top, MAX_INTERFACES - 1);
    uint8_t next_in = 1, next_out = 1;
    u.iface_count = top + 1;
    for (int i = 0; i <= top; ++i) {
        Iface& f = u.ifaces[i];
        f = Iface{};
        f.number = i;
        const bool extra = std::find(u.persona.extras.begin(), u.persona.extras.end(), i) !=
                           u.persona.extras.end();
        if (i == u.persona.iface) {
            f.kind = IfaceKind::Config;
            f.ep_in = EP_IN | next_in++;
            f.ep_out = next_out++;
        } else if (extra) {
            f.kind = IfaceKind::Keyboard;
            f.ep_in = EP_IN | next_in++;
        }
        f.driver_bound = f.kind != IfaceKind::Vendor;
    }
    update_driver_counters(u);
}

// A new appearance of the device as it is now on the emulated bus. Device
// lock held.
std::unique_ptr<UsbDev> describe(UsbBus& bus, const std::shared_ptr<Device>& d) {
    auto u = std::make_unique<UsbDev>();
    u->bus = &bus;
    u->dev = d;
    u->name = d->name;
    u->gen = d->gen;
    u->persona = d->persona;
    u->has_serial = d->decl.serial && !d->decl.serial->empty();
    u->serial = d->decl.serial.value_or("");
    const bool reader = d->persona.vendor == emu::READER_VENDOR_ID;
    const detail::Personality* p = detail::find_personality(d->persona.product);
    u->manufacturer = reader ? "Norvane" : "";
    u->product_name = p != nullptr && reader ? p->name : "HID device";
    build_interfaces(*u);
    u->device_desc =
        device_descriptor(0, d->persona.vendor, d->persona.product, true, u->has_serial);
    if (u->manufacturer.empty()) u->device_desc[14] = 0;
    return u;
}

// The hubs between the root and the device; the parent's sysfs path.
std::string ensure_hubs(UsbBus& bus, int busnum, const std::vector<int>& ports) {
    std::string parent;
    for (size_t depth = 0; depth < ports.size(); ++depth) {
        const std::string name =
            depth == 0 ? "usb" + std::to_string(busnum) : port_name(busnum, ports, depth);
        std::string path;
        {
            std::lock_guard<std::mutex> g(bus.mu);
            for (size_t i = 0; i < bus.hubs.size(); ++i)
                if (bus.hubs[i] == name) path = bus.hub_paths[i];
        }
        if (path.empty()) {
            int devnum;
            {
                std::lock_guard<std::mutex> g(bus.mu);
                devnum = ++bus.next_devnum[busnum];
            }
            Bytes desc = device_descriptor(CLASS_HUB, depth == 0 ? 0x1d6b : 0x05e3,
                                           depth == 0 ? 0x0002 : 0x0608, false, false);
            Bytes cfg = hub_config_descriptor();
            desc.insert(desc.end(), cfg.begin(), cfg.end());
            path = add_sysfs_device(bus.testbed.get(), name, parent, busnum, devnum,
                                    depth == 0 ? 480 : 480, 0x1d6b, 0x0002, desc, "", "hub");
            std::lock_guard<std::mutex> g(bus.mu);
            bus.hubs.push_back(name);
            bus.hub_paths.push_back(path);
        }
        parent = path;
    }
    return parent;
}

// Puts the device on the bus. No bus lock held.
void plug(UsbBus& bus, std::unique_ptr<UsbDev> u) {
    int busnum = 1, config = 1;
    std::vector<int> ports;
    if (!parse_path(u->persona.path, busnum, ports, config)) {
        busnum = 1;
        ports = {u->dev->index};
        config = 1;
    }
    u->config_value = config;
    u->busnum = busnum;
    u->config_desc = config_descriptor(u->ifaces, u->iface_count, config);
    const std::string parent = ensure_hubs(bus, busnum, ports);
    {
        std::lock_guard<std::mutex> g(bus.mu);
        u->devnum = ++bus.next_devnum[busnum];
    }
    Bytes desc = u->device_desc;
    desc.insert(desc.end(), u->config_desc.begin(), u->config_desc.end());
    u->devnode = "/dev/bus/usb/" + dev3(busnum) + "/" + dev3(u->devnum);
    u->handler = GRef<UMockdevIoctlBase>(umockdev_ioctl_base_new());
    g_signal_connect(u->handler.get(), "handle-ioctl", G_CALLBACK(on_ioctl), u.get());
    g_signal_connect(u->handler.get(), "client-vanished", G_CALLBACK(on_vanished), u.get());
    g_signal_connect(u->handler.get(), "client-connected", G_CALLBACK(on_connected), u.get());
    UsbDev* raw = u.get();
    {
        std::lock_guard<std::mutex> g(bus.mu);
        u->online = true;
        bus.devs.push_back(std::move(u));
    }
    // The node must answer before the add event tells anyone it exists.
    const std::string name = port_name(busnum, ports, ports.size());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bus.testbed.get(), raw->devnode.c_str(), raw->handler.get(),
                                       &error)) {
        std::fprintf(stderr, "brinlet-emu usb: %s: %s\n", raw->devnode.c_str(),
                     error != nullptr ? error->message : "cannot attach");
        g_clear_error(&error);
    }
    const std::string syspath = add_sysfs_device(
        bus.testbed.get(), name, parent, busnum, raw->devnum, 12, raw->persona.vendor,
        raw->persona.product, desc, raw->has_serial ? raw->serial : "", raw->product_name);
    std::lock_guard<std::mutex> g(bus.mu);
    raw->syspath = syspath;
}

// The device left the bus: its transfers end as the kernel ends them on a
// disconnect, further requests fail with ENODEV. Bus lock held.
void mark_gone(UsbBus& bus, UsbDev& u) {
    u.online = false;
    for (auto& c : bus.clients) {
        if (c->usb != &u) continue;
        while (!c->waiting.empty()) {
            Urb urb = std::move(c->waiting.front());
            c->waiting.pop_front();
            finish(*c, std::move(urb), -ESHUTDOWN, 0);
        }
        for (int i = 0; i < MAX_INTERFACES; ++i)
            if (c->handles[i]) c->handles[i]->dead = true;
    }
}

void unplug(UsbBus& bus, UsbDev& u) {
    std::string syspath;
    {
        std::lock_guard<std::mutex> g(bus.mu);
        mark_gone(bus, u);
        syspath = u.syspath;
    }
    if (syspath.empty()) return;
    umockdev_testbed_uevent(bus.testbed.get(), syspath.c_str(), "remove");
    umockdev_testbed_remove_device(bus.testbed.get(), syspath.c_str());
}

// Follows the readers of the scenario onto and off the bus.
void sync_presence(UsbBus& bus) {
    for (const std::shared_ptr<Device>& d : detail::all_devices()) {
        UsbDev* current = nullptr;
        {
            std::lock_guard<std::mutex> g(bus.mu);
            for (auto& u : bus.devs)
                if (u->dev == d && u->online) current = u.get();
        }
        std::unique_ptr<UsbDev> fresh;
        bool leave = false;
        {
            std::lock_guard<std::mutex> g(d->mu);
            if (current != nullptr && (!d->present || d->gen != current->gen)) leave = true;
            if (d->present && (current == nullptr || d->gen != current->gen))
                fresh = describe(bus, d);
        }
        if (leave) unplug(bus, *current);
        if (fresh) plug(bus, std::move(fresh));
    }
}

void answer_idle_reaps(UsbBus& bus, double now) {
    for (auto& c : bus.clients) {
        if (c->held_reap == nullptr || now < c->held_until) continue;
        umockdev_ioctl_client_complete(c->held_reap.get(), -1, c->usb->online ? EAGAIN : ENODEV);
        c->held_reap.reset();
        c->held_arg.reset();
    }
}

// The earliest time a held reap is due, at most a frame ahead. Bus lock held.
double next_wake(UsbBus& bus, double now) {
    double t = now + FRAME_MS;
    for (auto& c : bus.clients)
        if (c->held_reap) t = std::min(t, c->held_until);
    return t;
}

void frame_loop(UsbBus* bus) {
    while (!bus->stop.load()) {
        detail::world_tick();
        sync_presence(*bus);
        std::unique_lock<std::mutex> lk(bus->mu);
        for (auto& u : bus->devs)
            if (u->online) feed_device(*bus, *u);
        const double now = detail::clock_ms();
        answer_idle_reaps(*bus, now);
        const double wait_ms = next_wake(*bus, now) - now;
        if (wait_ms > 0)
            bus->wake.wait_for(lk, std::chrono::microseconds(static_cast<long>(wait_ms * 1000)));
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
        std::lock_guard<std::mutex> g(bus->mu);
        for (auto& u : bus->devs)
            if (u->online) online.push_back(u.get());
    }
    for (UsbDev* u : online)
        unplug(*bus, *u);
    for (auto& u : bus->devs) {
        if (u->handler) g_signal_handlers_disconnect_by_data(u->handler.get(), u.get());
        if (!u->devnode.empty())
            umockdev_testbed_detach_ioctl(bus->testbed.get(), u->devnode.c_str(), nullptr);
    }
    {
        std::lock_guard<std::mutex> g(bus->mu);
        for (auto& c : bus->clients)
            drop_client(*c);
        bus->clients.clear();
    }
    bus->devs.clear();
    bus->testbed.reset();
    emu::reset();
    delete bus;
}

UsbCounters usb_counters(UsbBus* bus, std::string_view device) {
    if (bus == nullptr) return {};
    std::lock_guard<std::mutex> g(bus->mu);
    for (auto it = bus->devs.rbegin(); it != bus->devs.rend(); ++it)
        if ((*it)->name == device) return (*it)->counters;
    return {};
}

} // namespace emu::usb
