// SPDX-License-Identifier: GPL-2.0-or-later
// The card test worker on readers that break one exchange of its set-up or
// of a card read in each way a real reader can. Each test runs one failure
// kind on every exchange at once, one emulated reader per exchange, as card
// test mode runs many readers side by side. Whatever breaks, every worker
// ends after the stop request within the link's time bounds, closes its
// reader and releases its test state.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "card_test_rig.h"
#include "link/ctl_exchange.h"

namespace {

// Set-up: status, module check, features, protocol, registration, the
// re-arm; a card read: card handle, card data, good read, done.
constexpr int WORKER_FUNCTIONS[] = {2107, 1500, 2100, 504, 530, 2103, 562, 600, 601, 563, 542};

struct FailureKind {
    const char* name;
    const char* items;
};

void PrintTo(const FailureKind& k, std::ostream* os) {
    *os << k.name << " (" << k.items << ")";
}

const FailureKind KINDS[] = {
    {"unplug", "unplug request"},
    {"unplugdone", "unplug done"},
    {"noack", "noack all"},
    {"reqerror", "reqerror -7"},
    {"doneerror", "doneerror -3"},
    {"donetype", "donetype 7"},
    {"shortdone", "short done 5"},
    {"hidfail", "hidfail ack"},
    {"busy", "result -25 times 1000000"},
};

class WorkerFaults : public CardTestRig, public ::testing::WithParamInterface<FailureKind> {};

std::string fault_reader(int index, int function, const char* items) {
    const std::string n = std::to_string(index);
    const std::string f = std::to_string(function);
    std::string statements = "  features 1\n  card \"4711\" after 562\n";
    statements.append("  fn ").append(f).append(" ").append(items).append("\n");
    statements.append("  fn ").append(f).append(" model\n");
    return device_block(std::string("w").append(n), "0x0204", std::string("SN").append(n),
                        statements);
}

TEST_P(WorkerFaults, EveryWorkerEndsAfterTheStopRequestAndReleasesItsReader) {
    std::printf("worker fault matrix: %s on %zu exchanges, %zu cells in all\n", GetParam().name,
                std::size(WORKER_FUNCTIONS), std::size(KINDS) * std::size(WORKER_FUNCTIONS));
    std::string scenario;
    const int count = static_cast<int>(std::size(WORKER_FUNCTIONS));
    for (int i = 0; i < count; ++i)
        scenario += fault_reader(i, WORKER_FUNCTIONS[i], GetParam().items);
    load(scenario);
    std::vector<Reader*> readers;
    for (int i = 0; i < count; ++i) {
        const std::string serial = std::string("SN").append(std::to_string(i));
        Reader* r = reader(serial.c_str());
        ASSERT_NE(r, nullptr);
        ASSERT_TRUE(start(r));
        readers.push_back(r);
    }
    // Long enough for every set-up to reach its broken exchange (a request
    // step is at most 600 ms) and for the card after the re-arm.
    std::this_thread::sleep_for(3s);
    const auto stop_at = std::chrono::steady_clock::now();
    for (Reader* r : readers)
        with_state(r, [](ReaderTestState& s) { s.stop_requested = 1; });
    for (int i = 0; i < count; ++i) {
        // The longest wait a worker may be in: CTL_DONE (9990 ms) plus a
        // request step and a status retry pause.
        const bool closed = wait_until([&] { return !reader_is_open(readers[i]); }, 12000ms);
        EXPECT_TRUE(closed) << "fn " << WORKER_FUNCTIONS[i] << " " << GetParam().name;
    }
    const double waited =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stop_at)
            .count();
    EXPECT_LT(waited, 12000);
    EXPECT_TRUE(wait_until([] { return test_workers.load() == 0; }, 1000ms));
    std::lock_guard<std::mutex> lock(list_lock);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(readers[i]->test_ctx.load(), nullptr) << "fn " << WORKER_FUNCTIONS[i];
}

INSTANTIATE_TEST_SUITE_P(Kinds, WorkerFaults, ::testing::ValuesIn(KINDS),
                         [](const auto& info) { return std::string(info.param.name); });

// A reader whose status stays busy for ever keeps the set-up waiting; the
// stop request ends the wait at the next retry.
TEST_F(CardTestRig, StatusBusyForEverEndsAtTheStopRequest) {
    load(device_block("b", "0x0204", "SB1", "  status busy\n"));
    Reader* r = reader("SB1");
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(start(r));
    std::this_thread::sleep_for(1500ms);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(stop(r));
    const double waited =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(waited, 1500);
}

} // namespace
