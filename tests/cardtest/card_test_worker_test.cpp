#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "card_test_rig.h"
#include "cardtest/card_test_worker.h"
#include "cardtest/module_info.h"
#include "link/reader_link.h"
#include "support/capture.h"

namespace {

constexpr int FN_STATUS = 2107;

class CardTestWorker : public CardTestRig {
  protected:
    // One reader, started and polling, its set-up exchanges forgotten.
    Reader* polling(const char* product, const std::string& statements) {
        load(device_block("r1", product, "SN1", statements));
        Reader* r = reader("SN1");
        EXPECT_NE(r, nullptr);
        if (r == nullptr || !start(r)) return nullptr;
        EXPECT_TRUE(wait_until(
            [&] {
                return ready(r) && !functions_of("r1").empty() && functions_of("r1").back() == 562;
            },
            3000ms));
        emu::clear_transcript("r1");
        return r;
    }

    // Exchanges after the event until the one with code last ends them.
    static std::vector<int> exchanges_until(int last) {
        wait_until(
            [&] {
                const std::vector<int> f = functions_of("r1");
                return std::find(f.begin(), f.end(), last) != f.end();
            },
            2000ms);
        std::this_thread::sleep_for(30ms); // nothing else may follow
        return functions_of("r1");
    }
};

TEST_F(CardTestWorker, SetUpRunsItsExchangesInOrderThenWaitsForACard) {
    load(device_block("r1", "0x0203", "SN1", "  param KMMODE 1\n  features 1\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return ready(r); }, 3000ms));
    wait_until([] { return functions_of("r1").size() >= 11; }, 1000ms);
    const std::vector<emu::Exchange> x = emu::exchanges("r1");
    const std::vector<int> expected = {FN_STATUS, 1500, 2100, 504,  530, 504,
                                       504,       504,  2103, 2104, 562};
    ASSERT_EQ(functions_of("r1"), expected);
    EXPECT_EQ(x[1].capacity, 256u);
    EXPECT_EQ(x[2].capacity, 4u);
    EXPECT_EQ(text_of(x[3].input), std::string("READERPROTOCOL\0", 15));
    EXPECT_EQ(x[4].input, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 0, 4}));
    EXPECT_EQ(x[4].capacity, 0u);
    EXPECT_EQ(text_of(x[5].input), std::string("READERPROTOCOLTMP\0", 18));
    EXPECT_EQ(text_of(x[6].input), std::string("USBMODE\0", 8));
    EXPECT_EQ(text_of(x[7].input), std::string("KMMODE\0", 7));
    EXPECT_EQ(x[3].capacity, 256u);
    EXPECT_EQ(x[8].capacity, 1u);
    EXPECT_EQ(x[9].input, std::vector<uint8_t>{0});
    EXPECT_EQ(x[9].capacity, 256u);
    EXPECT_EQ(x[10].capacity, 0u);
    with_state(r, [](ReaderTestState& s) {
        EXPECT_EQ(s.features, 1u);
        EXPECT_EQ(s.usb_mode, 2);
        EXPECT_EQ(s.km_mode, 1);
        EXPECT_EQ(s.saved_protocol, 1);
        EXPECT_EQ(s.has_volatile_protocol, 0);
        EXPECT_EQ(s.status, 1);
        EXPECT_STREQ(s.module_text, "ICM-7720-01 Multiprotocol 13.56 MHz reader module");
        EXPECT_STREQ(s.protocol_text, "ISO14443A");
    });
}

TEST_F(CardTestWorker, ReaderOutsideKmModeIsNeverAskedForKmMode) {
    load(device_block("r1", "0x0202", "SN1", "  param KMMODE 2\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return ready(r); }, 3000ms));
    for (const emu::Exchange& e : emu::exchanges("r1"))
        EXPECT_NE(text_of(e.input), std::string("KMMODE\0", 7));
    with_state(r, [](ReaderTestState& s) {
        EXPECT_EQ(s.usb_mode, 1);
        EXPECT_EQ(s.km_mode, 0);
    });
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

TEST_F(CardTestWorker, CardReadIsAnsweredWithQueryDetailOkAndDone) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    emu::send_event("r1", 1, std::string("12345678\0", 9));
    EXPECT_EQ(exchanges_until(542), (std::vector<int>{600, 601, 563, 542}));
    const std::vector<emu::Exchange> x = emu::exchanges("r1");
    EXPECT_EQ(x[0].capacity, 2u);
    EXPECT_EQ(x[1].input, x[0].output);
    EXPECT_EQ(x[1].capacity, 256u);
    EXPECT_EQ(x[2].capacity, 0u);
    EXPECT_EQ(card_text(r), "12345678");
    EXPECT_EQ(card_data(r), "UID 12345678");
}

TEST_F(CardTestWorker, FailedCardQueryStillEndsWithOkAndDone) {
    Reader* r = polling("0x0202", "  features 1\n  fn 600 result -20\n");
    ASSERT_NE(r, nullptr);
    with_state(r, [](ReaderTestState& s) { std::strcpy(s.card_data, "earlier"); });
    emu::send_event("r1", 1, std::string("42\0", 3));
    EXPECT_EQ(exchanges_until(542), (std::vector<int>{600, 563, 542}));
    EXPECT_EQ(card_text(r), "42");
    EXPECT_EQ(card_data(r), "earlier");
}

TEST_F(CardTestWorker, FailedCardDetailKeepsTheDataShown) {
    Reader* r = polling("0x0202", "  features 1\n  fn 601 result -20\n");
    ASSERT_NE(r, nullptr);
    with_state(r, [](ReaderTestState& s) { std::strcpy(s.card_data, "earlier"); });
    emu::send_event("r1", 1, std::string("43\0", 3));
    EXPECT_EQ(exchanges_until(542), (std::vector<int>{600, 601, 563, 542}));
    EXPECT_EQ(card_data(r), "earlier");
}

TEST_F(CardTestWorker, UnterminatedCardDataIsKeptWithinItsField) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    emu::command("event r1 1 \"77\" carddata rep:256:41");
    exchanges_until(542);
    EXPECT_EQ(card_data(r), std::string(255, 'A'));
}

TEST_F(CardTestWorker, ReadErrorAndRefusalAreAnsweredWithCardBad) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    emu::send_event("r1", 2, std::vector<uint8_t>{});
    EXPECT_EQ(exchanges_until(564), std::vector<int>{564});
    EXPECT_EQ(card_text(r), "Card read error");
    emu::clear_transcript("r1");
    emu::send_event("r1", 3, std::vector<uint8_t>{});
    EXPECT_EQ(exchanges_until(564), std::vector<int>{564});
    EXPECT_EQ(card_text(r), "Card refused");
}

TEST_F(CardTestWorker, RemovalRearmsTheReader) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    emu::send_event("r1", 1, std::string("5\0", 2));
    exchanges_until(542);
    emu::clear_transcript("r1");
    emu::send_event("r1", 4, std::vector<uint8_t>{});
    EXPECT_EQ(exchanges_until(562), std::vector<int>{562});
    EXPECT_EQ(card_text(r), "");
    EXPECT_EQ(card_data(r), "");
}

