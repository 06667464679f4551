// SPDX-License-Identifier: GPL-2.0-or-later
// A scripted stand-in for hidapi shared by the whole-program fuzz targets:
// one reader on the bus whose personality, failing writes and every report
// it delivers come from the fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int FAKE_ENUMERATIONS = 4; // later enumerations repeat the last one

struct FakeHid {
    const uint8_t* data = nullptr; // the report stream
    size_t size = 0;
    size_t pos = 0;
    unsigned writes = 0;
    unsigned fail_write = 0; // 1-based index of the hid_write that fails, 0 = none
    unsigned opens = 0;
    unsigned fail_open = 0; // 1-based index of the hid_open_path that fails, 0 = none
    unsigned enumerations = 0;
    // Personality listed by the k-th enumeration: an index into
    // reader_models, or an index past it for an empty bus.
    uint8_t products[FAKE_ENUMERATIONS] = {};
    unsigned reads = 0;
    unsigned read_limit = 0;      // 0 = none; see on_limit
    void (*on_limit)() = nullptr; // called by every read past the stream or the limit
};

extern FakeHid fake_hid;

// Starts a fresh script: control bytes are taken by the caller, the rest of
// the input becomes the report stream.
void fake_hid_reset(const uint8_t* stream, size_t size);

// The next control byte of the stream (0 past its end).
uint8_t fake_hid_byte();
