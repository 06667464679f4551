// SPDX-License-Identifier: GPL-2.0-or-later
// The hidapi C functions, answered by the emulated bus. Exported with the
// signatures of the installed hidapi.h so that a program linked with the
// real library runs against this one through LD_PRELOAD.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#pragma GCC visibility push(default)
#include <hidapi/hidapi.h>
#include <hidapi/hidapi_libusb.h>
#pragma GCC visibility pop

#include "device.h"
#include "world.h"

using namespace emu::detail;

namespace {

const wchar_t* const ERR_NONE = L"Success";
const wchar_t* const ERR_GONE = L"device disconnected";
const wchar_t* const ERR_NOT_FOUND = L"device not found";
const wchar_t* const ERR_UNSUPPORTED = L"not supported by the emulated device";

thread_local const wchar_t* last_error = ERR_NONE;

wchar_t* widen(const std::string& text) {
    auto* wide = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
    if (wide == nullptr) return nullptr;
    for (size_t i = 0; i < text.size(); ++i)
        wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

int copy_wide(const std::string& text, wchar_t* out, size_t maxlen) {
    if (out == nullptr || maxlen == 0) return -1;
    size_t count = std::min(text.size(), maxlen - 1);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<unsigned char>(text[i]);
    out[count] = L'\0';
    return 0;
}

hid_device_info* make_info(const Device& dev, int iface, const std::string& path) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (info == nullptr) return nullptr;
    info->path = strdup(path.c_str());
    info->vendor_id = dev.persona.vendor;
    info->product_id = dev.persona.product;
    info->serial_number = dev.decl.serial ? widen(*dev.decl.serial) : nullptr;
    info->release_number = 0x0100;
    const Personality* personality = find_personality(dev.persona.product);
    info->manufacturer_string = widen(dev.persona.vendor == emu::READER_VENDOR_ID ? "Norvane" : "");
    info->product_string = widen(
        personality != nullptr && dev.persona.vendor == emu::READER_VENDOR_ID ? personality->name
                                                                              : "HID device");
    info->usage_page = 0;
    info->usage = 0;
    info->interface_number = iface;
    info->next = nullptr;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

void free_info(hid_device_info* info) {
    while (info != nullptr) {
        hid_device_info* next = info->next;
        std::free(info->path);
        std::free(info->serial_number);
        std::free(info->manufacturer_string);
        std::free(info->product_string);
        std::free(info);
        info = next;
    }
}

hid_device* open_path(const char* path) {
    int iface = 0;
    std::shared_ptr<Device> dev = device_by_path(path, iface);
    if (!dev) {
        last_error = ERR_NOT_FOUND;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(dev->mu);
    const double now = clock_ms();
    if (!dev->present) {
        last_error = ERR_NOT_FOUND;
        return nullptr;
    }
    const bool config = iface == dev->persona.iface;
    if (config && dev->open_handle != nullptr) {
        last_error = L"interface already claimed";
        return nullptr;
    }
    if (!config)
        for (hid_device* handle : dev->extra_handles)
            if (handle->iface == iface) {
                last_error = L"interface already claimed";
                return nullptr;
            }
    auto* handle = new (std::nothrow) hid_device_;
    if (handle == nullptr) return nullptr;
    handle->dev = dev;
    handle->iface = iface;
    handle->config = config;
    on_open(*dev, handle, now);
    last_error = ERR_NONE;
    return handle;
}

} // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    world_tick();
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    flush_transcript_env();
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
    world_tick();
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (auto& dev : all_devices()) {
        std::lock_guard<std::mutex> lock(dev->mu);
        if (!dev->present) continue;
        if (vendor_id != 0 && vendor_id != dev->persona.vendor) continue;
        if (product_id != 0 && product_id != dev->persona.product) continue;
        std::vector<int> ifaces = dev->persona.extras;
        ifaces.push_back(dev->persona.iface);
        std::sort(ifaces.begin(), ifaces.end());
        for (int iface : ifaces) {
            std::string path =
                iface == dev->persona.iface ? dev->persona.path : extra_path(dev->persona, iface);
            hid_device_info* info = make_info(*dev, iface, path);
            if (info == nullptr) continue;
            *tail = info;
            tail = &info->next;
        }
    }
    last_error = head == nullptr ? L"No HID devices found in the system." : ERR_NONE;
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
    free_info(devs);
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t* serial_number) {
    world_tick();
    std::string path;
    for (auto& dev : all_devices()) {
        std::lock_guard<std::mutex> lock(dev->mu);
        if (!dev->present || dev->persona.vendor != vendor_id) continue;
        if (product_id != 0 && dev->persona.product != product_id) continue;
        if (serial_number != nullptr) {
            if (!dev->decl.serial) continue;
            wchar_t* wide = widen(*dev->decl.serial);
            bool same = wide != nullptr && std::wcscmp(wide, serial_number) == 0;
            std::free(wide);
            if (!same) continue;
        }
        path = dev->persona.path;
        break;
    }
    if (path.empty()) {
        last_error = ERR_NOT_FOUND;
        return nullptr;
    }
    return open_path(path.c_str());
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
    world_tick();
    return open_path(path);
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
    if (dev == nullptr || data == nullptr || length == 0) return -1;
    world_tick();
    // data[0] is the report ID; this device has none, so it is 0 and
    // the report proper follows it.
    Report r{};
    std::memcpy(r.data(), data + 1, std::min<size_t>(length - 1, REPORT_BYTES));
    Device& d = *dev->dev;
    std::lock_guard<std::mutex> g(d.mu);
    if (host_write(d, dev, r, clock_ms()) < 0) {
        last_error = dev->dead ? ERR_GONE : L"write failed";
        return -1;
    }
    return static_cast<int>(length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
    if (dev == nullptr) return -1;
    world_tick();
    Device& d = *dev->dev;
    const double deadline = milliseconds < 0 ? NEVER : clock_ms() + milliseconds;
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(d.mu);
            const double now = clock_ms();
            QReport q;
            const int r = take_report(d, dev, q, now);
            if (r > 0) {
                size_t n = std::min<size_t>(length, static_cast<size_t>(q.length));
                if (data != nullptr && n > 0) std::memcpy(data, q.bytes.data(), n);
                return static_cast<int>(n);
            }
            if (r < 0) {
                last_error = dev->dead ? ERR_GONE : L"read failed";
                return -1;
            }
            if (now >= deadline) return 0;
            double wake = std::min({deadline, next_visible(d), next_due()});
            // The control file is looked at every 10 ms while nothing reads
            // it the moment it is written.
            if (control_file_configured() && !control_watched()) wake = std::min(wake, now + 10);
            if (wake >= NEVER)
                d.cv.wait(lk);
            else if (wake > now)
                d.cv.wait_until(lk, clock_point(wake));
        }
        world_tick();
    }
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
    if (dev == nullptr) return -1;
    bool nonblocking;
    {
        std::lock_guard<std::mutex> g(dev->dev->mu);
        nonblocking = dev->nonblocking;
    }
    return hid_read_timeout(dev, data, length, nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
    if (dev == nullptr) return -1;
    std::lock_guard<std::mutex> g(dev->dev->mu);
    dev->nonblocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device*, const unsigned char*, size_t) {
    last_error = ERR_UNSUPPORTED;
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device*, unsigned char*, size_t) {
    last_error = ERR_UNSUPPORTED;
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device*, unsigned char*, size_t) {
    last_error = ERR_UNSUPPORTED;
    return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
    if (dev == nullptr) return;
    {
        Device& device = *dev->dev;
        std::lock_guard<std::mutex> lock(device.mu);
        on_close(device, dev, clock_ms());
    }
    free_info(dev->info);
    delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
    if (dev == nullptr) return -1;
    std::lock_guard<std::mutex> lock(dev->dev->mu);
    return copy_wide(dev->dev->persona.vendor == emu::READER_VENDOR_ID ? "Norvane" : "", string,
                     maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (dev == nullptr) return -1;
    std::lock_guard<std::mutex> lock(dev->dev->mu);
    const Personality* personality = find_personality(dev->dev->persona.product);
    return copy_wide(personality != nullptr ? personality->name : "HID device", string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
    if (dev == nullptr) return -1;
    std::lock_guard<std::mutex> lock(dev->dev->mu);
    if (!dev->dev->decl.serial) return -1;
    return copy_wide(*dev->dev->decl.serial, string, maxlen);
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev) {
    if (dev == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(dev->dev->mu);
    const Device& device = *dev->dev;
    // Kept until the handle is closed, as hidapi does.
    if (dev->info == nullptr)
        dev->info =
            make_info(device, dev->iface,
                      dev->config ? device.persona.path : extra_path(device.persona, dev->iface));
    return dev->info;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device*, int, wchar_t*, size_t) {
    last_error = ERR_UNSUPPORTED;
    return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device*) {
    return last_error;
}

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
    static const hid_api_version version = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                            HID_API_VERSION_PATCH};
    return &version;
}

HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) {
    return HID_API_VERSION_STR;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_libusb_wrap_sys_device(intptr_t, int) {
    last_error = ERR_UNSUPPORTED;
    return nullptr;
}

} // extern "C"