TEST_F(CardTestWorker, CardStaysUntilRemovalWhenTheReaderReportsRemoval) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    emu::send_event("r1", 1, std::string("6\0", 2));
    exchanges_until(542);
    std::this_thread::sleep_for(2200ms);
    EXPECT_EQ(functions_of("r1"), (std::vector<int>{600, 601, 563, 542}));
    EXPECT_EQ(card_text(r), "6");
}

TEST_F(CardTestWorker, CardTimesOutAfterOneToTwoSecondsWithoutRemovalEvents) {
    Reader* r = polling("0x0202", "  features 0\n");
    ASSERT_NE(r, nullptr);
    emu::send_event("r1", 1, std::string("7\0", 2));
    exchanges_until(542);
    EXPECT_EQ(card_text(r), "7");
    ASSERT_TRUE(wait_until([] { return functions_of("r1").size() == 5; }, 3500ms));
    const std::vector<emu::Exchange> x = emu::exchanges("r1");
    EXPECT_EQ(x[4].function, 562);
    const double shown_ms = x[4].ms - x[3].ms;
    EXPECT_GT(shown_ms, 900);
    EXPECT_LT(shown_ms, 2600);
    EXPECT_TRUE(wait_until([&] { return card_text(r).empty() && card_data(r).empty(); }, 100ms));
}

TEST_F(CardTestWorker, CardAnnouncedDuringAnExchangeIsShownWithoutFollowUps) {
    // The re-arming exchange after a removal is answered with a card event
    // in place of its acknowledgement.
    Reader* r = polling("0x0202", "  features 1\n  fn 562 times 1\n  fn 562 cbfirst 1 1 \"4321\"\n"
                                  "  fn 562 model\n");
    ASSERT_NE(r, nullptr);
    emu::send_event("r1", 4, std::vector<uint8_t>{});
    ASSERT_TRUE(wait_until([&] { return card_text(r) == "4321"; }, 2000ms));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(functions_of("r1"), std::vector<int>{562});
    ASSERT_FALSE(emu::callbacks("r1").empty());
    EXPECT_TRUE(emu::callbacks("r1").back().in_place_of_ack);
}

