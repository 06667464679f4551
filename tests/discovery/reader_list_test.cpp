// SPDX-License-Identifier: GPL-2.0-or-later
// Enumeration against the model table, records kept across passes, and
// selection by position and serial number.

#include "base/pause.h"
#include "base/result.h"
#include "discovery/reader_model.h"
#include "link/ctl_exchange.h"
#include "link/reader_rig.h"

namespace {

class ReaderList : public EmulatedReaders {};

// The devices of a scenario and the readers listed from them: their serial
// numbers in order, each followed by a space, and the first one's model.
struct ListCase {
    const char* name;
    std::string scenario, serials;
    const char* first_model = nullptr;
};

class ReaderListing : public ReaderList, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ReaderListing, ListsTheReaders) {
    const ListCase& c = GetParam();
    const int count = load(c.scenario);
    std::string serials;
    for (const Reader* r : listed_readers()) {
        serials += std::string(r->serial) + " ";
        EXPECT_EQ(r->model->vendor_id, READER_VENDOR_ID);
        EXPECT_EQ(r->in_report_size + r->out_report_size, 128);
    }
    EXPECT_EQ(serials, c.serials);
    EXPECT_STREQ(c.first_model ? reader_first()->model->description : nullptr, c.first_model);
    EXPECT_EQ(reader_by_index(count), nullptr);
    EXPECT_EQ(reader_by_index(-1), nullptr);
}

