// The object behind a hid_device pointer: one open interface of one device.
// Guarded by the device's lock.
#pragma once

#include <deque>
#include <memory>

#include "device.h"

struct hid_device_ {
    std::shared_ptr<emu::detail::Device> dev;
    int iface = 0;
    bool config = false; // the reader's configuration interface
    bool dead = false;   // the device left the bus (or the world was reset)
    bool nonblocking = false;
    // Reports that were on the bus when the device left: hidapi still hands
    // them out before it reports the failure.
    std::deque<emu::detail::QReport> leftover;
    struct hid_device_info* info = nullptr; // hid_get_device_info's answer
};
