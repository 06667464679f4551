// SPDX-License-Identifier: GPL-2.0-or-later
// A hand-made host side for driving the emulated readers through the hid_*
// functions. Every report is spelled out byte by byte here, independently of
// the emulator's own encoder, so that the tests check the wire format.
#pragma once

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "emu.h"
#include "support/table.h"

namespace host {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t T_REQUEST = 1, T_ACK = 2, T_DONE = 4, T_FETCH = 5, T_ERROR = 9;
constexpr uint8_t T_CB_REQUEST = 21, T_CB_ACK = 22, T_CB_DONE = 24, T_CB_ERROR = 29;

// A 64-byte report: the given bytes, then zeros.
inline Bytes report(Bytes b) {
    b.resize(64, 0);
    return b;
}

// v big-endian into r[off..off+3], and back.
inline void put32(Bytes& r, size_t off, int64_t v) {
    for (size_t k = 0; k < 4; ++k)
        r[off + k] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (24 - 8 * k));
}
inline int32_t be32(const Bytes& r, size_t off) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k)
        v = v << 8 | r[off + k];
    return static_cast<int32_t>(v);
}

// Header packet 0x8B: type, value at 2-5, code at 6-7, capacity at 8-11.
inline Bytes header(uint8_t type, int32_t value = 0, uint16_t code = 0, uint32_t cap = 0) {
    Bytes r = report(
        {0x8B, type, 0, 0, 0, 0, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)});
    put32(r, 2, value);
    put32(r, 8, cap);
    return r;
}
inline Bytes request(uint16_t fn, int32_t in_len, uint32_t cap) {
    return header(T_REQUEST, in_len, fn, cap);
}
inline const auto ack = [] { return header(T_ACK); };
// CTL_DONE: result at 2-5, output length at 6-9.
inline Bytes done(int32_t result, int32_t len) {
    Bytes r = header(T_DONE, result);
    put32(r, 6, len);
    return r;
}

inline Bytes text(const std::string& s) {
    return Bytes(s.c_str(), s.c_str() + s.size() + 1);
}

// hid_write of one report with report ID 0 in front.
inline int send(hid_device* h, const Bytes& r) {
    uint8_t buf[65] = {0};
    std::copy(r.begin(), r.begin() + std::min<std::ptrdiff_t>(64, std::ssize(r)), buf + 1);
    return hid_write(h, buf, sizeof buf);
}

// One hid_read_timeout: the bytes read (empty on time-out); rc gets the
// return value.
inline Bytes recv(hid_device* h, int ms = 500, int* rc = nullptr, size_t len = 65) {
    uint8_t buf[65] = {0};
    const int n = hid_read_timeout(h, buf, len, ms);
    if (rc != nullptr) *rc = n;
    return n <= 0 ? Bytes{} : Bytes(buf, buf + n);
}

struct Ctl {
    int32_t result = INT32_MIN; // as it stands when CTL_DONE does not come
    Bytes out;
};

// A straightforward host exchange: request, CTL_ACK, input, CTL_DONE and a
// fetch. Input and output here fit in one data packet each.
inline Ctl ctl(hid_device* h, uint16_t fn, Bytes in = {}) {
    Ctl c;
    EXPECT_EQ(send(h, request(fn, static_cast<int32_t>(in.size()), 256)), 65);
    EXPECT_EQ(recv(h), ack()) << "CTL_ACK for " << fn;
    in.insert(in.begin(), static_cast<uint8_t>(in.size()));
    if (in.size() > 1) send(h, in);
    const Bytes d = recv(h, 2000);
    if (d.size() != 64 || d[0] != 0x8B || d[1] != T_DONE) return c;
    c.result = be32(d, 2);
    if (be32(d, 6) <= 0) return c;
    send(h, header(T_FETCH));
    const Bytes o = recv(h);
    if (o.size() == 64) c.out.assign(o.begin() + 1, o.begin() + 1 + std::min(o[0], uint8_t{63}));
    return c;
}

inline double ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

using namespace std::chrono_literals;

// Opens devices by name and closes them again; every test starts and ends
// with an empty emulator.
template <class Base = ::testing::Test> class EmuTest : public Base {
  protected:
    void SetUp() override { emu::reset(); }
    void TearDown() override {
        for (hid_device* h : open_)
            hid_close(h);
        emu::reset();
    }
    void load(const std::string& s) { ASSERT_EQ(emu::load_scenario(s), 0) << emu::last_error(); }
    hid_device* open(const std::string& name) {
        hid_device* h = hid_open_path(emu::path(name).c_str());
        if (h != nullptr) open_.push_back(h);
        return h;
    }

  private:
    std::vector<hid_device*> open_;
};

} // namespace host
