// The interactive console in a real pseudo-terminal, driven the way an
// operator types: one answer after each prompt has appeared.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

class Terminal {
  public:
    ~Terminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    // Starts the program on the scenario's readers.
    bool start(const std::string& scenario) {
        write_file(dir_ + "/s.scn", scenario);
        std::vector<std::string> env =
            emulated_environment(dir_ + "/s.scn", dir_ + "/transcript.txt");
        std::erase_if(env, [](const std::string& e) { return e.rfind("TZ=", 0) == 0; });
        env.push_back("TZ=UTC");
        std::string bin = BRINLET_BIN;
        std::vector<char*> argv = {bin.data(), nullptr};
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        winsize size = {};
        size.ws_row = 60;
        size.ws_col = 100;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        fcntl(master_, F_SETFL, O_NONBLOCK);
        return true;
    }

    // Waits until text appears in what was written since the last mark.
    bool wait_for(const std::string& text, int timeout_ms = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (output_.find(text, mark_) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            pump(20);
        }
        mark_ = output_.find(text, mark_) + text.size();
        return true;
    }

    void type(const std::string& keys) {
        EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    int finish(int timeout_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        int st = 0;
        while (waitpid(pid_, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            pump(10);
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    std::string transcript() const { return read_file(dir_ + "/transcript.txt"); }

  private:
    void pump(int wait_ms) {
        pollfd fd = {master_, POLLIN, 0};
        if (poll(&fd, 1, wait_ms) <= 0) return;
        char buf[65536];
        for (;;) {
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            output_.append(buf, static_cast<size_t>(n));
        }
    }

    std::string dir_ = temp_dir();
    pid_t pid_ = -1;
    int master_ = -1;
    std::string output_;
    size_t mark_ = 0;
};

const char* SCENARIO = "device kbd 0x0202\n  serial RD2K0042\n  port 1-4\n  param DEBUG 0\n"
                       "device ser 0x0204\n  serial RD2S0007\n  port 1-5\n";

TEST(ConsolePty, OperatorChangesDebugModeAndLeaves) {
    Terminal t;
    ASSERT_TRUE(t.start(SCENARIO));

    ASSERT_TRUE(t.wait_for("0) USB reader v2/v3 (usb keyboard class), Ser.no.: RD2K0042\r\n"
                           "1) USB reader v2/v3 (usb serial class), Ser.no.: RD2S0007\r\n"));
    ASSERT_TRUE(t.wait_for("Enter number: "));
    t.type("0\r");
    ASSERT_TRUE(t.wait_for("Serial no.    : RD2K0042\r\n"));
    ASSERT_TRUE(t.wait_for("Debug mode    : no log\r\n"));
    ASSERT_TRUE(t.wait_for("100) exit without saving\r\n\r\nEnter number: "));
    t.type("4\r");
    ASSERT_TRUE(t.wait_for("Debug mode (0=no log, 1=warn only, 2=debug): "));
    t.type("2\r");
    ASSERT_TRUE(
        t.wait_for("Value OK, it will be set after config save\r\nPress ENTER to continue"));
    t.type("\r");
    // The screen is drawn again with the report read afresh: nothing was
    // written yet.
    ASSERT_TRUE(t.wait_for("Debug mode    : no log\r\n"));
    ASSERT_TRUE(t.wait_for("Enter number: "));
    t.type("99\r");
    const auto saved = std::chrono::steady_clock::now();
    ASSERT_TRUE(t.wait_for("Press ENTER to continue", 8000));
    EXPECT_GE(std::chrono::steady_clock::now() - saved, std::chrono::milliseconds(2900));
    t.type("\r");
    ASSERT_TRUE(t.wait_for("List of available readers:"));
    ASSERT_TRUE(t.wait_for("0) USB reader v2/v3 (usb keyboard class), Ser.no.: RD2K0042\r\n"));
    ASSERT_TRUE(t.wait_for("Enter number: "));
    t.type("99\r");
    EXPECT_EQ(t.finish(5000), 0);

    const std::string transcript = t.transcript();
    // "DEBUG=2" and its NUL, then the restart.
    const size_t set = transcript.find("fn=502 cap=255 in_len=8 result=0");
    ASSERT_NE(set, std::string::npos);
    EXPECT_NE(transcript.find("in=44454255473d3200", set), std::string::npos);
    EXPECT_NE(transcript.find("fn=506", set), std::string::npos);
    EXPECT_NE(transcript.find("event kbd", transcript.find("fn=506")), std::string::npos);
}

// Ctrl+C leaves the test mode for a fresh list; Ctrl+D at the start of a
// line is the end of input on the terminal and ends the program.
TEST(ConsolePty, CtrlCLeavesTestModeAndCtrlDEndsTheProgram) {
    Terminal t;
    ASSERT_TRUE(t.start(SCENARIO));
    ASSERT_TRUE(t.wait_for("Enter number: "));
    t.type("100\r");
    ASSERT_TRUE(t.wait_for("(CTRL+C to exit)"));
    t.type("\x03"); // the terminal turns Ctrl+C into SIGINT
    ASSERT_TRUE(t.wait_for("Press ENTER to continue", 8000));
    t.type("\r");
    ASSERT_TRUE(t.wait_for("List of available readers:"));
    ASSERT_TRUE(t.wait_for("1) USB reader v2/v3 (usb serial class), Ser.no.: RD2S0007\r\n"));
    ASSERT_TRUE(t.wait_for("Enter number: "));
    t.type("0\r");
    ASSERT_TRUE(t.wait_for("Enter number: "));
    t.type("5\r");
    ASSERT_TRUE(t.wait_for("Sound mode (0=sound disabled, 1=sound enabled): "));
    t.type("\x04");
    EXPECT_EQ(t.finish(3000), 0);
    EXPECT_EQ(t.transcript().find("fn=502"), std::string::npos);
}

} // namespace
