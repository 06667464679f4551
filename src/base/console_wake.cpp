// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/console_wake.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "base/result.h"

namespace {

// Process-wide because signal handlers (Ctrl+C, a new terminal size) and
// the diagnostics' hook wake the console, and neither can be handed a
// context. fd is written by the console thread (open, close) and read by
// any thread; pending is set by whoever wakes and cleared by the console.
// Both are read in signal handlers: lock-free atomics, sequentially
// consistent.
struct ConsoleWake {
    std::atomic<int> fd{-1};
    std::atomic<bool> pending{false};
};
ConsoleWake wake;
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

} // namespace

int console_wake_open() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return SYSTEM_FAILED;
    wake.pending = false;
    wake.fd = fd;
    return 0;
}

void console_wake_close() {
    const int fd = wake.fd.exchange(-1);
    if (fd >= 0) close(fd);
}

void console_wake() {
    // Only the first call after the console took the last wake-up writes.
    if (wake.pending.exchange(true)) return;
    const int fd = wake.fd.load();
    if (fd < 0) return;
    const int saved_errno = errno;
    const uint64_t one = 1;
    const ssize_t n = write(fd, &one, sizeof one);
    (void)n;
    errno = saved_errno;
}

int console_wake_wait(int timeout_ms) {
    const int fd = wake.fd.load();
    if (fd < 0) {
        if (timeout_ms > 0) poll(nullptr, 0, std::min(timeout_ms, WAKE_FALLBACK_MS));
        return 1;
    }
    pollfd ready = {fd, POLLIN, 0};
    const int n = poll(&ready, 1, timeout_ms > 0 ? timeout_ms : 0);
    if (n <= 0 && !wake.pending.load()) return 0;
    // The counter is emptied before the flag is cleared: a wake-up after
    // the clear writes again, and the next wait sees it.
    uint64_t count = 0;
    const ssize_t got = read(fd, &count, sizeof count);
    (void)got;
    wake.pending = false;
    return 1;
}
