#include <gtest/gtest.h>

#include <string>

#include "console/reader_info.h"
#include "console_rig.h"
#include "link/reader_link.h"
#include "support/capture.h"

namespace {

class ReaderInfoTest : public ConsoleTest {
  protected:
    // The report of the first reader as printed; its result in *result.
    std::string report(int32_t* result = nullptr) {
        Reader* r = reader_first();
        EXPECT_NE(r, nullptr);
        if (r == nullptr) return {};
        EXPECT_EQ(reader_open(r), 0);
        FdCapture out(1);
        const int32_t rc = reader_print_info(r);
        std::string text = out.finish();
        reader_close(r);
        if (result != nullptr) *result = rc;
        return text;
    }
};

std::string pad64(const std::string& s) {
    return s + std::string(64 - s.size(), ' ');
}

// 128 record bytes as the scenario's hex notation.
std::string record_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex = "x:";
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

const char* FULL_SCENARIO = R"(device kbd 0x0202
serial KB0042
param FWVERSION "2.15.1"
param SERVICE_VER "1.0.7"
param USBMODE "1"
param KBDPRESSDLY "65537"
param KBDRELEASEDLY "20"
param KBDLAYOUT "1"
param KMMODE "1"
param READER "74"
param READERPROTOCOL "999"
param RDRCFG_CSUM "3F2A"
param DEBUG "2"
param SOUND "1"
param HWCFG_MAJOR "2"
param HWCFG_MINOR "1"
param HWCFG_SUBVERSION "0"
param HWCFG_SERIAL "HW-778"
param HWCFG_MAN_DATE "1600000000"
lib_version "LibReader 3.5.1"
status 6
status_message "Update pending"
module_desc "P-1\nDescr\n\nauto\nISO\nfeat\ninfo1\ninfo2\n\n"
module_record pcb 3.2.1 type 9 features 0x12345678 serial MS-9 part PN-77 date 1650000000 sw 0.0.0 lib 1.0.0
)";

TEST_F(ReaderInfoTest, FullReportIsPrintedLineByLine) {
    load(FULL_SCENARIO);
    int32_t result = -1;
    const std::string text = report(&result);
    const std::string expected = "USB Reader information:\n"
                                 "Usb reader    : USB reader v2/v3 (usb keyboard class)\n"
                                 "Serial no.    : KB0042\n"
                                 "Firmware ver. : 2.15.1\n"
                                 "Servicefw ver.: 1.0.7\n"
                                 "Servicefw stat: OK\n"
                                 "USB op. mode  : USB keyboard\n"
                                 "USB kbd params: 1 ms press, 20 ms release\n"
                                 "USB kbd layout: 1\n"
                                 "Reader type   : 74\n"
                                 "Reader proto  : User configuration\n"
                                 "User cfg csum : 3F2A\n"
                                 "Debug mode    : debug\n"
                                 "Sound         : Disabled\n"
                                 "\n"
                                 "Hardware information:\n"
                                 "HW version    : 2.1.0\n"
                                 "Serial number : HW-778\n"
                                 "Manuf. date   : Sun Sep 13 12:26:40 2020\n"
                                 "\n"
                                 "Card reader information:\n"
                                 "LibReader ver.: LibReader 3.5.1\n"
                                 "Reader count  : 1\n"
                                 "Reader partno : P-1\n"
                                 "Reader descr. : Descr\n"
                                 "Reader auto   : auto\n"
                                 "Reader proto. : ISO\n"
                                 "Reader featur.: feat\n"
                                 "Reader info   : info1\n"
                                 "                info2\n"
                                 "Reader status : " +
                                 pad64("reader firmware update needed") +
                                 "\n"
                                 "Status message: " +
                                 pad64("Update pending") +
                                 "\n"
                                 "\n"
                                 "Embedded reader information:\n"
                                 "PCB ver.(type): 3.2.1 (9)\n"
                                 "Features      : 12345678\n"
                                 "Serial no.    : MS-9\n"
                                 "Partnumber    : PN-77\n"
                                 "Manf. date    : Fri Apr 15 05:20:00 2022\n"
                                 "Reader SW ver.: Not applicable\n"
                                 "Req lib ver.  : 1.0.0\n"
                                 "\n";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reported_config.usb_mode, 1);
    EXPECT_EQ(reported_config.reader_type, 74);
    EXPECT_EQ(reported_config.reader_protocol, 999);
    EXPECT_EQ(reported_config.kbd_params_known, 1);
    EXPECT_EQ(reported_config.km_mode_known, 1);
}

