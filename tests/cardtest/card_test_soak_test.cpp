#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "card_test_rig.h"

namespace {

constexpr int SOAK_READERS = 8;
constexpr int SOAK_DEFAULT_SECONDS = 12; // BRINLET_SOAK_SECONDS makes it a long run
constexpr auto SOAK_SAMPLE_EVERY = 2s;
// Resident size may grow this much from the first sample after start-up to
// the last (allocator pools settling), outside the sanitizer builds.
constexpr long SOAK_RSS_SLACK_KB = 4096;
constexpr auto SOAK_REPLUG_EVERY = 1500ms;
constexpr auto SOAK_AWAY = 400ms;
constexpr auto SOAK_EVENT_GAP = 15ms; // per reader: leaves room for the follow-up exchanges

class CardTestSoakSlow : public CardTestRig {};

std::chrono::seconds soak_time() {
    const char* text = std::getenv("BRINLET_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : SOAK_DEFAULT_SECONDS);
}

long resident_kb() {
    long pages_total = 0, pages_resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct SoakTally {
    int delivered = 0;
    int card_reads = 0;
};

// Counts what the emulated readers logged and empties their logs, so that
// the emulator's own memory stays flat over a long run.
void tally_and_clear(SoakTally* tally) {
    for (int i = 0; i < SOAK_READERS; ++i) {
        const std::string name = "r" + std::to_string(i);
        for (const emu::Callback& c : emu::callbacks(name))
            tally->delivered += c.outcome == "done";
        for (const emu::Exchange& e : emu::exchanges(name))
            tally->card_reads += e.function == 542;
        emu::clear_transcript(name);
    }
}

// Eight readers, half of them without removal events, get card events of
// every kind as fast as they take them in, while one reader after another
// is pulled and plugged back. The console must keep running, end cleanly on
// Ctrl+C and leave every reader closed with its state released.
TEST_F(CardTestSoakSlow, EightReadersThroughThousandsOfEventsAndReplugs) {
    std::string scenario = "option transcript_reports off\n";
    for (int i = 0; i < SOAK_READERS; ++i)
        scenario += device_block("r" + std::to_string(i), i % 2 ? "0x0203" : "0x0202",
                                 "SOAK" + std::to_string(i),
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
    int sent = 0, replugs = 0;
    SoakTally tally;
    std::vector<long> rss_kb;
    const auto soak_for = soak_time();
    const auto start = std::chrono::steady_clock::now();
    auto next_sample = start + SOAK_SAMPLE_EVERY;
    auto next_replug = start + SOAK_REPLUG_EVERY;
    std::string away;
    auto back_at = start;
    std::vector<std::chrono::steady_clock::time_point> last_event(SOAK_READERS, start);
    while (std::chrono::steady_clock::now() - start < soak_for) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_sample) {
            tally_and_clear(&tally);
            rss_kb.push_back(resident_kb());
            next_sample = now + SOAK_SAMPLE_EVERY;
        }
        if (away.empty() && now >= next_replug) {
            away = "r" + std::to_string(replugs % SOAK_READERS);
            emu::unplug(away);
            back_at = now + SOAK_AWAY;
            ++replugs;
        } else if (!away.empty() && now >= back_at) {
            emu::plug(away);
            away.clear();
            next_replug = now + SOAK_REPLUG_EVERY;
        }
        for (int i = 0; i < SOAK_READERS; ++i) {
            const std::string name = "r" + std::to_string(i);
            if (name == away || emu::pending_callbacks(name) > 0 ||
                now - last_event[static_cast<size_t>(i)] < SOAK_EVENT_GAP)
                continue;
            last_event[static_cast<size_t>(i)] = now;
            const int kind = static_cast<int>(random() % 10);
            if (kind < 5) {
                std::string number = std::to_string(random() % 100000000);
                if (kind == 0) number = std::string(300, '9'); // longer than the field
                emu::send_event(name, 1, number + '\0');
            } else {
                emu::send_event(name, static_cast<uint16_t>(kind - 3), std::vector<uint8_t>{});
            }
            ++sent;
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(
        wait_until([&] { return row_has(run.screen(), "Press ENTER to continue"); }, 5000ms));
    EXPECT_EQ(run.finish(false), 0);

    tally_and_clear(&tally);
    for (int i = 0; i < SOAK_READERS; ++i)
        EXPECT_FALSE(emu::is_open("r" + std::to_string(i))) << i;
    std::fprintf(stderr,
                 "soak: %lld s, %d events sent, %d delivered, %d card reads answered, %d replugs\n",
                 static_cast<long long>(soak_for.count()), sent, tally.delivered, tally.card_reads,
                 replugs);
    EXPECT_GE(tally.delivered, 1000);
    EXPECT_GE(tally.card_reads, 300);
    EXPECT_GE(replugs, 4);
    if (rss_kb.size() >= 2) {
        std::fprintf(stderr, "soak: resident KB at %lld s: %ld, at the end: %ld, highest: %ld\n",
                     static_cast<long long>(SOAK_SAMPLE_EVERY.count()), rss_kb.front(),
                     rss_kb.back(), *std::max_element(rss_kb.begin(), rss_kb.end()));
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
