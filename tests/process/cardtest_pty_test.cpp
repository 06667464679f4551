#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cardtest/pty_session.h"
#include "support/process.h"

namespace {

const std::string RULE(76, '-');

std::string scenario_two_readers() {
    return "device km 0x0203\n"
           "  serial KM0001\n"
           "  param KMMODE 2\n"
           "  features 1\n"
           "device kbd 0x0202\n"
           "  serial KB0002\n"
           "  module_desc \"P-7\\nMifare\\nauto\\nISO15693\\n\"\n";
}

struct CardTestTerminal : ::testing::Test {
    PtySession session{30, 80};
    std::string dir = temp_dir();

    bool start(const std::string& scenario, const std::vector<std::string>& args = {"-t"}) {
        write_file(dir + "/s.scn", scenario);
        return session.start(BRINLET_BIN, BRINLET_EMU_LIB, args, dir + "/s.scn", dir + "/control");
    }
    std::vector<std::string> rows(int first, int count) const {
        std::vector<std::string> out;
        for (int r = first; r < first + count; ++r)
            out.push_back(session.screen.text(r));
        return out;
    }
};

TEST_F(CardTestTerminal, OperatorSeesReadersCardsAndTheWayOut) {
    ASSERT_TRUE(start(scenario_two_readers()));
    ASSERT_TRUE(session.wait_for(
        [&] {
            return session.screen.text(3) == "  CARD: 'none'" &&
                   session.screen.text(6) == "  CARD (tmout): 'none'";
        },
        10000))
        << session.screen.text(2);
    session.command("event km 1 \"04A1B2C3\" carddata \"MIFARE Classic 1K\"");
    const std::string mfp = "  MFP DATA: 04A1B2C3" + std::string(24, 'F');
    ASSERT_TRUE(session.wait_for(
        [&] {
            return session.screen.text(3) == "  CARD: '04A1B2C3' MIFARE Classic 1K" &&
                   session.screen.text(4) == mfp;
        },
        3000));
    const std::string km_line =
        "KM0001, usb KM, mode 2, ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
    const std::vector<std::string> expected = {"Card testing:",
                                               RULE,
                                               km_line.substr(0, 79),
                                               "  CARD: '04A1B2C3' MIFARE Classic 1K",
                                               mfp,
                                               "KB0002, usb KBD, P-7 Mifare, ISO15693",
                                               "  CARD (tmout): 'none'",
                                               RULE,
                                               "(CTRL+C to exit)",
                                               "",
                                               ""};
    EXPECT_EQ(rows(0, 11), expected);
    EXPECT_EQ(session.screen.unknown_sequences, 0);

    session.type("\x03"); // Ctrl+C through the terminal's line discipline
    ASSERT_TRUE(session.wait_for([&] { return session.shows("Press ENTER to continue"); }, 10000));
    EXPECT_TRUE(session.shows("Shutting down, please wait..."));
    session.type("\r");
    EXPECT_EQ(session.finish(10000), 0);
}

TEST_F(CardTestTerminal, ScreenWrittenOverByItsOwnTracesAndKeysIsWholeAgainAtOnce) {
    // A terminal just as tall as the drawing: every trace line scrolls it.
    session.screen = VtScreen(11, 80);
    ASSERT_TRUE(start(scenario_two_readers(), {"-v", "-v", "-t"}));
    const std::string km_line =
        "KM0001, usb KM, mode 2, ICM-7720-01 Multiprotocol 13.56 MHz reader module, ISO14443A";
    const auto picture = [&](const std::string& card, const std::string& mfp) {
        return std::vector<std::string>{"Card testing:",
                                        RULE,
                                        km_line.substr(0, 79),
                                        card,
                                        mfp.empty() ? "  MFP DATA:" : "  MFP DATA: " + mfp,
                                        "KB0002, usb KBD, P-7 Mifare, ISO15693",
                                        "  CARD (tmout): 'none'",
                                        RULE,
                                        "(CTRL+C to exit)",
                                        "",
                                        ""};
    };
    const std::string none = "  CARD: 'none'";
    ASSERT_TRUE(session.wait_for([&] { return rows(0, 11) == picture(none, ""); }, 10000))
        << ::testing::PrintToString(rows(0, 11));
    // Each step writes traces (or echoes a key) over the screen; the next
    // redraw or two must show the whole picture again, long before the
    // next enumeration pass would redraw it anyway.
    const struct {
        const char* command; // to the emulator; null: keys typed instead
        const char* keys;
        const char* card;
        const char* mfp;
    } steps[] = {
        {"event km 1 \"04A1B2C3\" carddata \"MIFARE Classic 1K\"", nullptr,
         "  CARD: '04A1B2C3' MIFARE Classic 1K", "04A1B2C3FFFFFFFFFFFFFFFFFFFFFFFF"},
        {nullptr, "x", "  CARD: '04A1B2C3' MIFARE Classic 1K", "04A1B2C3FFFFFFFFFFFFFFFFFFFFFFFF"},
        {"event km 4", nullptr, "  CARD: 'none'", ""},
        {"event km 1 \"0466F2A1\"", nullptr, "  CARD: '0466F2A1' UID 0466F2A1",
         "0466F2A1FFFFFFFFFFFFFFFFFFFFFFFF"},
    };
    for (const auto& step : steps) {
        session.pump(100);
        if (step.command != nullptr) session.command(step.command);
        if (step.keys != nullptr) session.type(step.keys);
        const std::vector<std::string> expected = picture(step.card, step.mfp);
        std::vector<std::string> seen;
        // Time for the emulator to notice the command and for the traces.
        EXPECT_TRUE(session.wait_for(
            [&] {
                seen = rows(0, 11);
                return seen == expected;
            },
            600))
            << (step.command != nullptr ? step.command : step.keys) << "\n"
            << ::testing::PrintToString(seen);
        // ... and keep it once the step's last trace or echo has arrived.
        session.wait_for([] { return false; }, 300);
        EXPECT_EQ(rows(0, 11), expected) << (step.command != nullptr ? step.command : step.keys);
    }
    EXPECT_EQ(session.screen.unknown_sequences, 0);
    session.type("\x03");
    ASSERT_TRUE(session.wait_for([&] { return session.shows("Press ENTER to continue"); }, 10000));
    session.type("\r");
    EXPECT_EQ(session.finish(10000), 0);
}

TEST_F(CardTestTerminal, EndOfInputAtTheFinalPromptEndsTheProgram) {
    ASSERT_TRUE(start(""));
    ASSERT_TRUE(
        session.wait_for([&] { return session.shows("NO TESTABLE READERS FOUND"); }, 10000));
    session.type("\x03");
    ASSERT_TRUE(session.wait_for([&] { return session.shows("Press ENTER to continue"); }, 10000));
    session.type("\x04"); // Ctrl+D: end of input
    EXPECT_EQ(session.finish(10000), 0);
}

TEST_F(CardTestTerminal, IdleScreenCostsNoTerminalOutputBetweenPasses) {
    ASSERT_TRUE(start(scenario_two_readers()));
    ASSERT_TRUE(session.wait_for([&] { return session.screen.text(6) == "  CARD (tmout): 'none'"; },
                                 10000));
    session.pump(100);
    const size_t before = session.bytes_read;
    for (int i = 0; i < 10; ++i)
        session.pump(50);
    // At most one enumeration pass (the whole drawing) may fall in here.
    EXPECT_LE(session.bytes_read - before, 11u * 90u);
    session.type("\x03");
    ASSERT_TRUE(session.wait_for([&] { return session.shows("Press ENTER to continue"); }, 10000));
    session.type("\r");
    EXPECT_EQ(session.finish(10000), 0);
}

} // namespace
