// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "card_test_rig.h"
#include "cardtest/card_test_worker.h"
#include "link/reader_link.h"
#include "support/capture.h"

namespace {

// An exchange as "function[ input][ /capacity][ -> result]", the input's
// bytes outside printable ASCII as \xNN.
std::string describe(const emu::Exchange& e, bool capacity = true) {
    std::string out = std::to_string(e.function);
    if (!e.input.empty()) out += " ";
    for (uint8_t b : e.input) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", b);
        out += b >= 0x20 && b < 0x7f ? std::string(1, static_cast<char>(b)) : hex;
    }
    if (capacity) out += " /" + std::to_string(e.capacity);
    if (e.result != 0) out += " -> " + std::to_string(e.result);
    return out;
}

std::vector<std::string> described(const char* name, bool capacity = true) {
    std::vector<std::string> out;
    for (const emu::Exchange& e : emu::exchanges(name))
        out.push_back(describe(e, capacity));
    return out;
}

std::string state_text(const ReaderTestState& s) {
    return "features " + std::to_string(s.features) + " usb " + std::to_string(s.usb_mode) +
           " km " + std::to_string(s.km_mode) + " saved " + std::to_string(s.saved_protocol) +
           " volatile " + std::to_string(s.has_volatile_protocol) + ":" +
           std::to_string(s.volatile_protocol) + " status " + std::to_string(s.status) + ", " +
           s.module_text + ", " + s.protocol_text;
}

const std::string MODULE = "ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";

// The set-up of one reader up to its first wait for a card.
struct SetUpCase {
    const char* name;
    const char* product;
    const char* statements;
    std::vector<std::string> exchanges;
    std::string state;
};

void PrintTo(const SetUpCase& c, std::ostream* os) {
    *os << c.name;
}

// The set-up exchanges, the result of the volatile protocol read given,
// the KM mode asked for or not.
std::vector<std::string> set_up(const char* volatile_read, bool km_mode) {
    std::vector<std::string> x = {"2107 /4",
                                  "1500 /256 -> 1",
                                  "2100 /4",
                                  "504 READERPROTOCOL\\x00 /256",
                                  "530 \\x00\\x00\\x00\\x00\\x00\\x01\\x00\\x04 /0",
                                  std::string("504 READERPROTOCOLTMP\\x00 /256") + volatile_read,
                                  "504 USBMODE\\x00 /256"};
    if (km_mode) x.push_back("504 KMMODE\\x00 /256");
    x.insert(x.end(), {"2103 /1", "2104 \\x00 /256", "562 /0"});
    return x;
}

const SetUpCase SETUP_CASES[] = {
    {"KmReader", "0x0203", "  param KMMODE 1\n  features 1\n", set_up(" -> -2", true),
     "features 1 usb 2 km 1 saved 1 volatile 0:0 status 1, " + MODULE},
    // A reader outside KM mode is never asked for its KM mode.
    {"KbdReader", "0x0202", "  param KMMODE 2\n", set_up(" -> -2", false),
     "features 0 usb 1 km 0 saved 1 volatile 0:0 status 1, " + MODULE},
    // Equal protocols are not restored.
    {"EqualProtocols", "0x0202", "  param READERPROTOCOL 4\n  param READERPROTOCOLTMP 4\n",
     set_up("", false), "features 0 usb 1 km 0 saved 4 volatile 1:4 status 1, " + MODULE},
};

class WorkerSetUp : public CardTestRig, public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(WorkerSetUp, RunsItsExchangesInOrderThenWaitsForACard) {
    const SetUpCase& c = GetParam();
    load(device_block("r1", c.product, "SN1", c.statements));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return ready(r); }, 3000ms));
    wait_until([&] { return functions_of("r1").size() >= c.exchanges.size(); }, 1000ms);
    EXPECT_EQ(described("r1"), c.exchanges);
    with_state(r, [&](ReaderTestState& s) { EXPECT_EQ(state_text(s), c.state); });
}

