// SPDX-License-Identifier: GPL-2.0-or-later
// The control file is read the moment something is written to it, by a
// thread of its own that sleeps until then, so that readers waiting in
// hid_read_timeout need not wake to look at it.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "world.h"

namespace emu::detail {

namespace {

std::atomic<bool> watching{false};

// A FIFO has data to read. Opened for writing too: without a writer poll
// would report a hang-up for ever.
void watch_fifo(int fd) {
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const int n = poll(&p, 1, -1);
        if ((n < 0 && errno != EINTR) || (p.revents & (POLLERR | POLLNVAL)) != 0) break;
        if (n > 0) world_tick_control();
    }
    watching = false; // waiting readers look again every 10 ms
}

// A plain file (or one not made yet) is written, closed after writing,
// created or moved into place: the events of its folder that name it.
void watch_file(int notify, const std::string& name) {
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = read(notify, events, sizeof events);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bool ours = false;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            ours = ours || (e->len > 0 && name == e->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
        if (ours) world_tick_control();
    }
    watching = false;
}

// The watch is the emulator's thread, not the program's: it blocks every
// signal, as a USB library's own threads do, so that a signal the program
// handles (Ctrl+C in the card test) is given to one of the program's
// threads and never waits here for the next control command.
template <typename Watch, typename... Args> void start_watch(Watch watch, Args... args) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    watching = true;
    std::thread(watch, args...).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

} // namespace

bool control_watched() {
    return watching.load();
}

void start_control_watch(const std::string& path) {
    struct stat st = {};
    if (stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        start_watch(watch_fifo, fd);
        return;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int notify = inotify_init1(IN_CLOEXEC);
    if (notify < 0) return;
    if (inotify_add_watch(notify, dir.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
        close(notify);
        return;
    }
    start_watch(watch_file, notify, name);
}

} // namespace emu::detail
