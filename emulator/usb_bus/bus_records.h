// SPDX-License-Identifier: GPL-2.0-or-later
// The bus's own records and the functions its files share: descriptors
// (descriptors.cpp), sysfs entries and hubs (sysfs.cpp), transfers
// (transfers.cpp), the usbdevfs ioctls (ioctls.cpp), readers joining and
// leaving the bus (presence.cpp), and the frame thread (bus.cpp).
//
// Threads: umockdev calls the ioctl handlers on its own worker thread; the
// frame thread advances the emulator clock, follows readers leaving and
// joining the bus, hands delayed reports to waiting IN transfers and
// answers reap requests that found nothing. Bus state is guarded by
// UsbBus::mu, taken before a Device's lock and never held across a call
// into the umockdev testbed (the testbed may wait for its worker thread,
// which may be waiting for UsbBus::mu).
#pragma once

#include <umockdev.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "usb_bus.h"

namespace emu::usb {

using detail::Bytes;
using detail::Device;
using detail::Handle;
using detail::Persona;

constexpr double FRAME_MS = 1;       // the frame thread's longest sleep, one full-speed frame
constexpr double REAP_HOLD_MS = 0.2; // an empty REAPURBNDELAY answers after this
constexpr int MAX_INTERFACES = 8;    // interfaces of one emulated device
constexpr int MAX_BUSES = 7;         // bus numbers 1 to 7
constexpr int SETUP_BYTES = 8;       // a control transfer's setup packet
constexpr uint8_t EP_IN = 0x80;      // endpoint address bit: device to host
constexpr int FULL_SPEED = 12;       // sysfs speed, Mbit/s
constexpr int HIGH_SPEED = 480;

// One reference to a GObject, dropped with its holder.
struct GUnref {
    void operator()(void* object) const { g_object_unref(object); }
};
template <class T> using GRef = std::unique_ptr<T, GUnref>;
// Takes a reference of its own to object.
template <class T> GRef<T> gref(T* object) {
    if (object != nullptr) g_object_ref(object);
    return GRef<T>(object);
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
    GRef<UMockdevIoctlClient> ioctl_client;
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
    std::shared_ptr<Device> device;
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

struct UsbBus {
    std::mutex mu;
    GRef<UMockdevTestbed> testbed;
    std::vector<std::unique_ptr<UsbDev>> devs;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::string> hubs; // sysfs names of the hubs created, e.g. "usb1", "1-4"
    std::vector<std::string> hub_paths;
    int next_devnum[MAX_BUSES + 1] = {};
    std::condition_variable wake; // a reap was held: the frame thread sleeps less
    std::thread frame;
    std::atomic<bool> stop{false};
};

// ---- descriptors.cpp ----

// The answer to a control request: its data (IN) and whether it stalls.
struct ControlAnswer {
    bool stall = false;
    Bytes data;
};

Bytes device_descriptor(uint8_t dev_class, uint16_t vendor, uint16_t product, bool strings,
                        bool serial);
// The configuration descriptor with its interfaces, HID and endpoint
// descriptors.
Bytes config_descriptor(const Iface* ifaces, int count, int config_value);
Bytes hub_config_descriptor();
// The answer of the device to the setup packet (8 bytes).
ControlAnswer control(UsbDev& usbdev, const uint8_t* setup);

// ---- sysfs.cpp ----

// "1-4.2:1.1" -> bus 1, ports {4, 2}, configuration 1. false when the path
// is not of that form.
bool parse_path(const std::string& path, int& bus, std::vector<int>& ports, int& config);
// The sysfs name of the port at the given depth: "1-4.2".
std::string port_name(int bus, const std::vector<int>& ports, size_t depth);
// "001": the form of bus and device numbers in /dev/bus/usb.
std::string dev3(int number);
// What add_sysfs_device puts in sysfs for one device.
struct SysfsDevice {
    std::string name;   // the port name, e.g. "1-4.2", or "usb1" for a root hub
    std::string parent; // the parent's sysfs path; empty: the root
    int bus = 1, devnum = 0, speed = FULL_SPEED;
    uint16_t vendor = 0, product = 0;
    Bytes descriptors; // device and configuration descriptors
    std::string serial, product_name;
};
// Adds one usb_device; its sysfs path, "" on failure. No bus lock held.
std::string add_sysfs_device(UMockdevTestbed* testbed, const SysfsDevice& device);
// The hubs between the root and the device; the parent's sysfs path. No
// bus lock held.
std::string ensure_hubs(UsbBus& bus, int busnum, const std::vector<int>& ports);

// ---- transfers.cpp ----

// Completes the URB with the status and the bytes transferred; a reap
// waiting for it gets it at once.
void finish(Client& client, Urb urb, int status, int actual);
// Moves reports the reader has ready into the client's waiting IN
// transfers of the configuration interface. Bus lock held.
void feed_in(UsbDev& usbdev, Client& client);
// SUBMITURB: 0 or the errno value.
int submit(UsbDev& usbdev, Client& client, UMockdevIoctlData* arg);
// DISCARDURB: 0 or the errno value.
int discard(Client& client, UMockdevIoctlData* arg);
// REAPURB and REAPURBNDELAY: answers the call now or holds it.
void reap(Client& client, UMockdevIoctlClient* call, UMockdevIoctlData* arg);
void complete(UMockdevIoctlClient* call, int errno_value);
Iface* iface_of_endpoint(UsbDev& usbdev, uint8_t endpoint);
Iface* iface_by_number(UsbDev& usbdev, int number);

// ---- ioctls.cpp ----

// Connects the device's node to the ioctl handlers.
void connect_handlers(UsbDev& usbdev);
void update_driver_counters(UsbDev& usbdev);
// Lets go of everything the client held: its claims (the reader sees the
// interface closed) and a reap still waiting. Bus lock held.
void drop_client(Client& client);

// ---- presence.cpp ----

// Follows the readers of the scenario onto and off the bus.
void sync_presence(UsbBus& bus);
// Takes the device off the bus. No bus lock held.
void unplug(UsbBus& bus, UsbDev& usbdev);

} // namespace emu::usb
