// SPDX-License-Identifier: GPL-2.0-or-later
#include <cstring>
#include <filesystem>
#include <functional>

#include "base/result.h"
#include "card_test_rig.h"
#include "support/process.h"

namespace {

// The reader's exchanges as "function[ input] /capacity[ -> result]", the
// input's bytes outside printable ASCII as \xNN, joined by ", ". The status
// (2107) is asked again while the reader is busy: its answers and repeats
// are not shown.
std::string described(const char* name) {
    std::vector<std::string> all;
    for (const emu::Exchange& e : emu::exchanges(name)) {
        std::string d = std::to_string(e.function) + (e.input.empty() ? "" : " ");
        for (uint8_t b : e.input) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            d += b >= 0x20 && b < 0x7f ? std::string(1, static_cast<char>(b)) : hex;
        }
        d += " /" + std::to_string(e.capacity);
        all.push_back(e.result != 0 && e.function != 2107 ? d + " -> " + std::to_string(e.result)
                                                          : d);
    }
    all.erase(std::unique(all.begin(), all.end()), all.end());
    std::string out;
    for (const std::string& d : all)
        out += (out.empty() ? "" : ", ") + d;
    return out;
}

std::string state_text(const ReaderTestState& s) {
    return "features " + std::to_string(s.features) + " usb " + std::to_string(s.usb_mode) +
           " km " + std::to_string(s.km_mode) + " saved " + std::to_string(s.saved_protocol) +
           " volatile " + std::to_string(s.has_volatile_protocol) + ":" +
           std::to_string(s.volatile_protocol) + " status " + std::to_string(s.status) + ", " +
           s.module_text + ", " + s.protocol_text;
}

// The set-up of one reader up to its first wait for a card: its exchanges
// and its test state then.
struct SetUpCase {
    const char* name;
    const char* product;
    std::string statements, exchanges, state;
};

const std::string MODULE = ", ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
const std::string REGISTER = R"(530 \x00\x00\x00\x00\x00\x01\x00\x04 /0, )";
const std::string PROTOCOLS =
    R"(504 READERPROTOCOL\x00 /256, )" + REGISTER + R"(504 READERPROTOCOLTMP\x00 /256)";
const std::string FIRST = "2107 /4, 1500 /256 -> 1, 2100 /4, " + PROTOCOLS;
const std::string LAST = R"(2103 /1, 2104 \x00 /256, 562 /0)";
const std::string USB = R"(504 USBMODE\x00 /256, )";
const std::string RESTORE = "  param READERPROTOCOL 5\n  param READERPROTOCOLTMP 3\n";

const SetUpCase SETUP_CASES[] = {
    {"KmReader", "0x0203", "  param KMMODE 1\n  features 1\n",
     FIRST + " -> -2, " + USB + R"(504 KMMODE\x00 /256, )" + LAST,
     "features 1 usb 2 km 1 saved 1 volatile 0:0 status 1" + MODULE},
    // A reader outside KM mode is never asked for its KM mode.
    {"KbdReader", "0x0202", "  param KMMODE 2\n", FIRST + " -> -2, " + USB + LAST,
     "features 0 usb 1 km 0 saved 1 volatile 0:0 status 1" + MODULE},
    {"ModuleFirmwareUpdateNeeded", "0x0202", "  extfw needed on\n",
     "2107 /4, 1500 /256, 2100 /4, " + PROTOCOLS + " -> -2, " + USB + LAST,
     "features 0 usb 1 km 0 saved 1 volatile 0:0 status 6" + MODULE},
    // Equal protocols are not restored.
    {"EqualProtocols", "0x0202", "  param READERPROTOCOL 4\n  param READERPROTOCOLTMP 4\n",
     FIRST + ", " + USB + LAST, "features 0 usb 1 km 0 saved 4 volatile 1:4 status 1" + MODULE},
    // A differing volatile protocol is set to the saved one and the module
    // restarted; its busy answers are retried, then it is set up again.
    {"DifferingProtocolIsRestored", "0x0202", RESTORE + "  features 1\n",
     FIRST +
         R"(, 2107 /4, 502 READERPROTOCOLTMP=5\x00 /255, 502 RDRNEEDRESTART=1\x00 /255, 2107 /4, )" +
         REGISTER + "2100 /4, 2103 /1, 2104 \\x00 /256, " + USB + LAST,
     "features 1 usb 1 km 0 saved 5 volatile 1:5 status 1" + MODULE},
    {"RefusedRestoreKeepsTheProtocol", "0x0202", RESTORE + "  fn 502 result -2\n",
     FIRST + R"(, 2107 /4, 502 READERPROTOCOLTMP=5\x00 /255 -> -2, )" + USB + LAST,
     "features 0 usb 1 km 0 saved 5 volatile 1:3 status 1" + MODULE},
};

