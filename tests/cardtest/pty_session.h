// The real brinlet binary on emulated readers inside a pseudo-terminal:
// what it draws is replayed onto a VtScreen, keys go in as typed.
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

    // Starts bin with args in a terminal of the screen's size, the emulator
    // preloaded with the scenario file and control file given. false when
    // the terminal or the process cannot be made.
    bool start(const std::string& bin, const std::string& emu_lib,
               const std::vector<std::string>& args, const std::string& scenario_path,
               const std::string& control, const std::vector<std::string>& extra_env = {}) {
        control_path = control;
        std::ofstream(control_path, std::ios::trunc).flush();
        winsize size = {};
        size.ws_row = static_cast<unsigned short>(screen.rows);
        size.ws_col = static_cast<unsigned short>(screen.columns);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "BRINLET_EMU_", 12) != 0 &&
                std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
                env.emplace_back(*e);
        env.push_back("LD_PRELOAD=" + emu_lib);
        env.push_back("BRINLET_EMU_SCENARIO=" + scenario_path);
        env.push_back("BRINLET_EMU_CONTROL=" + control_path);
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        for (const std::string& e : extra_env)
            env.push_back(e);
        std::vector<std::string> argv_text = {bin};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (std::string& a : argv_text)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid < 0) return false;
        if (pid == 0) {
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        fcntl(master, F_SETFL, O_NONBLOCK);
        return true;
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

    bool shows(std::string_view text) const {
        for (int r = 0; r < screen.rows; ++r)
            if (screen.text(r).find(text) != std::string::npos) return true;
        return false;
    }

    // A line for the emulator's control file ("event r1 1 1234", ...).
    void command(const std::string& line) {
        std::ofstream(control_path, std::ios::app) << line << "\n";
    }

    void type(std::string_view keys) {
        const ssize_t n = write(master, keys.data(), keys.size());
        (void)n;
    }

    // Waits for the exit; status, or -1 (then killed) after timeout_ms.
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