std::vector<ListCase> listings() {
    std::string many, serials;
    for (int i = 0; i < 33; ++i) {
        many += "device r" + std::to_string(i) + " 0x0204\n  serial S" + std::to_string(i) + "\n";
        serials += i < 32 ? "S" + std::to_string(i) + " " : "";
    }
    return {
        {"NoDevicesNoReaders", "", ""},
        {"OnlyMatchingInterfaceOfAKnownPersonalityIsAReader",
         "device kbd 0x0202\n  extra 0\n  serial K1\ndevice wrong 0x0202\n  interface 0\n  serial "
         "W1\ndevice other 0x0202\n  vendor 0x1234\n  interface 1\n  serial O1\ndevice unknown "
         "0x0999\n  serial U1\n",
         "K1 ", "USB reader v2/v3 (usb keyboard class)"},
        {"ServiceFirmwareIsListedLikeAnyReader", "device svc 0x0200\n  serial S1\n", "S1 ",
         "USB reader v2/v3 (service fw)"},
        // Shown on terminals, never as controls.
        {"SerialControlsAreKeptAsQuestionMarks",
         "device r 0x0204\n  serial \"\\x1b[2J\\x7fK\\x9b\"\n", "?[2J?K? "},
        {"SerialNumbersAreCutAndMayBeAbsent",
         "device long 0x0204\n  serial ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ABCD\ndevice none "
         "0x0204\n  serial none\n",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234  "},
        {"PathThatDoesNotFitIsNotTaken",
         "device a 0x0204\n  serial A\n  port 1-" + std::string(600, '1') +
             "\ndevice b 0x0204\n  serial B\n",
         "B "},
        {"AtMostThirtyTwoReaders", many, serials}};
}

TABLE_TEST(Cases, ReaderListing, listings());

// Records keep their place while their device is present or they are open;
// a returning device is appended; freeing an open record closes it.
TEST_F(ReaderList, RecordsStayWhilePresentOrOpen) {
    load("device a 0x0204\n  serial A\ndevice b 0x0204\n  serial B\ndevice c 0x0204\n  serial C\n");
    Reader* a = reader_by_index(0);
    Reader* c = reader_by_index(2);
    ASSERT_EQ(reader_open(c), 0);
    emu::unplug("b");
    emu::unplug("c");
    EXPECT_EQ(readers_enumerate(), 2) << "c is open, so still listed";
    emu::plug("b");
    EXPECT_EQ(readers_enumerate(), 3);
    EXPECT_EQ(reader_by_index(0), a);
    EXPECT_EQ(reader_by_index(1), c);
    EXPECT_STREQ(reader_by_index(2)->serial, "B") << "a returning reader is appended";
    reader_close(c);
    EXPECT_EQ(readers_enumerate(), 2) << "c is gone once closed";
    ASSERT_EQ(reader_open(a), 0);
    readers_exit();
    EXPECT_FALSE(emu::is_open("a")) << "an open record is closed when the list ends";
    readers_init();
}

// A snapshot's records outlive the enumeration that drops them, and a
// dropped record is never opened again, even when its device is back: an
// open record would outlive the list that no longer holds it.
TEST_F(ReaderList, SnapshotKeepsDroppedRecordsWhichNoLongerOpen) {
    load("device a 0x0204\n  serial A\ndevice b 0x0204\n  serial B\n");
    ReaderSnapshot listed;
    ASSERT_EQ(readers_snapshot(&listed), 2);
    emu::unplug("a");
    EXPECT_EQ(readers_enumerate(), 1);
    EXPECT_STREQ(listed.readers[0]->serial, "A") << "dropped, still held";
    emu::plug("a");
    EXPECT_EQ(reader_open(listed.readers[0]), LINK_WRONG_STATE);
    EXPECT_FALSE(emu::is_open("a"));
    EXPECT_EQ(reader_open(listed.readers[1]), 0);
    EXPECT_EQ(reader_first(), listed.readers[1]);
}

// The longest path the record holds is taken whole and opens; one byte
// more would be cut into a path that opens nothing, so it is not listed.
TEST_F(ReaderList, PathOfTheFieldsSizeLessOneIsTheLongestTaken) {
    const std::string longest = "1-" + std::string(READER_PATH_SIZE - 3, '1');
    load("device a 0x0204\n  serial A\n  path " + longest +
         "\ndevice b 0x0204\n  serial B\n  path " + longest + "2\n");
    ASSERT_EQ(listed_readers().size(), 1u);
    EXPECT_EQ(std::string(reader_first()->path), longest);
    EXPECT_EQ(reader_open(reader_first()), 0);
    EXPECT_TRUE(emu::is_open("a"));
}

// A reader swapped for another on the same port between two enumerations:
// the record of the path, while closed, shows the reader now there; an
// open record keeps the reader it was opened on.
TEST_F(ReaderList, ClosedRecordTakesTheSerialOfAReaderSwappedInOnItsPort) {
    const std::string later = "  appear 1000\n";
    load(
        "device a 0x0204\n  serial OLD1\n  port 1-4\ndevice b 0x0204\n  serial NEW2\n  port 1-4\n" +
        later +
        "device c 0x0204\n  serial C\n  port 1-5\ndevice d 0x0204\n  serial D\n  port 1-5\n" +
        later);
    Reader* first = reader_first();
    Reader* other = reader_by_index(1);
    ASSERT_EQ(reader_open(other), 0);
    for (const char* gone : {"a", "c"})
        emu::unplug(gone);
    for (const char* come : {"b", "d"})
        emu::plug(come);
    EXPECT_EQ(readers_enumerate(), 2);
    EXPECT_EQ(reader_first(), first) << "same path, same record";
    EXPECT_STREQ(first->serial, "NEW2");
    EXPECT_STREQ(other->serial, "C") << "open: kept";
    reader_close(other);
}

TEST_F(ReaderList, SerialLookupIgnoresLetterCase) {
    load("device a 0x0204\n  serial rd2k00ab\ndevice b 0x0204\n  serial RD2K00AB\n");
    EXPECT_EQ(reader_by_serial("Rd2K00aB"), reader_by_index(0)) << "the one nearer the head";
    EXPECT_EQ(reader_by_serial("RD2K00AC"), nullptr);
}

TEST_F(ReaderList, ClosedRecordFollowsAPersonalityChangeOnTheSamePath) {
    load("device rdr 0x0201\n  serial RS1\n  service_delay 0.1\n");
    Reader* r = reader_first();
    ASSERT_EQ(reader_open(r), 0);
    int32_t len = 0;
    ASSERT_EQ(reader_ctl(r, 511, 0, nullptr, &len, nullptr), 0);
    reader_close(r);
    // The reader is back before the next enumeration sees it gone: its
    // record stays, with the model the device shows now.
    pause_ms(400);
    EXPECT_EQ(readers_enumerate(), 1);
    EXPECT_EQ(reader_first(), r) << "same path, same record";
    EXPECT_EQ(r->model->product_id, 0x0200) << "the record shows the service firmware now";
}

} // namespace