// The reader is set up and waits for a card.
bool polled(Reader* r, const char* name = "r1") {
    return CardTestRig::ready(r) && functions(name).ends_with("562");
}

class WorkerSetUp : public CardTestRig, public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(WorkerSetUp, RunsItsExchangesInOrderThenWaitsForACard) {
    const SetUpCase& c = GetParam();
    load(device_block("r1", c.product, "SN1", c.statements));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return polled(r); }, 5000ms));
    EXPECT_EQ(described("r1"), c.exchanges);
    with_state(r, [&](ReaderTestState& s) { EXPECT_EQ(state_text(s), c.state); });
}

TABLE_TEST(Readers, WorkerSetUp, SETUP_CASES);

class CardTestWorker : public CardTestRig {
  protected:
    // One reader, started and polling, its set-up exchanges forgotten.
    Reader* polling(const char* name = "r1", const char* serial = "SN1") {
        Reader* r = reader(serial);
        if (r == nullptr || !start(r)) return nullptr;
        EXPECT_TRUE(wait_until([&] { return polled(r, name); }, 3000ms));
        emu::clear_transcript(name);
        return r;
    }
};

// A card event (the emulator's "event r1 ..." command) on a polling reader
// that shows "old"/"earlier": the exchanges that answer it, what it shows.
struct EventCase {
    const char* name;
    const char* statements;
    const char* event;
    const char* functions;
    std::string text, data;
    bool in_place_of_ack = false;
};

const EventCase EVENT_CASES[] = {
    {"CardRead", "", "1 \"1234\"", "600 601 563 542", "1234", "UID 1234"},
    {"FailedQueryStillEndsWithOkAndDone", "  fn 600 result -20\n", "1 \"42\"", "600 563 542", "42",
     "earlier"},
    {"FailedDetailKeepsTheData", "  fn 601 result -20\n", "1 \"43\"", "600 601 563 542", "43",
     "earlier"},
    {"UnterminatedDataStaysInItsField", "", "1 \"77\" carddata rep:256:41", "600 601 563 542", "77",
     std::string(255, 'A')},
    {"ReadErrorIsAnsweredWithCardBad", "", "2", "564", "Card read error", ""},
    {"RefusalIsAnsweredWithCardBad", "", "3", "564", "Card refused", ""},
    {"RemovalRearmsTheReader", "", "4", "562", "", ""},
    // The re-arming exchange after a removal is answered with a card event
    // in place of its acknowledgement: the card is shown, nothing follows.
    {"CardAnnouncedDuringAnExchange",
     "  fn 562 times 1\n  fn 562 cbfirst 1 1 \"4321\"\n  fn 562 model\n", "4", "562", "4321", "",
     true},
};

class WorkerEvents : public CardTestWorker, public ::testing::WithParamInterface<EventCase> {};

