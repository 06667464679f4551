// SPDX-License-Identifier: GPL-2.0-or-later
// A program inside a pseudo-terminal of a given size: what it draws is
// replayed onto a VtScreen, keys go in as typed, signals as sent.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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
    int status = -1;
    std::string output; // every byte the program wrote
    size_t mark = 0;    // where wait_for_text looks from

    PtySession(int rows, int columns) : screen(rows, columns) {}
    ~PtySession() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) close(master);
    }
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // Starts argv[0] with argv in a terminal of the screen's size. The
    // environment is this process's, without the variables whose names
    // begin with one of unset, plus env ("NAME=value"). false when the
    // terminal or the process cannot be made.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               const std::vector<std::string>& unset = {}) {
        winsize size = {};
        size.ws_row = static_cast<unsigned short>(screen.rows);
        size.ws_col = static_cast<unsigned short>(screen.columns);
        std::vector<std::string> env_text;
        for (char** e = environ; *e != nullptr; ++e) {
            bool keep = true;
            for (const std::string& prefix : unset)
                keep = keep && std::strncmp(*e, prefix.c_str(), prefix.size()) != 0;
            if (keep) env_text.emplace_back(*e);
        }
        env_text.insert(env_text.end(), env.begin(), env.end());
        std::vector<std::string> argv_text = argv;
        std::vector<char*> args, envp;
        for (std::string& a : argv_text)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (std::string& e : env_text)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid < 0) return false;
        if (pid == 0) {
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        fcntl(master, F_SETFL, O_NONBLOCK);
        return true;
    }

    // Starts bin with args on the reader emulator (emu_lib preloaded), its
    // scenario file and an empty control file for command().
    bool start(const std::string& bin, const std::string& emu_lib,
               const std::vector<std::string>& args, const std::string& scenario_path,
               const std::string& control, const std::vector<std::string>& extra_env = {}) {
        control_path = control;
        std::ofstream(control_path, std::ios::trunc).flush();
        std::vector<std::string> argv = {bin};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = {"LD_PRELOAD=" + emu_lib,
                                        "BRINLET_EMU_SCENARIO=" + scenario_path,
                                        "BRINLET_EMU_CONTROL=" + control_path,
                                        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        return start(argv, env, {"BRINLET_EMU_", "LD_PRELOAD=", "ASAN_OPTIONS="});
    }

    // Reads what the program wrote during up to wait_ms; returns the bytes.
    size_t pump(int wait_ms) {
        size_t got = 0;
        pollfd fd = {master, POLLIN, 0};
        if (poll(&fd, 1, wait_ms) <= 0) return 0;
        char buf[65536];
        for (;;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            screen.feed(std::string_view(buf, static_cast<size_t>(n)));
            output.append(buf, static_cast<size_t>(n));
            got += static_cast<size_t>(n);
        }
        bytes_read += got;
        return got;
    }

    // Pumps until done() holds or timeout_ms passed. Returns done().
    bool wait_for(const std::function<bool()>& done, int timeout_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            pump(5);
        }
        return true;
    }

    // Pumps until text appears in what was written after the text last
    // waited for, and moves past it. false after timeout_ms.
    bool wait_for_text(std::string_view text, int timeout_ms = 10000) {
        if (!wait_for([&] { return output.find(text, mark) != std::string::npos; }, timeout_ms))
            return false;
        mark = output.find(text, mark) + text.size();
        return true;
    }

    // Pumps until the screen satisfies done or timeout_ms passed.
    bool wait_screen(const std::function<bool(const VtScreen&)>& done, int timeout_ms) {
        return wait_for([&] { return done(screen); }, timeout_ms);
    }

    bool shows(std::string_view text) const { return screen.shows(text); }

    // A line for the emulator's control file ("event r1 1 1234", ...).
    void command(const std::string& line) {
        std::ofstream(control_path, std::ios::app) << line << "\n";
    }

    void type(std::string_view keys) {
        const ssize_t n = write(master, keys.data(), keys.size());
        (void)n;
    }

    bool signal(int sig) { return pid > 0 && kill(pid, sig) == 0; }

    // Waits for the exit: the exit status (128 + signal when killed by one),
    // or -1 after timeout_ms (the destructor then kills the process).
    int finish(int timeout_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        int st = 0;
        while (waitpid(pid, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            pump(10);
        }
        pump(0);
        pid = -1;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status;
    }
};