INSTANTIATE_TEST_SUITE_P(Readers, WorkerSetUp, ::testing::ValuesIn(SETUP_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

class CardTestWorker : public CardTestRig {
  protected:
    // One reader, started and polling, its set-up exchanges forgotten.
    Reader* polling(const char* name = "r1", const char* serial = "SN1") {
        Reader* r = reader(serial);
        EXPECT_NE(r, nullptr);
        if (r == nullptr || !start(r)) return nullptr;
        EXPECT_TRUE(wait_until(
            [&] {
                const std::vector<int> f = functions_of(name);
                return ready(r) && !f.empty() && f.back() == 562;
            },
            3000ms));
        emu::clear_transcript(name);
        return r;
    }
};

// A card event on a polling reader that shows "old"/"earlier".
struct EventCase {
    const char* name;
    const char* statements;
    uint16_t code;
    const char* number; // sent with its terminator; command: an emulator command instead
    const char* command;
    std::vector<int> exchanges;
    std::string text, data;
};

void PrintTo(const EventCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<int> READ = {600, 601, 563, 542};

const EventCase EVENT_CASES[] = {
    {"CardRead", "", 1, "12345678", nullptr, READ, "12345678", "UID 12345678"},
    {"FailedQueryStillEndsWithOkAndDone",
     "  fn 600 result -20\n",
     1,
     "42",
     nullptr,
     {600, 563, 542},
     "42",
     "earlier"},
    {"FailedDetailKeepsTheData", "  fn 601 result -20\n", 1, "43", nullptr, READ, "43", "earlier"},
    {"UnterminatedDataStaysInItsField", "", 1, "", "event r1 1 \"77\" carddata rep:256:41", READ,
     "77", std::string(255, 'A')},
    {"ReadErrorIsAnsweredWithCardBad", "", 2, "", nullptr, {564}, "Card read error", ""},
    {"RefusalIsAnsweredWithCardBad", "", 3, "", nullptr, {564}, "Card refused", ""},
    {"RemovalRearmsTheReader", "", 4, "", nullptr, {562}, "", ""},
    // The re-arming exchange after a removal is answered with a card event
    // in place of its acknowledgement: the card is shown, nothing follows.
    {"CardAnnouncedDuringAnExchange",
     "  fn 562 times 1\n  fn 562 cbfirst 1 1 \"4321\"\n  fn 562 model\n",
     4,
     "",
     nullptr,
     {562},
     "4321",
     ""},
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
    if (c.command != nullptr)
        emu::command(c.command);
    else
        emu::send_event(
            "r1", c.code,
            std::vector<uint8_t>(c.number, c.number + std::strlen(c.number) + (*c.number != 0)));
    wait_until([&] { return functions_of("r1").size() >= c.exchanges.size(); }, 2000ms);
    ASSERT_TRUE(wait_until([&] { return card_text(r) == c.text; }, 1000ms)) << card_text(r);
    std::this_thread::sleep_for(50ms); // nothing else may follow
    EXPECT_EQ(functions_of("r1"), c.exchanges);
    EXPECT_EQ(card_data(r), c.data);
    // The card is asked for by its handle; the data fits the field.
    const std::vector<emu::Exchange> x = emu::exchanges("r1");
    for (size_t i = 0; i < x.size(); ++i) {
        const uint32_t capacity = x[i].function == 600 ? 2 : x[i].function == 601 ? 256 : 0;
        EXPECT_EQ(x[i].capacity, capacity) << x[i].function;
        EXPECT_TRUE(x[i].function != 601 || x[i].input == x[i - 1].output);
    }
    if (std::string(c.name) == "CardAnnouncedDuringAnExchange") {
        ASSERT_FALSE(emu::callbacks("r1").empty());
        EXPECT_TRUE(emu::callbacks("r1").back().in_place_of_ack);
    }
}

INSTANTIATE_TEST_SUITE_P(Events, WorkerEvents, ::testing::ValuesIn(EVENT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

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
    ASSERT_TRUE(wait_until([] { return functions_of("r2").size() == 5; }, 3500ms));
    const std::vector<emu::Exchange> x = emu::exchanges("r2");
    EXPECT_EQ(describe(x[4], false), "562");
    EXPECT_GT(x[4].ms - x[3].ms, 900);
    EXPECT_LT(x[4].ms - x[3].ms, 2600);
    EXPECT_TRUE(wait_until([&] { return card_text(r2).empty() && card_data(r2).empty(); }, 100ms));
    std::this_thread::sleep_for(2200ms - std::chrono::milliseconds(int(emu::now_ms() - x[3].ms)));
    EXPECT_EQ(functions_of("r1"), READ);
    EXPECT_EQ(card_text(r1), "6");
}

TEST_F(CardTestWorker, ModuleFirmwareCheckShowsUpdateNeededUntilPolling) {
    load(device_block("r1", "0x0202", "SN1", "  extfw needed on\n  fn 530 delay 300\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    int32_t status = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            with_state(r, [&](ReaderTestState& s) { status = s.status; });
            return status == 6;
        },
        2000ms));
    EXPECT_TRUE(wait_until([&] { return ready(r); }, 3000ms));
}

// Whatever ends the worker (refused registration, unplug, stop request),
// the reader is closed and its test state released.
TEST_F(CardTestWorker, EveryEndClosesTheReaderAndReleasesItsState) {
    const struct {
        const char* name;
        const char* statements;
        std::function<void(Reader*)> end;
        std::vector<int> exchanges; // empty: not checked
    } ends[] = {
        {"refused registration",
         "  fn 530 result -6\n",
         [](Reader*) {},
         {2107, 1500, 2100, 504, 530}},
        {"unplug", "  features 1\n", [](Reader*) { emu::unplug("r1"); }, {}},
        {"stop", "  features 1\n", [](Reader* r) { EXPECT_TRUE(stop(r)); }, {}},
    };
    for (const auto& e : ends) {
        SCOPED_TRACE(e.name);
        load(device_block("r1", "0x0202", "SN1", e.statements));
        Reader* r = reader("SN1");
        ASSERT_TRUE(start(r));
        EXPECT_TRUE(!e.exchanges.empty() || wait_until([&] { return ready(r); }, 3000ms));
        e.end(r);
        ASSERT_TRUE(wait_until([&] { return !reader_is_open(r); }, 3000ms));
        EXPECT_TRUE(wait_until([] { return test_workers.load() == 0; }, 1000ms));
        {
            std::lock_guard<std::mutex> lock(list_lock);
            EXPECT_EQ(r->test_ctx.load(), nullptr);
            EXPECT_FALSE(r->test_thread.joinable());
        }
        EXPECT_FALSE(emu::is_open("r1"));
        EXPECT_TRUE(e.exchanges.empty() || functions_of("r1") == e.exchanges);
        readers_exit();
    }
}

// The read of a card callback's data fails (the read after the one that
// brings the announcement): the worker ends and the reader is released.
TEST_F(CardTestWorker, FailedReadOfTheCallbackDataEndsTheWorker) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return ready(r) && functions_of("r1").back() == 562; }, 3000ms));
    std::this_thread::sleep_for(20ms);
    int delivered = 0;
    for (const emu::Report& report : emu::reports("r1"))
        delivered += !report.to_device;
    ASSERT_EQ(emu::script("r1", "fail_read " + std::to_string(delivered + 2)), 0)
        << emu::last_error();
    diag_verbosity = 1;
    FdCapture err(2);
    emu::send_event("r1", 1, std::string("88\0", 3));
    EXPECT_TRUE(wait_until([&] { return !reader_is_open(r); }, 3000ms));
    const std::string traced = err.finish();
    EXPECT_NE(traced.find("Cannot read output data"), std::string::npos) << traced;
    EXPECT_TRUE(wait_until([] { return test_workers.load() == 0; }, 1000ms));
    EXPECT_EQ(card_text(r), "");
}

