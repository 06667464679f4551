// SPDX-License-Identifier: GPL-2.0-or-later
// The reader emulator's scenario reader on arbitrary text. Users write
// scenarios by hand: a malformed one must end with a line-numbered message
// and no devices, never with a crash. Every line is also tried as a
// runtime command on the devices the text declared.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "emu.h"

namespace {

constexpr unsigned long MAX_REPEAT = 1 << 20; // rep: counts only measure memory

// Inputs that read files or ask for huge repeated values test the machine,
// not the reader.
bool out_of_scope(std::string_view text) {
    if (text.find("file:") != std::string_view::npos) return true;
    for (size_t at = text.find("rep:"); at != std::string_view::npos;
         at = text.find("rep:", at + 1)) {
        const std::string digits(text.substr(at + 4, 12));
        if (std::strtoul(digits.c_str(), nullptr, 0) > MAX_REPEAT) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (out_of_scope(text)) return -1;
    if (emu::load_scenario(text) != 0) {
        const std::string e = emu::last_error();
        if (e.rfind("line ", 0) != 0 || e.find(": ") == std::string::npos) std::abort();
        if (emu::transcript_text() != "# brinlet-emu transcript 1\n") std::abort(); // devices left
        return 0;
    }
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        emu::command(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    emu::reset();
    return 0;
}
