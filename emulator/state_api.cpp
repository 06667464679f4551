// SPDX-License-Identifier: GPL-2.0-or-later
// The state file and the module version in the C++ control interface.
#include "emu.h"
#include "state.h"
#include "world.h"

namespace emu {

using namespace detail;

std::string module_version(std::string_view name) {
    std::shared_ptr<Device> dev = find_device(name);
    if (!dev) return "";
    std::lock_guard<std::mutex> lock(dev->mu);
    const uint8_t* sw = dev->model.record.sw;
    return std::to_string(sw[0]) + "." + std::to_string(sw[1]) + "." + std::to_string(sw[2]);
}

int use_state_file(std::string_view path) {
    std::string err;
    if (open_state_file(std::string(path), err) == 0) return 0;
    set_last_error(err);
    return -1;
}

int save_state() {
    std::string err;
    if (save_state_file(err) == 0) return 0;
    set_last_error(err);
    return -1;
}

} // namespace emu
