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

inline uint8_t b3(uint32_t v) {
    return static_cast<uint8_t>(v >> 24);
}
inline uint8_t b2(uint32_t v) {
    return static_cast<uint8_t>(v >> 16);
}
inline uint8_t b1(uint32_t v) {
    return static_cast<uint8_t>(v >> 8);
}
inline uint8_t b0(uint32_t v) {
    return static_cast<uint8_t>(v);
}

// Header packet 0x8B: type, value (BE), code (BE), capacity (BE).
inline Bytes header(uint8_t type, int32_t value = 0, uint16_t code = 0, uint32_t cap = 0) {
    const uint32_t v = static_cast<uint32_t>(value);
    return report({0x8B, type, b3(v), b2(v), b1(v), b0(v), b1(code), b0(code), b3(cap), b2(cap),
                   b1(cap), b0(cap)});
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
    return report({0x8B, T_DONE, b3(r), b2(r), b1(r), b0(r), b3(l), b2(l), b1(l), b0(l)});
}
inline Bytes cb_request(uint16_t code, uint32_t len) {
    return header(T_CB_REQUEST, len, code);
}
inline Bytes error(int32_t v) {
    return header(T_ERROR, v);
}

inline Bytes data_packet(const uint8_t* p, size_t n) {
    Bytes r(64, 0);
    r[0] = static_cast<uint8_t>(n);
    std::copy(p, p + n, r.begin() + 1);
    return r;
}
inline Bytes data_packet(const Bytes& b) {
    return data_packet(b.data(), b.size());
}

inline Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}
inline std::string str(const Bytes& b) {
    return std::string(b.begin(), b.end());
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
    int n = hid_read_timeout(h, buf, len, ms);
    if (rc != nullptr) *rc = n;
    if (n <= 0) return {};
    return Bytes(buf, buf + n);
}

// Receives a data block of n bytes.
inline Bytes recv_data(hid_device* h, size_t n) {
    Bytes out;
    while (out.size() < n) {
        Bytes r = recv(h);
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
    int32_t out_len = 0;
    Bytes out;
    bool ok = false; // the exchange ran to its end
};

// A straightforward host exchange: request, CTL_ACK, input, CTL_DONE, and a
// fetch (or CTL_ERROR -5 when the output is larger than cap).
inline Ctl ctl(hid_device* h, uint16_t fn, const Bytes& in = {}, uint32_t cap = 256) {
    Ctl c;
    EXPECT_EQ(send(h, request(fn, static_cast<int32_t>(in.size()), cap)), 65);
    Bytes a = recv(h);
    if (a != ack()) {
        ADD_FAILURE() << "no CTL_ACK for " << fn;
        return c;
    }
    send_data(h, in);
    Bytes d = recv(h, 2000);
    if (d.size() != 64 || d[0] != 0x8B || d[1] != T_DONE) {
        ADD_FAILURE() << "no CTL_DONE for " << fn;
        return c;
    }
    c.result = be32(d, 2);
    c.out_len = be32(d, 6);
    if (c.out_len != 0) {
        if (c.out_len > static_cast<int32_t>(cap)) {
            send(h, error(-5));
        } else {
            send(h, header(T_FETCH));
            if (c.out_len > 0) c.out = recv_data(h, static_cast<size_t>(c.out_len));
        }
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
class EmuTest : public ::testing::Test {
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

} // namespace host
