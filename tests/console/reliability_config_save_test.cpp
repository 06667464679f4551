// SPDX-License-Identifier: GPL-2.0-or-later
// Saving the configuration on a reader that breaks one of the save's
// exchanges in each way a real one can. Every cell runs on its own emulated
// reader, all cells of one failure kind side by side. Whatever breaks, the
// save ends within the link's bounds, reports a failure whenever a write
// was not accepted, and restarts the reader only when one was.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "console/config_menu.h"
#include "console/reader_info.h"
#include "console_rig.h"
#include "link/reader_link.h"

namespace {

// The writes in their fixed order: defaults (505), then USBMODE, READERPROTOCOL,
// DEBUG, SOUND, KMMODE (each 502), then the restart (506).
struct Step {
    const char* name;
    int function;
    int nth; // which exchange of that function, 1-based
};
constexpr Step STEPS[] = {{"defaults", 505, 1}, {"usbmode", 502, 1}, {"protocol", 502, 2},
                          {"debug", 502, 3},    {"sound", 502, 4},   {"kmmode", 502, 5},
                          {"restart", 506, 1}};

struct FailureKind {
    const char* name;
    const char* items;
    bool gone; // the reader left the bus, or is out of step after a failed read
};
CONSOLE_CASE_PRINTER(FailureKind)

constexpr FailureKind KINDS[] = {
    {"unplug", "unplug request", true},   {"unplugdone", "unplug done", true},
    {"noack", "noack all", false},        {"reqerror", "reqerror -7", false},
    {"doneerror", "doneerror -3", false}, {"donetype", "donetype 7", false},
    {"shortdone", "short done 5", false}, {"hidfail", "hidfail ack", true},
    {"busy", "result -25", false}};

// Defaults, USB mode 3 (no keyboard options) with KM mode 1, protocol 7,
// debug 1, sound 1, in the order of PendingConfig.
constexpr PendingConfig EVERY_CHANGE = {1, 1, 3, 0, 0, 0, 1, 1, 1, 7, 1, 1, 1, 1, 0};

// Reader c<index>, serial CS<index>, whose step-th exchange breaks.
std::string device(int index, const Step& step, const char* items) {
    const std::string n = std::to_string(index);
    const std::string fn = "  fn " + std::to_string(step.function) + " ";
    std::string s = "device c" + n + " 0x0204\n  serial CS" + n + "\n";
    if (step.nth > 1) s += fn + "model times " + std::to_string(step.nth - 1) + "\n";
    return s + fn + items + "\n" + fn + "model\n";
}

class ConfigSaveFaults : public ConsoleTest, public ::testing::WithParamInterface<FailureKind> {
  public:
    static void SetUpTestSuite() {
        std::printf("[ matrix   ] %zu failure kinds x %zu steps = %zu cells\n", std::size(KINDS),
                    std::size(STEPS), std::size(KINDS) * std::size(STEPS));
    }
};

TEST_P(ConfigSaveFaults, SaveEndsInTimeAndReportsTheBrokenWrite) {
    const FailureKind& kind = GetParam();
    const int count = static_cast<int>(std::size(STEPS));
    std::string scenario;
    for (int i = 0; i < count; ++i)
        scenario += device(i, STEPS[i], kind.items);
    load(scenario);
    reported_config = ReportedConfig{};

    std::vector<Reader*> readers(count);
    std::vector<int32_t> results(count, 0);
    std::vector<PendingConfig> pending(count, EVERY_CHANGE);
    std::vector<double> took(count, 0);
    for (int i = 0; i < count; ++i) {
        readers[i] = reader_by_serial(("CS" + std::to_string(i)).c_str());
        ASSERT_NE(readers[i], nullptr);
        ASSERT_EQ(reader_open(readers[i]), 0);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            const auto t0 = std::chrono::steady_clock::now();
            results[i] = config_save(readers[i], &pending[i]);
            took[i] =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
        });
    for (std::thread& t : threads)
        t.join();

    for (int i = 0; i < count; ++i) {
        const Step& step = STEPS[i];
        SCOPED_TRACE(std::string(step.name) + " " + kind.name);
        const bool restart_step = step.function == 506;
        // Seven exchanges of at most a request step each (600 ms) or one
        // CTL_DONE wait, and the 3 s restart wait.
        EXPECT_LT(took[i], 7 * 600 + 10000 + RESTART_WAIT_MS + 2000);
        if (restart_step) {
            EXPECT_EQ(results[i], 0) << "the restart's answer tells nothing";
        } else {
            EXPECT_NE(results[i], 0) << "a write that was not accepted is a failure";
        }
        // The reader is restarted exactly when some write was accepted.
        int accepted = 0, restarts = 0;
        for (const emu::Exchange& x : emu::exchanges(("c" + std::to_string(i)).c_str())) {
            if (x.function == 506) ++restarts;
            if ((x.function == 502 || x.function == 505) && x.result == 0 &&
                (x.outcome == "no_output" || x.outcome == "fetched"))
                ++accepted;
        }
        // The host never counts a write the reader did not take. After a
        // failed HID read the reader's queued answer is read by the next
        // request, so the host may miss writes the reader took.
        if (pending[i].applied != 0) {
            EXPECT_GT(accepted, 0);
        }
        if (std::string(kind.name) != "hidfail") {
            EXPECT_EQ(pending[i].applied != 0, accepted > 0);
        }
        // A reader that left the bus cannot be asked to restart, and one
        // out of step after a failed read may take the restart request for
        // something else.
        if (accepted > 0 && !restart_step && !kind.gone) {
            EXPECT_GE(restarts, 1);
        }
        if (accepted == 0) {
            EXPECT_EQ(restarts, 0);
        }
        reader_close(readers[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConfigSaveFaults, ::testing::ValuesIn(KINDS),
                         case_name<FailureKind>);

} // namespace