TEST_F(ReaderInfoTest, EachFunctionIsAskedWithItsInputAndCapacity) {
    load(FULL_SCENARIO);
    report();
    const auto ex = emu::exchanges("kbd");
    std::vector<std::string> keys;
    for (const emu::Exchange& e : ex) {
        if (e.function == 504) {
            keys.emplace_back(e.input.begin(), e.input.end() - 1);
            if (keys.back() != "HWCFG_MINOR" && keys.back() != "HWCFG_SUBVERSION") {
                EXPECT_EQ(e.capacity, 256u) << keys.back();
            }
        }
    }
    const std::vector<std::string> order = {
        "FWVERSION",        "SERVICE_VER",  "SERVICE_STATUS", "USBMODE",     "KBDPRESSDLY",
        "KBDRELEASEDLY",    "KBDLAYOUT",    "KMMODE",         "READER",      "READERPROTOCOL",
        "RDRCFG_CSUM",      "DEBUG",        "SOUND",          "HWCFG_MAJOR", "HWCFG_MINOR",
        "HWCFG_SUBVERSION", "HWCFG_SERIAL", "HWCFG_MAN_DATE"};
    EXPECT_EQ(keys, order);
    // The hardware version is read into what is left of one 256-byte buffer
    // after "2." and after "2.1.".
    const auto params = calls("kbd", 504);
    EXPECT_EQ(params[14].capacity, 254u);
    EXPECT_EQ(params[15].capacity, 252u);

    std::vector<uint16_t> functions;
    for (const emu::Exchange& e : ex)
        if (e.function != 504) functions.push_back(e.function);
    EXPECT_EQ(functions, (std::vector<uint16_t>{2000, 2103, 2104, 2107, 13, 2106}));
    EXPECT_EQ(calls("kbd", 2000)[0].capacity, 256u);
    EXPECT_EQ(calls("kbd", 2103)[0].capacity, 1u);
    EXPECT_EQ(calls("kbd", 2104)[0].input, std::vector<uint8_t>{0});
    EXPECT_EQ(calls("kbd", 2104)[0].capacity, 256u);
    EXPECT_EQ(calls("kbd", 2107)[0].capacity, 4u);
    EXPECT_EQ(calls("kbd", 13)[0].capacity, 256u);
    EXPECT_EQ(calls("kbd", 2106)[0].input, std::vector<uint8_t>{0});
    EXPECT_EQ(calls("kbd", 2106)[0].capacity, 128u);
    EXPECT_TRUE(calls("kbd", 2103)[0].input.empty());
}

TEST_F(ReaderInfoTest, FailedReadsShowFailedAndTheRecordFailureEndsTheReport) {
    load(R"(device km 0x0203
serial K1
noparam FWVERSION
noparam SERVICE_STATUS
noparam USBMODE
noparam KBDRELEASEDLY
noparam KMMODE
noparam READER
param READERPROTOCOL "999"
noparam RDRCFG_CSUM
noparam DEBUG
noparam SOUND
noparam HWCFG_MINOR
noparam HWCFG_SERIAL
noparam HWCFG_MAN_DATE
fn 2000 result -6
fn 2104 result -6
fn 2107 result -110
fn 13 result -6
fn 2106 result -22
)");
    // Values of an earlier report stay where this one cannot read them.
    reported_config = {1, 50, 3, 1, 1};
    int32_t result = 0;
    const std::string text = report(&result);
    EXPECT_EQ(text, "USB Reader information:\n"
                    "Usb reader    : USB reader v2/v3 (usb km embedded class)\n"
                    "Serial no.    : K1\n"
                    "Firmware ver. : FAILED\n"
                    "Servicefw ver.: 1.0.3\n"
                    "Servicefw stat: FAILED\n"
                    "USB op. mode  : FAILED\n"
                    "Reader type   : FAILED\n"
                    "Reader proto  : User configuration\n"
                    "User cfg csum : FAILED\n"
                    "Debug mode    : FAILED\n"
                    "Sound         : FAILED\n"
                    "\n"
                    "Hardware information:\n"
                    "HW version    : FAILED\n"
                    "Serial number : FAILED\n"
                    "Manuf. date   : FAILED\n"
                    "\n"
                    "Card reader information:\n"
                    "LibReader ver.: FAILED\n"
                    "Reader count  : 1\n"
                    "Reader partno : FAILED\n"
                    "Reader status : FAILED\n"
                    "Status message: None\n"
                    "\n"
                    "Embedded reader information:\n"
                    "FAILED\n");
    EXPECT_EQ(result, -22);
    EXPECT_EQ(reported_config.usb_mode, 1);
    EXPECT_EQ(reported_config.reader_type, 50);
    EXPECT_EQ(reported_config.reader_protocol, 999);
    EXPECT_EQ(reported_config.kbd_params_known, 0);
    EXPECT_EQ(reported_config.km_mode_known, 0);
    // KBDLAYOUT is not asked for when a delay cannot be read.
    for (const emu::Exchange& e : calls("km", 504)) {
        EXPECT_NE(std::string(e.input.begin(), e.input.end() - 1), "KBDLAYOUT");
    }
}

