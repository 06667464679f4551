// SPDX-License-Identifier: GPL-2.0-or-later
// The usbdevfs ioctls of an emulated device's node: claiming and releasing
// interfaces, the kernel driver bound to them, and the transfer requests
// (transfers.cpp).
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bus_records.h"
#include "world.h"

namespace emu::usb {

namespace {

constexpr const char* HID_DRIVER = "usbhid";
constexpr const char* USBFS_DRIVER = "usbfs"; // what GETDRIVER names a claimed interface

Client* client_of(UsbBus& bus, UsbDev& usbdev, UMockdevIoctlClient* call) {
    for (auto& client : bus.clients)
        if (client->ioctl_client.get() == call) return client.get();
    auto client = std::make_unique<Client>();
    client->ioctl_client = gref(call);
    client->usb = &usbdev;
    bus.clients.push_back(std::move(client));
    return bus.clients.back().get();
}

bool read_uint(UMockdevIoctlData* arg, unsigned& out) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (data == nullptr) return false;
    std::memcpy(&out, data->data, sizeof out);
    return true;
}

int claim(UsbDev& usbdev, Client& client, unsigned number) {
    Iface* iface = iface_by_number(usbdev, static_cast<int>(number));
    if (iface == nullptr) return EINVAL;
    if (iface->claimed_by == &client) return 0;
    if (iface->claimed_by != nullptr || iface->driver_bound) return EBUSY;
    iface->claimed_by = &client;
    ++usbdev.counters.claims;
    if (iface->kind != IfaceKind::Vendor) {
        auto handle = std::make_unique<Handle>();
        handle->dev = usbdev.device;
        handle->iface = iface->number;
        handle->config = iface->kind == IfaceKind::Config;
        std::lock_guard<std::mutex> lock(usbdev.device->mu);
        detail::on_open(*usbdev.device, handle.get(), detail::clock_ms());
        client.handles[iface - usbdev.ifaces] = std::move(handle);
    }
    update_driver_counters(usbdev);
    return 0;
}

void drop_handle(UsbDev& usbdev, Client& client, long slot) {
    Handle* handle = client.handles[slot].get();
    if (handle == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(usbdev.device->mu);
        detail::on_close(*usbdev.device, handle, detail::clock_ms());
    }
    client.handles[slot].reset();
}

int release(UsbDev& usbdev, Client& client, unsigned number) {
    Iface* iface = iface_by_number(usbdev, static_cast<int>(number));
    if (iface == nullptr || iface->claimed_by != &client) return EINVAL;
    // The kernel ends the interface's transfers before it lets go.
    for (auto it = client.waiting.begin(); it != client.waiting.end();) {
        if (iface_of_endpoint(usbdev, it->endpoint) == iface) {
            Urb urb = std::move(*it);
            it = client.waiting.erase(it);
            finish(client, std::move(urb), -ENOENT, 0);
        } else {
            ++it;
        }
    }
    drop_handle(usbdev, client, iface - usbdev.ifaces);
    iface->claimed_by = nullptr;
    ++usbdev.counters.releases;
    update_driver_counters(usbdev);
    return 0;
}

int driver_ioctl(UsbDev& usbdev, int ifno, int code) {
    Iface* iface = iface_by_number(usbdev, ifno);
    if (iface == nullptr) return EINVAL;
    if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (!iface->driver_bound) return ENODATA;
        iface->driver_bound = false;
    } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
        // A claimed interface, by anyone, keeps the driver off.
        if (iface->claimed_by != nullptr) return EBUSY;
        if (iface->kind != IfaceKind::Vendor) iface->driver_bound = true;
    } else {
        return ENOTTY;
    }
    update_driver_counters(usbdev);
    return 0;
}

void get_driver(UsbDev& usbdev, UMockdevIoctlClient* call, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
    if (data == nullptr) return complete(call, EFAULT);
    auto* request = reinterpret_cast<usbdevfs_getdriver*>(data->data);
    Iface* iface = iface_by_number(usbdev, static_cast<int>(request->interface));
    if (iface == nullptr) return complete(call, EINVAL);
    const char* name = iface->claimed_by != nullptr ? USBFS_DRIVER
                       : iface->driver_bound        ? HID_DRIVER
                                                    : "";
    if (*name == '\0') return complete(call, ENODATA);
    std::snprintf(request->driver, sizeof request->driver, "%s", name);
    complete(call, 0);
}

void usb_ioctl(UsbDev& usbdev, UMockdevIoctlClient* call, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
    if (data == nullptr) return complete(call, EFAULT);
    auto* request = reinterpret_cast<usbdevfs_ioctl*>(data->data);
    complete(call, driver_ioctl(usbdev, request->ifno, request->ioctl_code));
}

void disconnect_claim(UsbDev& usbdev, Client& client, UMockdevIoctlClient* call,
                      UMockdevIoctlData* arg) {
    UMockdevIoctlData* data =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
    if (data == nullptr) return complete(call, EFAULT);
    auto* request = reinterpret_cast<usbdevfs_disconnect_claim*>(data->data);
    Iface* iface = iface_by_number(usbdev, static_cast<int>(request->interface));
    if (iface == nullptr) return complete(call, EINVAL);
    iface->driver_bound = false;
    complete(call, claim(usbdev, client, request->interface));
}

void get_capabilities(UMockdevIoctlClient* call, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
    if (data == nullptr) return complete(call, EFAULT);
    const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                          USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    std::memcpy(data->data, &caps, sizeof caps);
    complete(call, 0);
}

