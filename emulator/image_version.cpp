// SPDX-License-Identifier: GPL-2.0-or-later
// The version an image carries. A real image holds its version somewhere
// only its maker's tools know; an emulated one says it in a line of its
// own, so that a test or a training bench can make any file an image of
// a chosen version:
//
//   BRINLET-VERSION: 2.15.1
//
// The line starts the image or follows a line end; blanks around the
// version are dropped; the version ends at a line end, carriage return or
// NUL and is one or more printable ASCII characters without blanks.
#include <cstdlib>
#include <string_view>

#include "state.h"

namespace emu::detail {

namespace {

constexpr std::string_view MARKER = "BRINLET-VERSION:";

bool printable(char ch) {
    return ch > ' ' && ch < 0x7F;
}

// The version on the marker line that starts at pos, or "" when it holds none.
std::string version_at(std::string_view text, size_t pos) {
    size_t at = pos + MARKER.size();
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    size_t end = at;
    while (end < text.size() && printable(text[end]))
        ++end;
    size_t after = end;
    while (after < text.size() && (text[after] == ' ' || text[after] == '\t'))
        ++after;
    const bool line_ends =
        after == text.size() || text[after] == '\n' || text[after] == '\r' || text[after] == '\0';
    return line_ends ? std::string(text.substr(at, end - at)) : std::string();
}

} // namespace

std::optional<std::string> image_version(const Bytes& image) {
    const std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
    for (size_t pos = text.find(MARKER); pos != std::string_view::npos;
         pos = text.find(MARKER, pos + 1)) {
        if (pos != 0 && text[pos - 1] != '\n') continue;
        std::string version = version_at(text, pos);
        if (!version.empty()) return version;
        return std::nullopt;
    }
    return std::nullopt;
}

bool image_version_bytes(const Bytes& image, uint8_t out[3]) {
    const std::optional<std::string> version = image_version(image);
    if (!version) return false;
    unsigned parts[3];
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t start = pos;
        unsigned value = 0;
        while (pos < version->size() && (*version)[pos] >= '0' && (*version)[pos] <= '9' &&
               pos - start < 3)
            value = value * 10 + static_cast<unsigned>((*version)[pos++] - '0');
        if (pos == start || value > 255) return false;
        parts[i] = value;
        const char expected = i < 2 ? '.' : '\0';
        if (i < 2 && (pos >= version->size() || (*version)[pos] != expected)) return false;
        if (i < 2) ++pos;
    }
    if (pos != version->size()) return false;
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>(parts[i]);
    return true;
}

void take_image_version(Model& model, int fn, const Bytes& image) {
    if (fn == FN_EXTFW_FINISH) {
        image_version_bytes(image, model.record.sw);
        return;
    }
    const char* key = fn == FN_UPDATE_FIRMWARE           ? "FWVERSION"
                      : fn == FN_UPDATE_SERVICE_FIRMWARE ? "SERVICE_VER"
                                                         : nullptr;
    const std::optional<std::string> version = image_version(image);
    if (key == nullptr || !version) return;
    auto known = model.params.find(key);
    if (known != model.params.end()) known->second = text_bytes(*version);
}

void store_firmware_image(Model& model, int fn, const Bytes& image) {
    model.firmware_images[fn] = image;
    take_image_version(model, fn, image);
}

} // namespace emu::detail