// A reader that refuses every parameter request with CTL_ERROR 0 sends no
// value: nothing of the buffer it would have filled may be shown or kept.
TEST_F(ReaderInfoTest, ParameterRequestsRefusedWithZeroShowFailed) {
    load("device s 0x0204\nserial S1\nfn 504 reqerror 0\n");
    reported_config = {7, 51, 4, 1, 1};
    const std::string text = report();
    for (const char* label :
         {"Firmware ver. : ", "Servicefw ver.: ", "Servicefw stat: ", "USB op. mode  : ",
          "Reader type   : ", "Reader proto  : ", "Debug mode    : ", "Sound         : ",
          "HW version    : ", "Serial number : ", "Manuf. date   : "})
        EXPECT_NE(text.find(std::string(label) + "FAILED\n"), std::string::npos) << label;
    EXPECT_EQ(reported_config.usb_mode, 7);
    EXPECT_EQ(reported_config.reader_type, 51);
    EXPECT_EQ(reported_config.reader_protocol, 4);
}

// Every text a reader sends reaches the terminal without the controls that
// would let it rewrite the screen: C0 (the report's own line ends aside),
// DEL and C1, in 8 bits or UTF-8.
TEST_F(ReaderInfoTest, ReaderTextsCannotDriveTheTerminal) {
    const std::string evil = R"(r"A\x1b]0;owned\x07B\x1b[2J\x08\x7f\x9b\xc2\x9bC\r\xc3\xa9\x00")";
    load("device km 0x0203\nserial K1\nparam FWVERSION " + evil + "\nparam HWCFG_SERIAL " + evil +
         "\nparam HWCFG_MAJOR " + evil + "\nlib_version " + evil + "\nstatus_message " + evil +
         "\nmodule_desc " + evil + "\nmodule_record serial \x1b[2Jx part \x1b]0;y\n");
    const std::string text = report();
    EXPECT_NE(text.find("Firmware ver. : A?]0;owned?B?[2J????C?\xc3\xa9\n"), std::string::npos)
        << "each control one '?', other UTF-8 kept";
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7F ||
                     (c >= 0x80 && c <= 0x9F && text[i - 1] != '\xc3'))
            << "byte " << int(c) << " at " << i;
    }
}

TEST_F(ReaderInfoTest, ReaderWithoutModuleShowsNoReaderDetected) {
    load("device r 0x0204\nserial S\nmodule_count 0\n");
    int32_t result = -1;
    const std::string text = report(&result);
    EXPECT_EQ(result, 0);
    const std::string tail = "Reader count  : 0\n"
                             "Reader status : " +
                             pad64("reader operating ok") +
                             "\n"
                             "Status message: " +
                             pad64("Reader ready") +
                             "\n\n"
                             "Embedded reader information:\n"
                             "NO READER DETECTED\n"
                             "\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_TRUE(calls("r", 2104).empty());
    EXPECT_TRUE(calls("r", 2106).empty());
}

TEST_F(ReaderInfoTest, KeyboardLinesOnlyInKeyboardModeButDelaysStillKnown) {
    load("device r 0x0204\nserial S\nparam USBMODE 3\nparam KBDPRESSDLY 5\n");
    const std::string text = report();
    EXPECT_NE(text.find("USB op. mode  : USB serial\n"), std::string::npos);
    EXPECT_EQ(text.find("USB kbd"), std::string::npos);
    EXPECT_EQ(text.find("KM mode"), std::string::npos);
    EXPECT_EQ(reported_config.kbd_params_known, 1);
    EXPECT_EQ(reported_config.km_mode_known, 1);
}