TEST_P(WorkerEvents, AreAnsweredAndShown) {
    const EventCase& c = GetParam();
    load(device_block("r1", "0x0202", "SN1", std::string("  features 1\n") + c.statements));
    Reader* r = polling();
    ASSERT_NE(r, nullptr);
    with_state(r, [](ReaderTestState& s) {
        std::strcpy(s.card_text, "old");
        std::strcpy(s.card_data, "earlier");
    });
    ASSERT_EQ(emu::command(std::string("event r1 ") + c.event), 0) << emu::last_error();
    wait_until([&] { return functions("r1").size() >= std::strlen(c.functions); }, 2000ms);
    ASSERT_TRUE(wait_until([&] { return card_text(r) == c.text; }, 1000ms)) << card_text(r);
    std::this_thread::sleep_for(50ms); // nothing else may follow
    EXPECT_EQ(functions("r1"), c.functions);
    with_state(r, [&](ReaderTestState& s) { EXPECT_EQ(s.card_data, c.data); });
    // The card is asked for by its handle; the data fits the field.
    const std::vector<emu::Exchange> x = emu::exchanges("r1");
    for (size_t i = 0; i < x.size(); ++i) {
        const uint32_t capacity = x[i].function == 600 ? 2 : x[i].function == 601 ? 256 : 0;
        EXPECT_EQ(x[i].capacity, capacity) << x[i].function;
        EXPECT_TRUE(x[i].function != 601 || (i > 0 && x[i].input == x[i - 1].output));
    }
    EXPECT_EQ(!emu::callbacks("r1").empty() && emu::callbacks("r1").back().in_place_of_ack,
              c.in_place_of_ack);
}

TABLE_TEST(Events, WorkerEvents, EVENT_CASES);

// With removal events the card stays until removed; without, it is taken
// off after one to two seconds and the reader re-armed.
TEST_F(CardTestWorker, CardStaysUntilRemovalOrTimesOutWithoutRemovalEvents) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2", "  features 0\n"));
    Reader* r1 = polling("r1", "SN1");
    Reader* r2 = polling("r2", "SN2");
    ASSERT_TRUE(r1 != nullptr && r2 != nullptr);
    emu::send_event("r1", 1, std::string("6\0", 2));
    emu::send_event("r2", 1, std::string("7\0", 2));
    ASSERT_TRUE(wait_until([] { return emu::exchanges("r2").size() == 5; }, 3500ms));
    const std::vector<emu::Exchange> x = emu::exchanges("r2");
    EXPECT_EQ(x[4].function, 562);
    EXPECT_GT(x[4].ms - x[3].ms, 900);
    EXPECT_LT(x[4].ms - x[3].ms, 3500);
    EXPECT_TRUE(wait_until([&] { return card_text(r2).empty(); }, 1000ms));
    std::this_thread::sleep_for(2200ms - std::chrono::milliseconds(int(emu::now_ms() - x[3].ms)));
    EXPECT_EQ(functions("r1"), "600 601 563 542");
    EXPECT_EQ(card_text(r1), "6");
}

// An idle reader's worker waits long for its next report; what comes
// during that wait ends it at once (a card, an unplug) or at the latest
// when the wait's bound runs out (a stop request, which cannot cut it).
struct LongWaitCase {
    const char* name;
    std::function<void(Reader*)> act;
    std::function<bool(Reader*)> done;
    std::chrono::milliseconds within;
    const char* functions; // the exchanges after the act
};

const LongWaitCase LONG_WAIT_CASES[] = {
    {"CardEndsItAtOnce", [](Reader*) { emu::send_event("r1", 1, std::string("5\0", 2)); },
     [](Reader* r) { return CardTestRig::card_text(r) == "5"; }, 250ms, "600 601 563 542"},
    {"UnplugEndsItAtOnce", [](Reader*) { emu::unplug("r1"); },
     [](Reader* r) { return !reader_is_open(r); }, 250ms, ""},
    {"StopIsSeenWhenItsBoundRunsOut", CardTestRig::request_stop,
     [](Reader* r) { return !reader_is_open(r); },
     std::chrono::milliseconds(WORKER_WAIT_MAX_MS) + 500ms, ""},
};

class WorkerLongWait : public CardTestWorker, public ::testing::WithParamInterface<LongWaitCase> {};