TEST_F(CardTestWorker, StartingAnOpenReaderFailsAndChangesNothing) {
    load(device_block("r1", "0x0202", "SN1", "  features 1\n"));
    Reader* r = polling();
    ASSERT_NE(r, nullptr);
    ReaderTestState* before = r->test_ctx.load();
    {
        std::lock_guard<std::mutex> lock(list_lock);
        EXPECT_EQ(card_test_start_reader(r, card_test_worker), -1);
    }
    EXPECT_EQ(r->test_ctx.load(), before);
    EXPECT_TRUE(ready(r));
}

TEST_F(CardTestWorker, ReaderThatCannotBeOpenedGetsNoTestState) {
    load(device_block("r1", "0x0202", "SN1"));
    Reader* r = reader("SN1");
    emu::unplug("r1");
    diag_verbosity = 2;
    FdCapture err(2);
    {
        std::lock_guard<std::mutex> lock(list_lock);
        EXPECT_EQ(card_test_start_reader(r, card_test_worker), -1);
    }
    EXPECT_NE(err.finish().find("Cfg open: cannot open reader: -1\n"), std::string::npos);
    EXPECT_EQ(r->test_ctx.load(), nullptr);
    EXPECT_FALSE(reader_is_open(r));
}

TEST_F(CardTestWorker, DifferingProtocolIsRestoredAndTheReaderSetUpAgain) {
    load(device_block("r1", "0x0202", "SN1",
                      "  param READERPROTOCOL 5\n  param READERPROTOCOLTMP 3\n  features 1\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return ready(r); }, 5000ms));
    const std::vector<std::string> seen = described("r1", false);
    // Up to the restart the order is fixed; the busy answers of the
    // restarting module are retried, then the reader is set up again.
    const std::vector<std::string> head = {"2107",
                                           "1500 -> 1",
                                           "2100",
                                           "504 READERPROTOCOL\\x00",
                                           "530 \\x00\\x00\\x00\\x00\\x00\\x01\\x00\\x04",
                                           "504 READERPROTOCOLTMP\\x00",
                                           "2107",
                                           "502 READERPROTOCOLTMP=5\\x00",
                                           "502 RDRNEEDRESTART=1\\x00"};
    const std::vector<std::string> tail = {"530 \\x00\\x00\\x00\\x00\\x00\\x01\\x00\\x04",
                                           "2100",
                                           "2103",
                                           "2104 \\x00",
                                           "504 USBMODE\\x00",
                                           "2103",
                                           "2104 \\x00",
                                           "562"};
    ASSERT_GE(seen.size(), head.size() + tail.size());
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 9), head);
    EXPECT_EQ(std::vector<std::string>(seen.end() - 8, seen.end()), tail);
    for (size_t i = 9; i < seen.size() - 8; ++i)
        EXPECT_EQ(seen[i].substr(0, 4), "2107") << i;
    with_state(r, [](ReaderTestState& s) {
        EXPECT_EQ(s.volatile_protocol, 5);
        EXPECT_EQ(s.has_volatile_protocol, 1);
    });
}

