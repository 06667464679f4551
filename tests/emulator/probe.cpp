// SPDX-License-Identifier: GPL-2.0-or-later
// A small program linked with the system hidapi; the tests run it with the
// emulator preloaded to check that it takes hidapi's place.
//   emu_probe list                 one line per interface
//   emu_probe get PATH KEY [noexit] FN_GET_PARAM of KEY, prints the value
#include <hidapi/hidapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int list() {
    hid_device_info* l = hid_enumerate(0, 0);
    for (hid_device_info* d = l; d != nullptr; d = d->next) {
        std::printf("%s %04x %04x %d %ls %ls\n", d->path, d->vendor_id, d->product_id,
                    d->interface_number, d->serial_number ? d->serial_number : L"-",
                    d->manufacturer_string ? d->manufacturer_string : L"-");
    }
    hid_free_enumeration(l);
    return 0;
}

bool read_report(hid_device* h, unsigned char* r) {
    return hid_read_timeout(h, r, 65, 1000) == 64;
}

int get(const char* path, const char* key) {
    hid_device* h = hid_open_path(path);
    if (h == nullptr) {
        std::printf("cannot open\n");
        return 1;
    }
    const size_t n = std::strlen(key) + 1;
    unsigned char w[65] = {0,    0x8B, 1, 0, 0, 0, static_cast<unsigned char>(n),
                           0x01, 0xF8, 0, 0, 1, 0};
    unsigned char r[65];
    hid_write(h, w, 65);
    if (!read_report(h, r) || r[1] != 2) return 2;
    unsigned char d[65] = {0, static_cast<unsigned char>(n)};
    std::memcpy(d + 2, key, n);
    hid_write(h, d, 65);
    if (!read_report(h, r) || r[1] != 4) return 3;
    if (r[2] != 0 || r[3] != 0 || r[4] != 0 || r[5] != 0) {
        std::printf("result %d\n", static_cast<signed char>(r[5]));
        hid_close(h);
        return 0;
    }
    unsigned char f[65] = {0, 0x8B, 5};
    hid_write(h, f, 65);
    if (!read_report(h, r)) return 4;
    std::printf("value %.*s\n", r[0] & 0x3F, reinterpret_cast<char*>(r + 1));
    hid_close(h);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    hid_init();
    int rc = 64;
    bool exit_lib = true;
    if (std::strcmp(argv[1], "list") == 0) {
        rc = list();
    } else if (std::strcmp(argv[1], "get") == 0 && argc >= 4) {
        rc = get(argv[2], argv[3]);
        exit_lib = !(argc >= 5 && std::strcmp(argv[4], "noexit") == 0);
    }
    if (exit_lib) hid_exit();
    return rc;
}