TEST_F(CardTestWorker, RefusedRegistrationEndsTheWorkerAndReleasesTheReader) {
    load(device_block("r1", "0x0202", "SN1", "  fn 530 result -6\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return !reader_is_open(r); }, 3000ms));
    {
        std::lock_guard<std::mutex> lock(list_lock);
        EXPECT_EQ(r->test_ctx.load(), nullptr);
        EXPECT_FALSE(r->test_thread.joinable());
    }
    EXPECT_EQ(test_workers.load(), 0);
    EXPECT_FALSE(emu::is_open("r1"));
    EXPECT_EQ(functions_of("r1"), (std::vector<int>{FN_STATUS, 1500, 2100, 504, 530}));
}

TEST_F(CardTestWorker, UnplugDuringTheTestEndsTheWorker) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    emu::unplug("r1");
    ASSERT_TRUE(wait_until([&] { return !reader_is_open(r); }, 2000ms));
    std::lock_guard<std::mutex> lock(list_lock);
    EXPECT_EQ(r->test_ctx.load(), nullptr);
    EXPECT_EQ(test_workers.load(), 0);
}

TEST_F(CardTestWorker, StopRequestEndsPollingAndClosesTheReader) {
    Reader* r = polling("0x0202", "  features 1\n");
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(stop(r));
    EXPECT_FALSE(emu::is_open("r1"));
    EXPECT_EQ(test_workers.load(), 0);
}

TEST_F(CardTestWorker, StartingAnOpenReaderFailsAndChangesNothing) {
    Reader* r = polling("0x0202", "  features 1\n");
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
    std::vector<emu::Exchange> x = emu::exchanges("r1");
    std::vector<std::string> seen;
    for (const emu::Exchange& e : x) {
        std::string item = std::to_string(e.function);
        if (e.function == 502) item += " " + text_of(e.input);
        if (e.function == 504) item += " " + text_of(e.input);
        if (e.result != 0) item += " -> " + std::to_string(e.result);
        seen.push_back(item);
    }
    // Up to the restart the order is fixed; the busy answers of the
    // restarting module are retried, then the reader is set up again.
    const std::vector<std::string> head = {"2107",
                                           "1500 -> 1",
                                           "2100",
                                           std::string("504 READERPROTOCOL\0", 19),
                                           "530",
                                           std::string("504 READERPROTOCOLTMP\0", 22),
                                           "2107",
                                           std::string("502 READERPROTOCOLTMP=5\0", 24),
                                           std::string("502 RDRNEEDRESTART=1\0", 21)};
    ASSERT_GE(seen.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 9), head);
    const std::vector<std::string> tail = {
        "530", "2100", "2103", "2104", std::string("504 USBMODE\0", 12), "2103", "2104", "562"};
    ASSERT_GE(seen.size(), head.size() + tail.size());
    EXPECT_EQ(std::vector<std::string>(seen.end() - 8, seen.end()), tail);
    for (size_t i = 9; i < seen.size() - 8; ++i)
        EXPECT_EQ(seen[i].substr(0, 4), "2107") << i;
    with_state(r, [](ReaderTestState& s) {
        EXPECT_EQ(s.volatile_protocol, 5);
        EXPECT_EQ(s.has_volatile_protocol, 1);
    });
}

TEST_F(CardTestWorker, EqualProtocolsAreNotRestored) {
    load(device_block("r1", "0x0202", "SN1",
                      "  param READERPROTOCOL 4\n  param READERPROTOCOLTMP 4\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    ASSERT_TRUE(wait_until([&] { return ready(r); }, 3000ms));
    for (int f : functions_of("r1"))
        EXPECT_NE(f, 502);
}

TEST_F(CardTestWorker, StopRequestEndsTheBusyRetryOfTheRestore) {
    load(device_block("r1", "0x0202", "SN1",
                      "  param READERPROTOCOL 5\n  param READERPROTOCOLTMP 3\n"
                      "  fn 2100 result -25 times 1000000\n"));
    Reader* r = reader("SN1");
    ASSERT_TRUE(start(r));
    // The restore keeps retrying the busy feature request...
    ASSERT_TRUE(wait_until(
        [] {
            int n = 0;
            for (int f : functions_of("r1"))
                n += f == 2100;
            return n >= 3;
        },
        5000ms));
    // ...until the console asks the worker to stop.
    EXPECT_TRUE(stop(r));
}

TEST_F(CardTestWorker, RestoreWithoutVolatileProtocolDoesNothing) {
    load(device_block("r1", "0x0202", "SN1"));
    Reader* r = reader("SN1");
    ReaderTestState state;
    r->test_ctx = &state;
    EXPECT_EQ(card_test_restore_protocol(r, 3), WORKER_NO_VOLATILE_PROTOCOL);
    r->test_ctx = nullptr;
    EXPECT_TRUE(emu::exchanges("r1").empty());
}

TEST_F(CardTestWorker, RefusedVolatileProtocolEndsTheRestore) {
    load(device_block("r1", "0x0202", "SN1", "  fn 502 result -2\n"));
    Reader* r = reader("SN1");
    ASSERT_EQ(reader_open(r), 0);
    ReaderTestState state;
    state.has_volatile_protocol = 1;
    state.volatile_protocol = 3;
    r->test_ctx = &state;
    diag_verbosity = 1;
    FdCapture err(2);
    EXPECT_EQ(card_test_restore_protocol(r, 7), -2);
    EXPECT_EQ(err.finish(), "Cannot set volatile protocol");
    EXPECT_EQ(state.volatile_protocol, 3);
    EXPECT_EQ(functions_of("r1"), (std::vector<int>{FN_STATUS, 502}));
    r->test_ctx = nullptr;
    reader_close(r);
}

} // namespace