TEST_F(CardTestWorker, StopRequestEndsTheBusyRetryOfTheRestore) {
    load(device_block("r1", "0x0202", "SN1",
                      "  param READERPROTOCOL 5\n  param READERPROTOCOLTMP 3\n"
                      "  fn 2100 result -25 times 1000000\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until(
        [] {
            const std::vector<int> f = functions_of("r1");
            return std::count(f.begin(), f.end(), 2100) >= 3;
        },
        5000ms));
    EXPECT_TRUE(stop(r));
}

TEST_F(CardTestWorker, RestoreWithoutOrWithARefusedVolatileProtocol) {
    load(device_block("r1", "0x0202", "SN1", "  fn 502 result -2\n"));
    Reader* r = reader("SN1");
    ASSERT_EQ(reader_open(r), 0);
    ReaderTestState state;
    r->test_ctx = &state;
    emu::clear_transcript("r1");
    EXPECT_EQ(card_test_restore_protocol(r, 3), WORKER_NO_VOLATILE_PROTOCOL);
    EXPECT_TRUE(emu::exchanges("r1").empty());
    state.has_volatile_protocol = 1;
    state.volatile_protocol = 3;
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(card_test_restore_protocol(r, 7), -2);
    EXPECT_EQ(err.finish(), "Cannot set volatile protocol");
    EXPECT_EQ(state.volatile_protocol, 3);
    EXPECT_EQ(functions_of("r1"), (std::vector<int>{2107, 502}));
    r->test_ctx = nullptr;
    reader_close(r);
}

} // namespace