void connect_info(UsbDev& usbdev, UMockdevIoctlClient* call, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), nullptr);
    if (data == nullptr) return complete(call, EFAULT);
    auto* info = reinterpret_cast<usbdevfs_connectinfo*>(data->data);
    info->devnum = static_cast<unsigned>(usbdev.devnum);
    info->slow = 0; // full speed
    complete(call, 0);
}

bool is_reap(unsigned long request) {
    return request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
}

// A node whose device left the bus: completed transfers can still be
// reaped, everything else fails with ENODEV.
void answer_gone(UsbDev& usbdev, Client& client, UMockdevIoctlClient* call, unsigned long request,
                 UMockdevIoctlData* arg) {
    if (is_reap(request)) return reap(client, call, arg); // held a frame, then ENODEV
    // The host still lets go of what it held; the kernel forgets the claim
    // of a disconnected device and answers ENODEV all the same.
    unsigned number = 0;
    if (request == USBDEVFS_RELEASEINTERFACE && read_uint(arg, number))
        release(usbdev, client, number);
    complete(call, ENODEV);
}

void answer(UsbDev& usbdev, Client& client, UMockdevIoctlClient* call, unsigned long request,
            UMockdevIoctlData* arg) {
    unsigned number = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        return get_capabilities(call, arg);
    case USBDEVFS_CONNECTINFO:
        return connect_info(usbdev, call, arg);
    case USBDEVFS_CLAIMINTERFACE:
        return complete(call, read_uint(arg, number) ? claim(usbdev, client, number) : EFAULT);
    case USBDEVFS_RELEASEINTERFACE:
        return complete(call, read_uint(arg, number) ? release(usbdev, client, number) : EFAULT);
    case USBDEVFS_GETDRIVER:
        return get_driver(usbdev, call, arg);
    case USBDEVFS_IOCTL:
        return usb_ioctl(usbdev, call, arg);
    case USBDEVFS_DISCONNECT_CLAIM:
        return disconnect_claim(usbdev, client, call, arg);
    case USBDEVFS_SUBMITURB:
        return complete(call, submit(usbdev, client, arg));
    case USBDEVFS_DISCARDURB:
        return complete(call, discard(client, arg));
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return reap(client, call, arg);
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        return complete(call, 0);
    default:
        return complete(call, ENOTTY);
    }
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* call, gpointer user) {
    auto* usbdev = static_cast<UsbDev*>(user);
    std::lock_guard<std::mutex> lock(usbdev->bus->mu);
    Client& client = *client_of(*usbdev->bus, *usbdev, call);
    const unsigned long request = umockdev_ioctl_client_get_request(call);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(call);
    if (usbdev->online || (is_reap(request) && !client.done.empty()))
        answer(*usbdev, client, call, request, arg);
    else
        answer_gone(*usbdev, client, call, request, arg);
    return TRUE;
}

void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* call, gpointer user) {
    auto* usbdev = static_cast<UsbDev*>(user);
    UsbBus& bus = *usbdev->bus;
    std::lock_guard<std::mutex> lock(bus.mu);
    for (auto it = bus.clients.begin(); it != bus.clients.end(); ++it) {
        if ((*it)->ioctl_client.get() != call) continue;
        drop_client(**it);
        bus.clients.erase(it);
        return;
    }
}

void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* call, gpointer user) {
    auto* usbdev = static_cast<UsbDev*>(user);
    std::lock_guard<std::mutex> lock(usbdev->bus->mu);
    client_of(*usbdev->bus, *usbdev, call);
}

} // namespace

void connect_handlers(UsbDev& usbdev) {
    usbdev.handler = GRef<UMockdevIoctlBase>(umockdev_ioctl_base_new());
    g_signal_connect(usbdev.handler.get(), "handle-ioctl", G_CALLBACK(on_ioctl), &usbdev);
    g_signal_connect(usbdev.handler.get(), "client-vanished", G_CALLBACK(on_vanished), &usbdev);
    g_signal_connect(usbdev.handler.get(), "client-connected", G_CALLBACK(on_connected), &usbdev);
}

void update_driver_counters(UsbDev& usbdev) {
    UsbCounters& counters = usbdev.counters;
    counters.driver_on_config = 0;
    counters.driver_on_others = 0;
    counters.claimed_config = 0;
    for (int i = 0; i < usbdev.iface_count; ++i) {
        const Iface& iface = usbdev.ifaces[i];
        if (iface.kind == IfaceKind::Config) {
            counters.driver_on_config = iface.driver_bound ? 1 : 0;
            counters.claimed_config = iface.claimed_by != nullptr ? 1 : 0;
        } else if (iface.driver_bound) {
            ++counters.driver_on_others;
        }
    }
}

void drop_client(Client& client) {
    UsbDev& usbdev = *client.usb;
    for (int i = 0; i < usbdev.iface_count; ++i) {
        if (usbdev.ifaces[i].claimed_by != &client) continue;
        if (usbdev.online) drop_handle(usbdev, client, i);
        usbdev.ifaces[i].claimed_by = nullptr;
    }
    for (auto& handle : client.handles)
        handle.reset();
    client.waiting.clear();
    client.done.clear();
    if (client.held_reap) umockdev_ioctl_client_complete(client.held_reap.get(), -1, EAGAIN);
    client.held_reap.reset();
    client.held_arg.reset();
    update_driver_counters(usbdev);
}

} // namespace emu::usb