TEST_F(ReaderInfoTest, KeyboardLayoutMissingStillCountsDelaysAsKnown) {
    load("device r 0x0202\nserial S\nparam USBMODE 1\nnoparam KBDLAYOUT\n");
    const std::string text = report();
    EXPECT_NE(text.find("USB kbd params: 0 ms press, 0 ms release\nReader type"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("USB kbd layout"), std::string::npos);
    EXPECT_EQ(reported_config.kbd_params_known, 1);
}

TEST_F(ReaderInfoTest, UnknownNumbersAreShownAsUnknown) {
    load("device r 0x0204\nserial S\nparam USBMODE 8\nparam DEBUG 5\nparam SERVICE_STATUS 0\n"
         "param SOUND 0\n");
    const std::string text = report();
    EXPECT_NE(text.find("USB op. mode  : Unknown (8)\n"), std::string::npos);
    EXPECT_NE(text.find("Debug mode    : Unknown (5)\n"), std::string::npos);
    EXPECT_NE(text.find("Servicefw stat: Damaged\n"), std::string::npos);
    EXPECT_NE(text.find("Sound         : Enabled\n"), std::string::npos);
    EXPECT_EQ(reported_config.usb_mode, 8);
}

TEST_F(ReaderInfoTest, PlainProtocolIsShownAsReceivedWithoutChecksum) {
    load("device r 0x0204\nserial S\nparam READERPROTOCOL \" 12abc\"\n");
    const std::string text = report();
    EXPECT_NE(text.find("Reader proto  :  12abc\nDebug mode"), std::string::npos);
    EXPECT_EQ(reported_config.reader_protocol, 12);
    for (const emu::Exchange& e : calls("r", 504)) {
        EXPECT_NE(std::string(e.input.begin(), e.input.end() - 1), "RDRCFG_CSUM");
    }
}

TEST_F(ReaderInfoTest, ShortModuleDescriptionPrintsEveryLabelledLine) {
    load("device r 0x0204\nserial S\nmodule_desc \"P-9\\n\\nOnly descr\"\n");
    const std::string text = report();
    EXPECT_NE(text.find("Reader partno : P-9\n"
                        "Reader descr. : Only descr\n"
                        "Reader auto   : \n"
                        "Reader proto. : \n"
                        "Reader featur.: \n"
                        "Reader info   : \n"
                        "Reader status : "),
              std::string::npos)
        << text;
}

TEST_F(ReaderInfoTest, EmptyModuleDescriptionPrintsEmptyLabelledLines) {
    load("device r 0x0204\nserial S\nfn 2104 out r\"\"\n");
    const std::string text = report();
    EXPECT_NE(text.find("Reader count  : 1\n"
                        "Reader partno : \n"
                        "Reader descr. : \n"
                        "Reader auto   : \n"
                        "Reader proto. : \n"
                        "Reader featur.: \n"
                        "Reader info   : \n"
                        "Reader status : "),
              std::string::npos)
        << text;
}

TEST_F(ReaderInfoTest, TextsWithoutTerminatorShowWhatWasReceived) {
    // 256 bytes without a NUL fill the whole output; nothing past them may
    // be printed.
    load("device r 0x0204\nserial S\nlib_version rep:256:41\nstatus_message r\"No NUL\"\n");
    const std::string text = report();
    EXPECT_NE(text.find("LibReader ver.: " + std::string(256, 'A') + "\nReader count"),
              std::string::npos);
    EXPECT_NE(text.find("Status message: " + pad64("No NUL") + "\n"), std::string::npos);
}

TEST_F(ReaderInfoTest, RecordTextFieldsStopAtTheirFieldSize) {
    std::string rec(128, '\0');
    rec[1] = 1;
    rec[2] = 2;
    rec[3] = 3;
    rec[4] = 200;
    rec[5] = 0x01; // feature word, little-endian: 0x04030201
    rec[6] = 0x02;
    rec[7] = 0x03;
    rec[8] = 0x04;
    for (int i = 0; i < 32; ++i)
        rec[11 + i] = 'S'; // no NUL before the part number
    for (int i = 0; i < 20; ++i)
        rec[43 + i] = 'P'; // no NUL before the date
    rec[63] = char(0xEE);  // 4000000000, beyond a signed 32-bit number
    rec[64] = char(0x6B);
    rec[65] = char(0x28);
    rec[66] = 0x00;
    rec[67] = 1;
    load("device r 0x0204\nserial S\nfn 2106 out " + record_hex(rec) + "\n");
    const std::string text = report();
    EXPECT_NE(text.find("Embedded reader information:\n"
                        "PCB ver.(type): 1.2.3 (200)\n"
                        "Features      : 04030201\n"
                        "Serial no.    : " +
                        std::string(32, 'S') +
                        "\n"
                        "Partnumber    : " +
                        std::string(20, 'P') +
                        "\n"
                        "Manf. date    : Tue Oct  2 07:06:40 2096\n"
                        "Reader SW ver.: 1.0.0\n"
                        "Req lib ver.  : Not applicable\n\n"),
              std::string::npos)
        << text;
}

TEST_F(ReaderInfoTest, ShortRecordShowsOnlyWhatArrived) {
    // 16 bytes: the serial number field holds "ABCDE" without its NUL.
    load("device r 0x0204\nserial S\nfn 2106 out x:00010203040000000000004142434445\n");
    int32_t result = -1;
    const std::string text = report(&result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(text.find("PCB ver.(type): 1.2.3 (4)\nFeatures      : 00000000\n"
                        "Serial no.    : ABCDE\nPartnumber    : \n"),
              std::string::npos)
        << text;
}

TEST_F(ReaderInfoTest, EmptyRecordFailsTheReport) {
    load("device r 0x0204\nserial S\nfn 2106 out r\"\"\n");
    int32_t result = 0;
    const std::string text = report(&result);
    EXPECT_LT(result, 0);
    const std::string tail = "\nEmbedded reader information:\nFAILED\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(ReaderInfoTest, UnrepresentableDateShowsFailed) {
    load("device r 0x0204\nserial S\nparam HWCFG_MAN_DATE 9000000000000000000\n");
    const std::string text = report();
    EXPECT_NE(text.find("Manuf. date   : FAILED\n\nCard reader information:"), std::string::npos)
        << text;
}

TEST_F(ReaderInfoTest, DateBeyondYear9999ShowsFailed) {
    // 10000-01-01: the 24-character form has no room for a fifth digit.
    load("device r 0x0204\nserial S\nparam HWCFG_MAN_DATE 253402300800\n");
    const std::string text = report();
    EXPECT_NE(text.find("Manuf. date   : FAILED\n"), std::string::npos) << text;
}

TEST_F(ReaderInfoTest, HardwareVersionThatFillsTheBufferFailsWithoutOverrun) {
    // 255 digits leave no room for the dot: the minor number is not asked.
    load("device r 0x0204\nserial S\nparam HWCFG_MAJOR rep:255:31\n");
    const std::string text = report();
    EXPECT_NE(text.find("HW version    : FAILED\n"), std::string::npos);
    for (const emu::Exchange& e : calls("r", 504)) {
        EXPECT_NE(std::string(e.input.begin(), e.input.end() - 1), "HWCFG_MINOR");
    }
}

TEST_F(ReaderInfoTest, HardwareVersionWithNoRoomLeftForTheNextNumberFails) {
    load("device r 0x0204\nserial S\nparam HWCFG_MAJOR rep:254:31\n");
    const std::string text = report();
    EXPECT_NE(text.find("HW version    : FAILED\n"), std::string::npos);
    const auto params = calls("r", 504);
    bool asked = false;
    for (const emu::Exchange& e : params) {
        if (std::string(e.input.begin(), e.input.end() - 1) == "HWCFG_MINOR") {
            asked = true;
            EXPECT_EQ(e.capacity, 1u);
        }
    }
    EXPECT_TRUE(asked);
}

TEST_F(ReaderInfoTest, NegativeModuleCountStillDescribesTheModule) {
    load("device r 0x0204\nserial S\nfn 2103 out x:ff\n");
    const std::string text = report();
    EXPECT_NE(text.find("Reader count  : -1\nReader partno : "), std::string::npos);
    EXPECT_EQ(calls("r", 2106).size(), 1u);
}

} // namespace
