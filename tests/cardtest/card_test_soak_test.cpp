// SPDX-License-Identifier: GPL-2.0-or-later
// The long run of card test mode, for scripts/soak.sh (make soak): it runs
// only when BRINLET_SOAK_SECONDS gives its length.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "card_test_rig.h"

namespace {

constexpr int SOAK_READERS = 8;
constexpr auto SOAK_SAMPLE_EVERY = 2s;
// Resident size may grow this much from the first sample after start-up to
// the last (allocator pools settling), outside the sanitizer builds.
constexpr long SOAK_RSS_SLACK_KB = 4096;
constexpr auto SOAK_REPLUG_EVERY = 1500ms;
constexpr auto SOAK_AWAY = 400ms;
constexpr auto SOAK_EVENT_GAP = 15ms; // per reader: leaves room for the follow-up exchanges

long resident_kb() {
    long pages_total = 0, pages_resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string name_of(int i) {
    return "r" + std::to_string(i);
}

// Counts the callbacks delivered and the card reads answered, and empties
// the logs so that the emulator's own memory stays flat over a long run.
void tally_and_clear(int* delivered, int* card_reads) {
    for (int i = 0; i < SOAK_READERS; ++i) {
        for (const emu::Callback& c : emu::callbacks(name_of(i)))
            *delivered += c.outcome == "done";
        for (const emu::Exchange& e : emu::exchanges(name_of(i)))
            *card_reads += e.function == 542;
        emu::clear_transcript(name_of(i));
    }
}

// Eight readers, half of them without removal events, get card events of
// every kind as fast as they take them in, while one reader after another
// is pulled and plugged back. The console must keep running, end cleanly on
// Ctrl+C and leave every reader closed with its state released.
class CardTestSoakSlow : public CardTestRig {};

TEST_F(CardTestSoakSlow, EightReadersThroughThousandsOfEventsAndReplugs) {
    const char* seconds_text = std::getenv("BRINLET_SOAK_SECONDS");
    const int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 0;
    if (seconds <= 0) GTEST_SKIP() << "a long run: make soak, or set BRINLET_SOAK_SECONDS";
    std::string scenario = "option transcript_reports off\n";
    for (int i = 0; i < SOAK_READERS; ++i)
        scenario +=
            device_block(name_of(i), i % 2 ? "0x0203" : "0x0202", "SOAK" + std::to_string(i),
                         std::string("  features ") + (i % 4 < 2 ? "1" : "0") + "\n" +
                             (i % 2 ? "  param KMMODE 1\n" : ""));
    load(scenario);
    ConsoleRun run;
    ASSERT_TRUE(run.wait_screen(
        [](const VtScreen& s) {
            int ready = 0;
            for (int r = 0; r < s.rows; ++r)
                ready += s.text(r).rfind("  CARD", 0) == 0;
            return ready == SOAK_READERS;
        },
        5000ms));
    std::mt19937 random(12345);
    int sent = 0, replugs = 0, delivered = 0, card_reads = 0;
    std::vector<long> rss_kb;
    const auto start = std::chrono::steady_clock::now();
    auto next_sample = start + SOAK_SAMPLE_EVERY, next_replug = start + SOAK_REPLUG_EVERY;
    auto back_at = start;
    std::string away;
    std::vector<std::chrono::steady_clock::time_point> last_event(SOAK_READERS, start);
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_sample) {
            tally_and_clear(&delivered, &card_reads);
            rss_kb.push_back(resident_kb());
            next_sample = now + SOAK_SAMPLE_EVERY;
        }
        if (away.empty() && now >= next_replug) {
            away = name_of(replugs++ % SOAK_READERS);
            emu::unplug(away);
            back_at = now + SOAK_AWAY;
        } else if (!away.empty() && now >= back_at) {
            emu::plug(away);
            away.clear();
            next_replug = now + SOAK_REPLUG_EVERY;
        }
        for (int i = 0; i < SOAK_READERS; ++i) {
            auto& last = last_event[static_cast<size_t>(i)];
            if (name_of(i) == away || emu::pending_callbacks(name_of(i)) > 0 ||
                now - last < SOAK_EVENT_GAP)
                continue;
            last = now;
            const int kind = static_cast<int>(random() % 10);
            if (kind < 5) // a card number; kind 0: longer than the field
                emu::send_event(
                    name_of(i), 1,
                    (kind == 0 ? std::string(300, '9') : std::to_string(random() % 100000000)) +
                        '\0');
            else
                emu::send_event(name_of(i), static_cast<uint16_t>(kind - 3),
                                std::vector<uint8_t>{});
            ++sent;
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(wait_until([&] { return run.screen().shows("Press ENTER to continue"); }, 5000ms));
    EXPECT_EQ(run.finish(false), 0);
    tally_and_clear(&delivered, &card_reads);
    std::fprintf(stderr,
                 "soak: %d s, %d events sent, %d delivered, %d card reads answered, %d replugs\n",
                 seconds, sent, delivered, card_reads, replugs);
    EXPECT_GE(delivered, 1000);
    EXPECT_GE(card_reads, 300);
    EXPECT_GE(replugs, 4);
    if (rss_kb.size() >= 2) {
        std::fprintf(stderr, "soak: resident KB at 2 s: %ld, at the end: %ld, highest: %ld\n",
                     rss_kb.front(), rss_kb.back(),
                     *std::max_element(rss_kb.begin(), rss_kb.end()));
        // The sanitizers and valgrind (BRINLET_SOAK_RSS=off) keep freed
        // memory in quarantine and shadow: no figure of the program's own.
        const char* rss_check = std::getenv("BRINLET_SOAK_RSS");
        if (std::string(BRINLET_SANITIZE).empty() &&
            (rss_check == nullptr || std::string(rss_check) != "off")) {
            EXPECT_LE(rss_kb.back(), rss_kb.front() + SOAK_RSS_SLACK_KB);
        }
    }
    EXPECT_EQ(test_workers.load(), 0);
    std::lock_guard<std::mutex> lock(list_lock);
    for (Reader* r = reader_first(); r != nullptr; r = r->next) {
        EXPECT_FALSE(reader_is_open(r));
        EXPECT_EQ(r->test_ctx.load(), nullptr);
    }
}

} // namespace
