// SPDX-License-Identifier: GPL-2.0-or-later
// What the emulated readers remember between processes (state_file.cpp):
// with BRINLET_EMU_STATE=FILE their changeable state is loaded from FILE
// when a device goes live and written back at exit; and the version an
// image carries (image_version.cpp), which an update makes the reader
// report.
#pragma once

#include <optional>
#include <string>

#include "device.h"

namespace emu::detail {

// Reads FILE (a missing file is an empty state) and keeps it for the
// devices that go live from now on; writes it back at exit. 0, or -1 with
// the reason in err when the file cannot be read or is not a state file.
int open_state_file(const std::string& path, std::string& err);
// A device went live (device lock held): it takes what the state file
// remembers of it, and its state now is what saving compares against.
void restore_device_state(Device& dev);
// Writes the state of every device that changed since it went live into
// FILE, merged with what other processes wrote meanwhile. 0 or -1 with err.
int save_state_file(std::string& err);

// The text after the first line "BRINLET-VERSION: " of an image, up to the
// line end; nullopt when the image has no such line or the text is empty.
std::optional<std::string> image_version(const Bytes& image);
// The same as three numbers 0-255 ("A.B.C"), for the module record.
bool image_version_bytes(const Bytes& image, uint8_t out[3]);
// The reader took an image with function fn (510, 512, or 537 for a
// complete module image): the version it reports follows the image.
void take_image_version(Model& model, int fn, const Bytes& image);
// Keeps an image the reader took with 510 or 512, and the version it carries.
void store_firmware_image(Model& model, int fn, const Bytes& image);

} // namespace emu::detail
