// SPDX-License-Identifier: GPL-2.0-or-later
// The long run of card test mode, for scripts/soak.sh (make soak) under the
// sanitizers and valgrind: it runs only when BRINLET_SOAK_SECONDS gives its
// length.
#include <cstdlib>
#include <random>

#include "card_test_rig.h"

namespace {

// Eight readers, half of them without removal events, get card events of
// every kind as fast as they take them in, while one reader after another
// is pulled and plugged back for 0.4 s every 1.5 s. The console must keep
// running, end cleanly on Ctrl+C and leave every reader closed with its
// state released.
class CardTestSoakSlow : public CardTestRig {};

TEST_F(CardTestSoakSlow, EightReadersThroughThousandsOfEventsAndReplugs) {
    const char* seconds_text = std::getenv("BRINLET_SOAK_SECONDS");
    const int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 0;
    if (seconds <= 0) GTEST_SKIP() << "a long run: make soak, or set BRINLET_SOAK_SECONDS";
    const auto name = [](int i) { return "r" + std::to_string(i); };
    std::string scenario = "option transcript_reports off\n";
    for (int i = 0; i < 8; ++i)
        scenario += device_block(name(i), i % 2 ? "0x0203" : "0x0202", "SOAK" + std::to_string(i),
                                 std::string("  features ") + (i % 4 < 2 ? "1\n" : "0\n") +
                                     (i % 2 ? "  param KMMODE 1\n" : ""));
    load(scenario);
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            int ready = 0;
            for (const std::string& line : s.lines())
                ready += line.rfind("  CARD", 0) == 0;
            return ready == 8;
        },
        5000ms));
    int sent = 0, replugs = 0, delivered = 0, card_reads = 0;
    std::mt19937 random(12345);
    std::string away;
    const auto start = std::chrono::steady_clock::now();
    auto next_replug = start + 1500ms;
    for (auto now = start; now - start < std::chrono::seconds(seconds);
         now = std::chrono::steady_clock::now()) {
        if (now >= next_replug && away.empty()) {
            emu::unplug(away = name(replugs++ % 8));
            next_replug = now + 400ms;
        } else if (now >= next_replug) {
            emu::plug(away);
            away.clear();
            next_replug = now + 1500ms;
        }
        for (int i = 0; i < 8; ++i) {
            // What the reader saw, its log emptied so that it stays short.
            for (const emu::Callback& c : emu::callbacks(name(i)))
                delivered += c.outcome == "done";
            for (const emu::Exchange& e : emu::exchanges(name(i)))
                card_reads += e.function == 542;
            emu::clear_transcript(name(i));
            if (name(i) == away || emu::pending_callbacks(name(i)) > 0) continue;
            const int kind = static_cast<int>(random() % 10);
            if (kind == 0) // longer than the field
                emu::send_event(name(i), 1, std::string(300, '9') + '\0');
            else if (kind < 5)
                emu::send_event(name(i), 1, std::to_string(random() % 100000000) + '\0');
            else
                emu::send_event(name(i), static_cast<uint16_t>(kind - 3), std::vector<uint8_t>{});
            ++sent;
        }
        std::this_thread::sleep_for(15ms); // room for each event's follow-up exchanges
    }
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(wait_until([&] { return run.screen().shows("Press ENTER to continue"); }, 5000ms));
    EXPECT_EQ(run.finish(false), 0);
    std::fprintf(stderr, "soak: %d s, %d events sent, %d delivered, %d card reads, %d replugs\n",
                 seconds, sent, delivered, card_reads, replugs);
    EXPECT_GE(delivered, 1000);
    EXPECT_GE(card_reads, 300);
    EXPECT_GE(replugs, 4);
    EXPECT_EQ(card_session.workers.load(), 0);
    std::lock_guard<std::mutex> lock(card_session.lock);
    for (Reader* r : listed_readers())
        EXPECT_TRUE(!reader_is_open(r) && card_test_state(&card_session, r) == nullptr);
}

} // namespace