TEST_P(WorkerLongWait, EndsAsTheReaderOrTheConsoleSays) {
    const LongWaitCase& c = GetParam();
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    Reader* r = polling();
    ASSERT_NE(r, nullptr);
    // Idle for more than a whole wait: nothing is asked meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * WORKER_WAIT_MAX_MS + 200));
    EXPECT_EQ(functions("r1"), "");
    const auto acted = std::chrono::steady_clock::now();
    c.act(r);
    ASSERT_TRUE(wait_until([&] { return c.done(r); }, 3000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - acted, c.within);
    wait_until([&] { return functions("r1").size() >= std::strlen(c.functions); }, 1000ms);
    EXPECT_EQ(functions("r1"), c.functions);
}

TABLE_TEST(Waits, WorkerLongWait, LONG_WAIT_CASES);

// Without removal events a shown card ends when the clock reaches its
// second plus two; that moment falls inside a wait, which ends with it.
TEST_F(CardTestWorker, TimeOutFallingInsideAWaitEndsTheCardOnTime) {
    load(device_block("r1", "0x0202", "SN1", "  features 0\n"));
    Reader* r = polling();
    ASSERT_NE(r, nullptr);
    using Wall = std::chrono::system_clock;
    const auto ms_of = [](Wall::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    };
    // Sent in the first half of a second: the card is stamped with that
    // second, or the next one on a slow machine, never at the second's very
    // start (time(), which stamps it, may lag the clock by a few
    // milliseconds there); and waits of the longest length from the card on
    // would end 300 ms or more past its time-out.
    const auto early = [&] {
        const int64_t ms = ms_of(Wall::now()) % 1000;
        return ms >= 300 && ms < 450;
    };
    ASSERT_TRUE(wait_until(early, 1500ms));
    const int64_t sent_s = ms_of(Wall::now()) / 1000;
    emu::send_event("r1", 1, std::string("7\0", 2));
    ASSERT_TRUE(wait_until([&] { return card_text(r) == "7"; }, 2000ms));
    const int64_t seen_s = ms_of(Wall::now()) / 1000;
    ASSERT_TRUE(wait_until([&] { return card_text(r).empty(); }, 4000ms));
    const int64_t ended_ms = ms_of(Wall::now());
    // How late the card ended after the time-out of the second it was
    // stamped with, whichever of the two that was.
    int64_t late_ms = ended_ms - (seen_s + CARD_SHOWN_S) * 1000;
    if (late_ms < 0 || sent_s == seen_s) late_ms = ended_ms - (sent_s + CARD_SHOWN_S) * 1000;
    EXPECT_GE(late_ms, 0);
    EXPECT_LT(late_ms, 200) << "the wait went past the time-out";
    EXPECT_EQ(functions("r1"), "600 601 563 542 562");
}

// Whatever ends the worker, the reader is closed and its test state
// released within a few seconds. Each end waits until its moment, then acts.
TEST_F(CardTestWorker, EveryEndClosesTheReaderAndReleasesItsState) {
    using Until = std::function<bool(Reader*)>;
    const Until polling = [](Reader* r) { return polled(r); };
    const Until restoring = [](Reader*) {
        const std::vector<emu::Exchange> x = emu::exchanges("r1");
        return std::count_if(x.begin(), x.end(), [](auto& e) { return e.function == 2100; }) >= 3;
    };
    const Until later = [](Reader*) { return std::this_thread::sleep_for(1500ms), true; };
    // The read after the one that brings a card announcement fails.
    const auto fail_callback_read = [](Reader*) {
        std::this_thread::sleep_for(20ms);
        int delivered = 0;
        for (const emu::Report& report : emu::reports("r1"))
            delivered += !report.to_device;
        ASSERT_EQ(emu::script("r1", "fail_read " + std::to_string(delivered + 2)), 0);
        emu::send_event("r1", 1, std::string("88\0", 3));
    };
    const struct {
        const char* name;
        std::string statements;
        Until until;
        std::function<void(Reader*)> act;
    } ends[] = {
        {"refused registration", "  fn 530 result -6\n", nullptr, nullptr},
        {"unplug", "  features 1\n", polling, [](Reader*) { emu::unplug("r1"); }},
        {"stop", "  features 1\n", polling, request_stop},
        {"failed read of the callback data", "  features 1\n", polling, fail_callback_read},
        {"stop in the busy retries of a protocol restore",
         RESTORE + "  fn 2100 result -25 times 1000000\n", restoring, request_stop},
        // The stop request ends the wait for a ready reader at the next retry.
        {"stop while the status stays busy", "  status busy\n", later, request_stop},
    };
    for (const auto& e : ends) {
        SCOPED_TRACE(e.name);
        load(device_block("r1", "0x0202", "SN1", e.statements));
        Reader* r = reader("SN1");
        ASSERT_TRUE(start(r));
        EXPECT_TRUE(!e.until || wait_until([&] { return e.until(r); }, 5000ms));
        if (e.act) e.act(r);
        ASSERT_TRUE(wait_until([&] { return !reader_is_open(r); }, 3000ms));
        EXPECT_TRUE(wait_until([] { return card_session.workers.load() == 0; }, 1000ms));
        {
            std::lock_guard<std::mutex> lock(card_session.lock);
            EXPECT_EQ(card_test_state(&card_session, r), nullptr);
            EXPECT_EQ(card_test_reap(&card_session), 1) << "the worker's thread, ended";
        }
        EXPECT_FALSE(emu::is_open("r1"));
        EXPECT_TRUE(e.act || functions("r1") == "2107 1500 2100 504 530");
        readers_exit();
    }
}

TEST_F(CardTestWorker, StartingAnOpenOrUnopenableReaderFailsAndChangesNothing) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n") +
         device_block("r2", "0x0202", "SN2"));
    Reader* r1 = polling();
    ASSERT_NE(r1, nullptr);
    ReaderTestState* before = card_test_state(&card_session, r1);
    Reader* r2 = reader("SN2");
    emu::unplug("r2");
    EXPECT_FALSE(start(r1));
    EXPECT_FALSE(start(r2));
    EXPECT_NE(card_test_start_reader(&card_session, nullptr, card_test_worker), 0);
    EXPECT_NE(card_test_start_reader(&card_session, r2, nullptr), 0);
    EXPECT_EQ(card_test_state(&card_session, r1), before);
    EXPECT_TRUE(ready(r1));
    EXPECT_EQ(card_test_state(&card_session, r2), nullptr);
    EXPECT_FALSE(reader_is_open(r2));
}

