// SPDX-License-Identifier: GPL-2.0-or-later
// Serialisation of the hidapi calls that must not run concurrently.
#pragma once

#include <mutex>

// hid_init, hid_exit, hid_enumerate, hid_open_path and hid_close never run
// at the same time as one another; this lock, taken only around those calls,
// ensures it. It is never held across hid_write or hid_read_timeout, so
// readers stay independent. Lock order: the reader list's own lock, then
// this one. Process-wide, as the library's state is.
extern std::mutex hid_library_lock;
