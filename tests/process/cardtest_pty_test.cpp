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

    bool start(const std::string& scenario) {
        write_file(dir + "/s.scn", scenario);
        return session.start(BRINLET_BIN, BRINLET_EMU_LIB, {"-t"}, dir + "/s.scn",
                             dir + "/control");
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
