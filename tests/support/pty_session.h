// SPDX-License-Identifier: GPL-2.0-or-later
// A program inside a pseudo-terminal of a given size: what it draws is
// replayed onto a VtScreen, keys go in as typed, emulator commands through
// its control file. Header only: the card test bench uses it too.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vt_screen.h"

struct PtySession {
    pid_t pid = -1;
    int master = -1;
    VtScreen screen;
    size_t bytes_read = 0;
    std::string control_path;
    std::string output; // every byte the program wrote
    size_t mark = 0;    // where wait_for_text looks from

    PtySession(int rows, int columns) : screen(rows, columns) {}
    ~PtySession() {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        if (master >= 0) close(master);
    }
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // Starts bin with args in a terminal of the screen's size on the reader
    // emulator (emu_lib preloaded), its scenario file and an empty control
    // file for command(). The environment is this process's, less emulator
    // settings, preload and sanitizer options, plus extra_env. false when
    // the terminal or the process cannot be made.
    bool start(const std::string& bin, const std::string& emu_lib,
               const std::vector<std::string>& args, const std::string& scenario_path,
               const std::string& control, const std::vector<std::string>& extra_env = {}) {
        control_path = control;
        std::ofstream(control_path, std::ios::trunc).flush();
        std::vector<std::string> argv = {bin}, env;
        argv.insert(argv.end(), args.begin(), args.end());
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "BRINLET_EMU_", 12) && std::strncmp(*e, "LD_PRELOAD=", 11) &&
                std::strncmp(*e, "ASAN_OPTIONS=", 13))
                env.emplace_back(*e);
        env.insert(env.end(), {"LD_PRELOAD=" + emu_lib, "BRINLET_EMU_SCENARIO=" + scenario_path,
                               "BRINLET_EMU_CONTROL=" + control_path,
                               "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        std::vector<char*> a(argv.size() + 1), e(env.size() + 1); // null-terminated
        const auto data = [](std::string& s) { return s.data(); };
        std::ranges::transform(argv, a.begin(), data);
        std::ranges::transform(env, e.begin(), data);
        winsize size = {static_cast<unsigned short>(screen.rows),
                        static_cast<unsigned short>(screen.columns), 0, 0};
        pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) execve(a[0], a.data(), e.data()), _exit(127);
        return pid > 0 && fcntl(master, F_SETFL, O_NONBLOCK) == 0;
    }

    // Reads what the program wrote during up to wait_ms; returns the bytes.
    size_t pump(int wait_ms) {
        pollfd fd = {master, POLLIN, 0};
        const size_t before = bytes_read;
        char buf[65536];
        if (poll(&fd, 1, wait_ms) > 0)
            for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;
                 bytes_read += static_cast<size_t>(n)) {
                screen.feed(std::string_view(buf, static_cast<size_t>(n)));
                output.append(buf, static_cast<size_t>(n));
            }
        return bytes_read - before;
    }

    // Pumps until done() holds or timeout_ms passed. Returns done().
    bool wait_for(const std::function<bool()>& done, int timeout_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done() && std::chrono::steady_clock::now() < end)
            pump(5);
        return done();
    }

    // Pumps for ms, whatever comes.
    void settle(int ms) {
        wait_for([] { return false; }, ms);
    }

    // Pumps until text appears in what was written after the text last
    // waited for, and moves past it. false after timeout_ms.
    bool wait_for_text(std::string_view text, int timeout_ms = 10000) {
        size_t at = 0;
        const auto seen = [&] { return (at = output.find(text, mark)) != std::string::npos; };
        return wait_for(seen, timeout_ms) && (mark = at + text.size(), true);
    }

    bool shows(std::string_view text) const { return screen.shows(text); }

    // A line for the emulator's control file ("event r1 1 1234", ...).
    void command(const std::string& line) {
        std::ofstream(control_path, std::ios::app) << line << "\n";
    }

    void type(std::string_view keys) { (void)!write(master, keys.data(), keys.size()); }

    // Waits for the exit: the exit status (128 + signal when killed by one),
    // or -1 after timeout_ms (the destructor then kills the process).
    int finish(int timeout_ms) {
        int st = 0;
        bool ended = false;
        wait_for([&] { return ended = ended || waitpid(pid, &st, WNOHANG) != 0; }, timeout_ms);
        if (!ended) return -1;
        pump(0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
};
