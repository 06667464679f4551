// SPDX-License-Identifier: GPL-2.0-or-later
// Transfers: URBs submitted, answered by the reader emulator's protocol
// engine, discarded and reaped.
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "bus_records.h"
#include "world.h"

namespace emu::usb {

namespace {

// Bytes of the setup packet: wLength.
constexpr int SETUP_LENGTH_LOW = 6, SETUP_LENGTH_HIGH = 7;

// Writes the URB's outcome into the client's memory and hands its address
// to the reap request.
void deliver(UMockdevIoctlClient* call, UMockdevIoctlData* reap_arg, Urb& urb) {
    auto* raw = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    raw->status = urb.status;
    raw->actual_length = urb.actual;
    if (!urb.in_data.empty() && urb.buf != nullptr) {
        const size_t offset = urb.type == USBDEVFS_URB_TYPE_CONTROL ? SETUP_BYTES : 0;
        const size_t room = static_cast<size_t>(urb.buf->data_len) - offset;
        std::memcpy(urb.buf->data + offset, urb.in_data.data(), std::min(room, urb.in_data.size()));
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(reap_arg, 0, sizeof(void*), nullptr);
    if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, urb.urb)) {
        umockdev_ioctl_client_complete(call, -1, EFAULT);
    } else {
        umockdev_ioctl_client_complete(call, 0, 0);
    }
    urb.arg.reset();
}

// The next report of the reader for the host through handle: 1 with the
// report, 0 none yet, -1 a failed read; dead says the reader left the bus.
int next_report(Device& device, Handle* handle, detail::QReport& report, bool& dead) {
    std::lock_guard<std::mutex> lock(device.mu);
    // Reports still in a departed reader's buffer never cross the bus.
    dead = handle->dead;
    return dead ? -1 : detail::take_report(device, handle, report, detail::clock_ms());
}

int buffer_length(const Urb& urb) {
    return urb.buf != nullptr ? static_cast<int>(urb.buf->data_len) : 0;
}

void submit_control(UsbDev& usbdev, Client& client, Urb urb) {
    if (buffer_length(urb) < SETUP_BYTES) {
        finish(client, std::move(urb), -EINVAL, 0);
        return;
    }
    const uint8_t* setup = urb.buf->data;
    const uint16_t length =
        static_cast<uint16_t>(setup[SETUP_LENGTH_LOW] | setup[SETUP_LENGTH_HIGH] << 8);
    ControlAnswer answer = control(usbdev, setup);
    if (answer.stall) {
        finish(client, std::move(urb), -EPIPE, 0);
        return;
    }
    if ((setup[0] & EP_IN) == 0) {
        finish(client, std::move(urb), 0, length);
        return;
    }
    if (answer.data.size() > length) answer.data.resize(length);
    const int sent = static_cast<int>(answer.data.size());
    urb.in_data = std::move(answer.data);
    finish(client, std::move(urb), 0, sent);
}

// An OUT report on the configuration interface goes to the reader engine
// as hid_write would deliver it.
int submit_out(UsbDev& usbdev, Client& client, Urb urb, Iface& iface) {
    Handle* handle = client.handles[&iface - usbdev.ifaces].get();
    if (handle == nullptr) return EBUSY;
    detail::Report report{};
    const int length = std::min(buffer_length(urb), detail::REPORT_BYTES);
    if (length > 0) std::memcpy(report.data(), urb.buf->data, static_cast<size_t>(length));
    int written;
    bool gone;
    {
        std::lock_guard<std::mutex> lock(usbdev.device->mu);
        written = detail::host_write(*usbdev.device, handle, report, detail::clock_ms());
        gone = handle->dead || !usbdev.device->present;
    }
    if (written < 0 && gone) return ENODEV;
    ++usbdev.counters.reports_out;
    // A write the reader's script makes fail looks like a stalled endpoint.
    const int sent = written < 0 ? 0 : buffer_length(urb);
    finish(client, std::move(urb), written < 0 ? -EPIPE : 0, sent);
    feed_in(usbdev, client);
    return 0;
}

} // namespace

void complete(UMockdevIoctlClient* call, int errno_value) {
    umockdev_ioctl_client_complete(call, errno_value == 0 ? 0 : -1, errno_value);
}

