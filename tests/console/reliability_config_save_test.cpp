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
// DEBUG, SOUND, KMMODE (the first to fifth 502), then the restart (506).
constexpr const char* STEPS[] = {"defaults", "usbmode", "protocol", "debug",
                                 "sound",    "kmmode",  "restart"};
constexpr auto step_function = [](int step) { return step == 0 ? 505 : step == 6 ? 506 : 502; };

struct FailureKind {
    const char* name;
    const char* items;
};

constexpr FailureKind KINDS[] = {
    {"unplug", "unplug request"},  {"unplugdone", "unplug done"}, {"noack", "noack all"},
    {"reqerror", "reqerror -7"},   {"doneerror", "doneerror -3"}, {"donetype", "donetype 7"},
    {"shortdone", "short done 5"}, {"hidfail", "hidfail ack"},    {"busy", "result -25"}};

// Defaults, USB mode 3 (no keyboard options) with KM mode 1, protocol 7,
// debug 1, sound 1, in the order of PendingConfig.
constexpr PendingConfig EVERY_CHANGE = {1, 1, 3, 0, 0, 0, 1, 1, 1, 7, 1, 1, 1, 1, 0};

class ConfigSaveFaults : public ConsoleTest, public ::testing::WithParamInterface<FailureKind> {};

// Reader c<i> breaks the exchange of step i; all save at once.
TEST_P(ConfigSaveFaults, SaveEndsInTimeAndReportsTheBrokenWrite) {
    const FailureKind& kind = GetParam();
    if (kind.name == KINDS[0].name) // once, with the first kind's cells
        std::printf("[ matrix   ] %zu failure kinds x %zu steps = %zu cells\n", std::size(KINDS),
                    std::size(STEPS), std::size(KINDS) * std::size(STEPS));
    constexpr int count = std::size(STEPS);
    std::string scenario;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i), fn = "  fn " + std::to_string(step_function(i));
        scenario += "device c" + n + " 0x0204\n";
        if (step_function(i) == 502 && i > 1)
            scenario += fn + " model times " + std::to_string(i - 1) + "\n";
        scenario += fn + " " + kind.items + "\n" + fn + " model\n";
    }
    load(scenario);
    const ReportedConfig reported;
    Reader* readers[count];
    int32_t results[count];
    std::vector<PendingConfig> pending(count, EVERY_CHANGE);
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(reader_open(readers[i] = reader_by_index(i)), 0);
    const auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] {
                results[i] = config_save(readers[i], &pending[static_cast<size_t>(i)], reported);
            });
    }
    // Seven exchanges of at most a request step each (600 ms) or one CTL_DONE
    // wait, and the 3 s restart wait; the cells ran side by side.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(7 * 600 + 10000 + RESTART_WAIT_MS + 2000));

    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(std::string(STEPS[i]) + " " + kind.name);
        const bool restart_step = step_function(i) == 506;
        // The reader left the bus, or is out of step after a failed read.
        const std::string items = kind.items;
        const bool gone = items.starts_with("unplug") || items.starts_with("hidfail");
        // A write that was not accepted is a failure; the restart's answer
        // tells nothing.
        EXPECT_EQ(results[i] == 0, restart_step);
        int accepted = 0, restarts = 0;
        for (const emu::Exchange& x : emu::exchanges(("c" + std::to_string(i)).c_str())) {
            restarts += x.function == 506;
            accepted += (x.function == 502 || x.function == 505) && x.result == 0 &&
                        (x.outcome == "no_output" || x.outcome == "fetched");
        }
        // The host never counts a write the reader did not take. After a
        // failed HID read the reader's queued answer is read by the next
        // request, so the host may miss writes the reader took.
        const bool applied = pending[static_cast<size_t>(i)].applied != 0;
        EXPECT_TRUE(!applied || accepted > 0);
        EXPECT_TRUE(applied == (accepted > 0) || items.starts_with("hidfail")) << accepted;
        // The reader is restarted only when some write was accepted; one
        // that left the bus cannot be asked to, and one out of step after a
        // failed read may take the restart request for something else.
        EXPECT_TRUE(accepted == 0 || restart_step || gone || restarts >= 1) << accepted;
        EXPECT_TRUE(accepted > 0 || restarts == 0) << restarts;
        reader_close(readers[i]);
    }
}

TABLE_TEST(Kinds, ConfigSaveFaults, KINDS);

} // namespace
