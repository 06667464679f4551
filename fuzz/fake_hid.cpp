// SPDX-License-Identifier: GPL-2.0-or-later
#include "fake_hid.h"

#include <hidapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/pause.h"

FakeHid fake_hid;

namespace {

int fake_device;

bool past_script() {
    ++fake_hid.reads;
    const bool over = fake_hid.pos >= fake_hid.size ||
                      (fake_hid.read_limit != 0 && fake_hid.reads > fake_hid.read_limit);
    if (over && fake_hid.on_limit != nullptr) fake_hid.on_limit();
    return over;
}

} // namespace

void fake_hid_reset(const uint8_t* stream, size_t size) {
    fake_hid = FakeHid{};
    fake_hid.data = stream;
    fake_hid.size = size;
}

uint8_t fake_hid_byte() {
    return fake_hid.pos < fake_hid.size ? fake_hid.data[fake_hid.pos++] : 0;
}

// Every protocol wait is instant, so retries and restarts cost nothing.
void pause_ms(int) {}

extern "C" {
int hid_init(void) {
    return 0;
}
int hid_exit(void) {
    return 0;
}

hid_device* hid_open_path(const char*) {
    ++fake_hid.opens;
    if (fake_hid.opens == fake_hid.fail_open) return nullptr;
    return reinterpret_cast<hid_device*>(&fake_device);
}
void hid_close(hid_device*) {}

int hid_write(hid_device*, const unsigned char* data, size_t length) {
    // Reading every byte lets the sanitizer catch a length that lies.
    volatile unsigned char sink = 0;
    for (size_t i = 0; i < length; ++i)
        sink = sink ^ data[i];
    ++fake_hid.writes;
    return fake_hid.writes == fake_hid.fail_write ? -1 : static_cast<int>(length);
}

// Records: 0xFE time-out, 0xFF failure, else a length (cut to 65) and that
// many report bytes. Past the end of the input every read times out.
int hid_read_timeout(hid_device*, unsigned char* data, size_t length, int) {
    if (past_script()) return 0;
    const uint8_t kind = fake_hid_byte();
    if (kind == 0xFE) return 0;
    if (kind == 0xFF) return -1;
    size_t n = kind % 66;
    n = std::min({n, length, fake_hid.size - fake_hid.pos});
    std::memcpy(data, fake_hid.data + fake_hid.pos, n);
    fake_hid.pos += n;
    return static_cast<int>(n);
}
}
