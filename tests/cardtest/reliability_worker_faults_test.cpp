// SPDX-License-Identifier: GPL-2.0-or-later
// The card test worker on readers that break one exchange of its set-up or
// of a card read in each way a real reader can. Each test runs one failure
// kind on every exchange at once, one emulated reader per exchange, as card
// test mode runs many readers side by side. Whatever breaks, every worker
// ends after the stop request within the link's time bounds, closes its
// reader and releases its test state.
#include "card_test_rig.h"

namespace {

// Set-up: status, module check, features, protocol, registration, the
// re-arm; a card read: card handle, card data, good read, done.
constexpr int WORKER_FUNCTIONS[] = {2107, 1500, 2100, 504, 530, 2103, 562, 600, 601, 563, 542};

struct FailureKind {
    const char* name;
    const char* items;
};

const FailureKind KINDS[] = {
    {"Unplug", "unplug request"},
    {"UnplugDone", "unplug done"},
    {"NoAck", "noack all"},
    {"ReqError", "reqerror -7"},
    {"DoneError", "doneerror -3"},
    {"DoneType", "donetype 7"},
    {"ShortDone", "short done 5"},
    {"HidFail", "hidfail ack"},
    {"Busy", "result -25 times 1000000"},
};

class WorkerFaults : public CardTestRig, public ::testing::WithParamInterface<FailureKind> {};

TEST_P(WorkerFaults, EveryWorkerEndsAfterTheStopRequestAndReleasesItsReader) {
    const int count = static_cast<int>(std::size(WORKER_FUNCTIONS));
    std::printf("worker fault matrix: %s on %d exchanges, %zu cells in all\n", GetParam().name,
                count, std::size(KINDS) * std::size(WORKER_FUNCTIONS));
    std::string scenario;
    for (int i = 0; i < count; ++i) {
        const std::string f = "  fn " + std::to_string(WORKER_FUNCTIONS[i]);
        scenario += device_block("w" + std::to_string(i), "0x0204", "SN" + std::to_string(i),
                                 "  features 1\n  card \"4711\" after 562\n" + f + " " +
                                     GetParam().items + "\n" + f + " model\n");
    }
    load(scenario);
    std::vector<Reader*> readers;
    for (int i = 0; i < count; ++i) {
        readers.push_back(reader(("SN" + std::to_string(i)).c_str()));
        ASSERT_TRUE(readers.back() != nullptr && start(readers.back()));
    }
    // Every reader reaches its broken exchange: the fault fires, or the busy
    // answer comes (for a card read's, after the re-arm and the card). The
    // workers then go on from the failure for a while before they are stopped.
    const auto started = std::chrono::steady_clock::now();
    const auto broken = [](int i) {
        for (const std::string& note : emu::notes("w" + std::to_string(i)))
            if (note.starts_with("fault:")) return true;
        for (const emu::Exchange& e : emu::exchanges("w" + std::to_string(i)))
            if (e.function == WORKER_FUNCTIONS[i] && e.result != 0) return true;
        return false;
    };
    for (int i = 0; i < count; ++i)
        EXPECT_TRUE(wait_until([&] { return broken(i); }, 10000ms)) << "fn " << WORKER_FUNCTIONS[i];
    std::this_thread::sleep_until(started + 3s);
    const auto stop_at = std::chrono::steady_clock::now();
    for (Reader* r : readers)
        request_stop(r);
    // The longest wait a worker may be in: CTL_DONE (9990 ms) plus a request
    // step and a status retry pause, with room for a slow machine.
    for (int i = 0; i < count; ++i)
        EXPECT_TRUE(
            wait_until([&] { return !reader_is_open(readers[static_cast<size_t>(i)]); }, 16000ms))
            << "fn " << WORKER_FUNCTIONS[i];
    EXPECT_LT(std::chrono::steady_clock::now() - stop_at, 16s);
    EXPECT_TRUE(wait_until([] { return card_session.workers.load() == 0; }, 1000ms));
    std::lock_guard<std::mutex> lock(card_session.lock);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(card_test_state(&card_session, readers[static_cast<size_t>(i)]), nullptr)
            << "fn " << WORKER_FUNCTIONS[i];
}

TABLE_TEST(Kinds, WorkerFaults, KINDS);

} // namespace
