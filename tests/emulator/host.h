// SPDX-License-Identifier: GPL-2.0-or-later
// A hand-made host side for driving the emulated readers through the hid_*
// functions. Every report is spelled out byte by byte here, independently of
// the emulator's own encoder, so that the tests check the wire format.
#pragma once

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "emu.h"

namespace host {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t T_REQUEST = 1, T_ACK = 2, T_DONE = 4, T_FETCH = 5, T_ERROR = 9;
constexpr uint8_t T_CB_REQUEST = 21, T_CB_ACK = 22, T_CB_DONE = 24, T_CB_ERROR = 29;

// A 64-byte report: the given bytes, then zeros.
inline Bytes report(std::initializer_list<uint8_t> b) {
    Bytes r(b);
    r.resize(64, 0);
    return r;
}

// Byte k (3 = most significant) of v.
inline uint8_t byte(uint32_t v, int k) {
    return static_cast<uint8_t>(v >> (8 * k));
}

// Header packet 0x8B: type, value (BE), code (BE), capacity (BE).
inline Bytes header(uint8_t type, int32_t value = 0, uint16_t code = 0, uint32_t cap = 0) {
    const uint32_t v = static_cast<uint32_t>(value);
    return report({0x8B, type, byte(v, 3), byte(v, 2), byte(v, 1), byte(v, 0), byte(code, 1),
                   byte(code, 0), byte(cap, 3), byte(cap, 2), byte(cap, 1), byte(cap, 0)});
}
inline Bytes request(uint16_t fn, int32_t in_len, uint32_t cap) {
    return header(T_REQUEST, in_len, fn, cap);
}
inline Bytes ack() {
    return header(T_ACK);
}
// CTL_DONE: result at 1-4, output length at 5-8.
inline Bytes done(int32_t result, int32_t len) {
    const uint32_t r = static_cast<uint32_t>(result), l = static_cast<uint32_t>(len);
    return report({0x8B, T_DONE, byte(r, 3), byte(r, 2), byte(r, 1), byte(r, 0), byte(l, 3),
                   byte(l, 2), byte(l, 1), byte(l, 0)});
}

inline Bytes data_packet(const uint8_t* p, size_t n) {
    Bytes r(64, 0);
    r[0] = static_cast<uint8_t>(n);
    std::copy(p, p + n, r.begin() + 1);
    return r;
}

inline Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

// hid_write of one report with report ID 0 in front.
inline int send(hid_device* h, const Bytes& r) {
    uint8_t buf[65] = {0};
    std::copy(r.begin(), r.begin() + std::min<size_t>(64, r.size()), buf + 1);
    return hid_write(h, buf, sizeof buf);
}

// Sends a block as data packets of 63 bytes.
inline void send_data(hid_device* h, const Bytes& b) {
    for (size_t off = 0; off < b.size(); off += 63)
        ASSERT_EQ(send(h, data_packet(b.data() + off, std::min<size_t>(63, b.size() - off))), 65);
}

// One hid_read_timeout: the bytes read (empty on time-out); rc gets the
// return value.
inline Bytes recv(hid_device* h, int ms = 500, int* rc = nullptr, size_t len = 65) {
    uint8_t buf[65] = {0};
    const int n = hid_read_timeout(h, buf, len, ms);
    if (rc != nullptr) *rc = n;
    return n <= 0 ? Bytes{} : Bytes(buf, buf + n);
}

// Receives a data block of n bytes.
inline Bytes recv_data(hid_device* h, size_t n) {
    Bytes out;
    while (out.size() < n) {
        const Bytes r = recv(h);
        if (r.size() != 64) {
            ADD_FAILURE() << "data packet missing after " << out.size() << " of " << n;
            return out;
        }
        out.insert(out.end(), r.begin() + 1, r.begin() + 1 + (r[0] & 0x3F));
    }
    return out;
}

inline int32_t be32(const Bytes& r, size_t off) {
    return static_cast<int32_t>((uint32_t(r[off]) << 24) | (uint32_t(r[off + 1]) << 16) |
                                (uint32_t(r[off + 2]) << 8) | r[off + 3]);
}

struct Ctl {
    int32_t result = 0;
    Bytes out;
    bool ok = false; // the exchange ran to its end
};

// A straightforward host exchange: request, CTL_ACK, input, CTL_DONE and a
// fetch.
inline Ctl ctl(hid_device* h, uint16_t fn, const Bytes& in = {}, uint32_t cap = 256) {
    Ctl c;
    EXPECT_EQ(send(h, request(fn, static_cast<int32_t>(in.size()), cap)), 65);
    if (recv(h) != ack()) {
        ADD_FAILURE() << "no CTL_ACK for " << fn;
        return c;
    }
    send_data(h, in);
    const Bytes d = recv(h, 2000);
    if (d.size() != 64 || d[0] != 0x8B || d[1] != T_DONE) {
        ADD_FAILURE() << "no CTL_DONE for " << fn;
        return c;
    }
    c.result = be32(d, 2);
    if (const int32_t len = be32(d, 6); len > 0) {
        send(h, header(T_FETCH));
        c.out = recv_data(h, static_cast<size_t>(len));
    }
    c.ok = true;
    return c;
}

inline double ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

inline void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Opens devices by name and closes them again; every test starts and ends
// with an empty emulator.
template <class Base = ::testing::Test> class EmuTest : public Base {
  protected:
    void SetUp() override { emu::reset(); }
    void TearDown() override {
        for (hid_device* h : open_)
            hid_close(h);
        open_.clear();
        emu::reset();
    }
    void load(const std::string& s) { ASSERT_EQ(emu::load_scenario(s), 0) << emu::last_error(); }
    hid_device* open(const std::string& name) { return open_path(emu::path(name)); }
    hid_device* open_path(const std::string& p) {
        hid_device* h = hid_open_path(p.c_str());
        if (h != nullptr) open_.push_back(h);
        return h;
    }
    void close(hid_device* h) {
        open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
        hid_close(h);
    }

  private:
    std::vector<hid_device*> open_;
};

// Test names of a table: the case's name field.
struct CaseName {
    template <class P> std::string operator()(const ::testing::TestParamInfo<P>& i) const {
        return i.param.name;
    }
};

} // namespace host