Iface* iface_of_endpoint(UsbDev& usbdev, uint8_t endpoint) {
    for (int i = 0; i < usbdev.iface_count; ++i) {
        Iface& iface = usbdev.ifaces[i];
        if (endpoint != 0 && (iface.ep_in == endpoint || iface.ep_out == endpoint)) return &iface;
    }
    return nullptr;
}

Iface* iface_by_number(UsbDev& usbdev, int number) {
    for (int i = 0; i < usbdev.iface_count; ++i)
        if (usbdev.ifaces[i].number == number) return &usbdev.ifaces[i];
    return nullptr;
}

void finish(Client& client, Urb urb, int status, int actual) {
    urb.status = status;
    urb.actual = actual;
    client.done.push_back(std::move(urb));
    if (client.held_reap) {
        Urb first = std::move(client.done.front());
        client.done.pop_front();
        deliver(client.held_reap.get(), client.held_arg.get(), first);
        client.held_reap.reset();
        client.held_arg.reset();
    }
}

void feed_in(UsbDev& usbdev, Client& client) {
    if (!usbdev.online) return;
    for (auto it = client.waiting.begin(); it != client.waiting.end();) {
        Iface* iface = iface_of_endpoint(usbdev, it->endpoint);
        Handle* handle = iface != nullptr ? client.handles[iface - usbdev.ifaces].get() : nullptr;
        if (iface == nullptr || iface->kind != IfaceKind::Config || handle == nullptr) {
            ++it;
            continue;
        }
        detail::QReport report;
        bool dead = false;
        const int taken = next_report(*usbdev.device, handle, report, dead);
        if (taken == 0) break;
        Urb urb = std::move(*it);
        it = client.waiting.erase(it);
        if (taken < 0) {
            // A read the reader's script makes fail: the host sees a
            // transfer error and asks again.
            finish(client, std::move(urb), dead ? -ESHUTDOWN : -EPROTO, 0);
            continue;
        }
        const int length = std::min(report.length, buffer_length(urb));
        urb.in_data.assign(report.bytes.begin(), report.bytes.begin() + length);
        finish(client, std::move(urb), 0, length);
    }
}

int submit(UsbDev& usbdev, Client& client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (data == nullptr) return EFAULT;
    auto* raw = reinterpret_cast<usbdevfs_urb*>(data->data);
    Urb urb;
    urb.type = raw->type;
    urb.endpoint = raw->endpoint;
    urb.addr = data->client_addr;
    urb.urb = data;
    if (raw->buffer_length > 0) {
        urb.buf = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                              static_cast<gsize>(raw->buffer_length), nullptr);
        if (urb.buf == nullptr) return EFAULT;
    }
    urb.arg = gref(arg);
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        submit_control(usbdev, client, std::move(urb));
        return 0;
    }
    Iface* iface = iface_of_endpoint(usbdev, urb.endpoint);
    if (iface == nullptr) return ENOENT;
    if (urb.type != USBDEVFS_URB_TYPE_INTERRUPT || iface->claimed_by != &client) return EINVAL;
    if ((urb.endpoint & EP_IN) == 0)
        return iface->kind == IfaceKind::Config ? submit_out(usbdev, client, std::move(urb), *iface)
                                                : EINVAL;
    client.waiting.push_back(std::move(urb));
    feed_in(usbdev, client);
    return 0;
}

int discard(Client& client, UMockdevIoctlData* arg) {
    unsigned long addr = 0;
    std::memcpy(&addr, arg->data, std::min(sizeof addr, static_cast<size_t>(arg->data_len)));
    for (auto it = client.waiting.begin(); it != client.waiting.end(); ++it) {
        if (it->addr != addr) continue;
        Urb urb = std::move(*it);
        client.waiting.erase(it);
        finish(client, std::move(urb), -ENOENT, 0);
        return 0;
    }
    return EINVAL;
}

void reap(Client& client, UMockdevIoctlClient* call, UMockdevIoctlData* arg) {
    if (!client.done.empty()) {
        Urb urb = std::move(client.done.front());
        client.done.pop_front();
        deliver(call, arg, urb);
        return;
    }
    if (client.held_reap) return complete(call, EAGAIN); // another thread asks
    // Nothing to reap. The emulated node is always writable, so libusb
    // would come straight back: answer one frame later, or as soon as a
    // transfer completes.
    client.held_reap = gref(call);
    client.held_arg = gref(arg);
    client.held_until = detail::clock_ms() + REAP_HOLD_MS;
    client.usb->bus->wake.notify_one();
}

} // namespace emu::usb
