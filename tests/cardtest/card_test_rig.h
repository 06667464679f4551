// SPDX-License-Identifier: GPL-2.0-or-later
// Emulated readers for card test mode in this process: scenario loading,
// workers started and stopped as the console does, and a console run on its
// own thread with standard input and output redirected.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/diag.h"
#include "base/quit.h"
#include "cardtest/card_test_console.h"
#include "cardtest/card_test_table.h"
#include "cardtest/card_test_worker.h"
#include "cardtest/reader_test_state.h"
#include "discovery/reader_list.h"
#include "emu.h"
#include "support/capture.h"
#include "support/reader_fixture.h"
#include "support/table.h"
#include "support/vt_screen.h"

using namespace std::chrono_literals;

// The session every test of card test mode runs in, as one run of the
// program would.
inline CardTestSession card_session;

// Waits until done() holds, checking every millisecond. Returns done().
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Function codes the reader saw, in order: "2107 1500 ...".
inline std::string functions(const char* name) {
    std::string out;
    for (const emu::Exchange& e : emu::exchanges(name))
        out += (out.empty() ? "" : " ") + std::to_string(e.function);
    return out;
}

// A device block of the scenario language.
inline std::string device_block(const std::string& name, const char* product,
                                const std::string& serial, const std::string& statements = "") {
    return "device " + name + " " + product + "\n  serial " + serial + "\n" + statements + "end\n";
}

class CardTestRig : public ::testing::Test {
  public:
    // Stops every worker as the console does, then forgets the readers.
    void TearDown() override {
        std::vector<Reader*> all;
        {
            std::lock_guard<std::mutex> lock(card_session.lock);
            for (Reader* r : listed_readers())
                all.push_back(r);
        }
        // All at once: each worker sees its stop when its wait ends.
        for (Reader* r : all)
            request_stop(r);
        for (Reader* r : all)
            wait_until([&] { return !reader_is_open(r); }, 5000ms);
        card_test_join_all(&card_session); // the workers' last steps are done
        readers_exit();
        emu::reset();
        diag_verbosity = 0;
    }

    // Loads the scenario and lists its readers.
    void load(const std::string& scenario) {
        emu::reset();
        ASSERT_EQ(emu::load_scenario(scenario), 0) << emu::last_error();
        readers_init();
        std::lock_guard<std::mutex> lock(card_session.lock);
        readers_enumerate();
    }

    static Reader* reader(const char* serial) {
        std::lock_guard<std::mutex> lock(card_session.lock);
        return reader_by_serial(serial);
    }

    // As the console starts a worker.
    static bool start(Reader* r) {
        std::lock_guard<std::mutex> lock(card_session.lock);
        if (card_test_start_reader(&card_session, r, card_test_worker) != 0) return false;
        card_session.workers.fetch_add(1);
        return true;
    }

    // Runs f on the Reader's test state while it cannot be released;
    // false when the Reader has none.
    static bool with_state(Reader* r, const std::function<void(ReaderTestState&)>& f) {
        std::lock_guard<std::mutex> lock(card_session.lock);
        ReaderTestState* s = card_test_state(&card_session, r);
        if (s == nullptr) return false;
        std::lock_guard<std::mutex> texts(s->text_lock);
        f(*s);
        return true;
    }

    static bool ready(Reader* r) {
        bool is_ready = false;
        with_state(r, [&](ReaderTestState& s) { is_ready = s.ready != 0; });
        return is_ready;
    }

    static std::string card_text(Reader* r) {
        std::string t;
        with_state(r, [&](ReaderTestState& s) { t = s.card_text; });
        return t;
    }

    static void request_stop(Reader* r) {
        with_state(r, [](ReaderTestState& s) { s.stop_requested = 1; });
    }
};

// card_test_run on its own thread; standard output goes to a file that can
// be read while the console runs, standard input is at its end.
class ConsoleRun {
  public:
    ConsoleRun() {
        std::fflush(stdout);
        char name[] = "/tmp/cardtest-screen-XXXXXX";
        out_fd_ = mkstemp(name);
        unlink(name);
        const int in_fd = open("/dev/null", O_RDONLY);
        dup2(out_fd_, 1);
        dup2(in_fd, 0);
        close(in_fd);
        thread_ = std::thread([this] { result_ = card_test_run(&card_session); });
    }
    ~ConsoleRun() {
        finish();
        for (int fd : {out_fd_, saved_out_, saved_in_})
            close(fd);
    }

    // What the console has written so far.
    std::string output() const {
        struct stat st = {};
        fstat(out_fd_, &st);
        std::string text(static_cast<size_t>(st.st_size), '\0');
        text.resize(
            static_cast<size_t>(std::max(pread(out_fd_, text.data(), text.size(), 0), ssize_t{0})));
        return text;
    }

    VtScreen screen(bool utf8 = false) const {
        VtScreen vt(60, 80, utf8);
        vt.feed(output());
        return vt;
    }

    // Waits until the screen as drawn so far satisfies done.
    bool wait_screen(const std::function<bool(const VtScreen&)>& done,
                     std::chrono::milliseconds limit) const {
        return wait_until([&] { return done(screen()); }, limit);
    }

    // Sets quit_requested (as the SIGINT handler does) unless quit is false, and
    // waits for card_test_run to return.
    int32_t finish(bool quit = true) {
        if (!thread_.joinable()) return result_;
        if (quit) quit_requested = 1;
        thread_.join();
        std::fflush(stdout);
        dup2(saved_out_, 1);
        dup2(saved_in_, 0);
        clearerr(stdin);
        // Failures reported meanwhile went into the screen file.
        if (::testing::Test::HasFailure()) std::fprintf(stderr, "%s\n", output().c_str());
        return result_;
    }

  private:
    int out_fd_ = -1;
    const int saved_out_ = dup(1);
    const int saved_in_ = dup(0);
    std::thread thread_;
    int32_t result_ = -1;
};