// Ctrl+C and the signals that end the program must reach the console's
// thread: every thread a start creates blocks them, the caller's mask is
// as it was.
TEST_F(CardTestWorker, OnlyTheStartingThreadTakesTheSignalsThatEndTheMode) {
    sigset_t before, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    ASSERT_NE(polling(), nullptr);
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    const int ending[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    unsigned long wanted = 0;
    for (int signal_number : ending) {
        EXPECT_EQ(sigismember(&after, signal_number), sigismember(&before, signal_number));
        wanted |= 1ul << (signal_number - 1);
    }
    int others = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == std::to_string(gettid())) continue;
        const std::string status = read_file((task.path() / "status").string());
        const size_t at = status.find("SigBlk:");
        ASSERT_NE(at, std::string::npos);
        const unsigned long blocked = std::stoul(status.substr(at + 7), nullptr, 16);
        EXPECT_EQ(blocked & wanted, wanted) << status.substr(0, status.find('\n'));
        ++others;
    }
    EXPECT_GE(others, 1);
}

// Only a reader whose volatile protocol was read can have it restored.
TEST_F(CardTestWorker, RestoreWithoutAVolatileProtocolAsksNothing) {
    load(device_block("r1", "0x0202", "SN1"));
    Reader* r = reader("SN1");
    ReaderTestState state;
    card_test_attach(&card_session, r, &state);
    EXPECT_EQ(card_test_restore_protocol(&card_session, r, 3), WORKER_NO_VOLATILE_PROTOCOL);
    card_test_detach(&card_session, r);
    EXPECT_TRUE(emu::exchanges("r1").empty());
}

} // namespace
