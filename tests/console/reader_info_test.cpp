#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    EXPECT_EQ(text, "USB Reader information:\n"
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
                        "\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reported_config.usb_mode, 1);
    EXPECT_EQ(reported_config.reader_type, 74);
    EXPECT_EQ(reported_config.reader_protocol, 999);
    EXPECT_EQ(reported_config.kbd_params_known, 1);
    EXPECT_EQ(reported_config.km_mode_known, 1);

    // What the report asks, in order, with its input and room for the answer.
    EXPECT_EQ(asked_params("kbd"),
              (std::vector<std::string>{"FWVERSION", "SERVICE_VER", "SERVICE_STATUS", "USBMODE",
                                        "KBDPRESSDLY", "KBDRELEASEDLY", "KBDLAYOUT", "KMMODE",
                                        "READER", "READERPROTOCOL", "RDRCFG_CSUM", "DEBUG", "SOUND",
                                        "HWCFG_MAJOR", "HWCFG_MINOR", "HWCFG_SUBVERSION",
                                        "HWCFG_SERIAL", "HWCFG_MAN_DATE"}));
    // The hardware version is read into what is left of one 256-byte buffer
    // after "2." and after "2.1.".
    std::vector<uint32_t> capacities;
    for (const emu::Exchange& e : calls("kbd", 504))
        capacities.push_back(e.capacity);
    std::vector<uint32_t> expected_capacities(18, 256);
    expected_capacities[14] = 254;
    expected_capacities[15] = 252;
    EXPECT_EQ(capacities, expected_capacities);
    std::vector<std::string> others;
    for (const emu::Exchange& e : emu::exchanges("kbd"))
        if (e.function != 504)
            others.push_back(std::to_string(e.function) + " in=" + std::to_string(e.input.size()) +
                             (e.input.empty() ? "" : ":" + std::to_string(e.input[0])) +
                             " cap=" + std::to_string(e.capacity));
    EXPECT_EQ(others, (std::vector<std::string>{"2000 in=0 cap=256", "2103 in=0 cap=1",
                                                "2104 in=1:0 cap=256", "2107 in=0 cap=4",
                                                "13 in=0 cap=256", "2106 in=1:0 cap=128"}));
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
    for (const std::string& key : asked_params("km"))
        EXPECT_NE(key, "KBDLAYOUT");
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

// 128 record bytes in the scenario's hex notation whose text fields carry no
// NUL: serial number and part number end at their field's size.
std::string record_without_nuls() {
    std::string rec(128, '\0');
    const char head[] = {0, 1, 2, 3, char(200), 0x01, 0x02, 0x03, 0x04}; // features 0x04030201
    rec.replace(0, sizeof head, head, sizeof head);
    rec.replace(11, 32, std::string(32, 'S'));
    rec.replace(43, 20, std::string(20, 'P'));
    rec.replace(63, 5, "\xEE\x6B\x28\x00\x01", 5); // 4000000000, beyond a signed 32-bit number
    static const char digits[] = "0123456789abcdef";
    std::string hex = "x:";
    for (unsigned char c : rec) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// One reader answer and the report lines it gives. Every scenario is a serial
// reader (0x0204) with serial number S.
struct InfoCase {
    const char* name;
    std::string scenario;
    std::vector<std::string> shown; // runs of report lines that must appear
    std::string absent = {};        // text that must not appear
    bool fails = false;             // the report ends on the record's FAILED
    const char* key = nullptr;      // a parameter whose request is checked:
    unsigned key_capacity = 0;      // its capacity, 0 when it is never asked
    uint16_t function = 0;          // a function whose requests are counted
    size_t function_calls = 0;
    int kbd_known = -1; // reported_config.kbd_params_known, -1 unchecked
};
CONSOLE_CASE_PRINTER(InfoCase)

class ReportLines : public ReaderInfoTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ReportLines, AreShown) {
    const InfoCase& c = GetParam();
    load("device r 0x0204\nserial S\n" + c.scenario);
    int32_t result = 0;
    const std::string text = report(&result);
    for (const std::string& run : c.shown)
        EXPECT_NE(text.find(run), std::string::npos) << run << "\nnot in:\n" << text;
    if (!c.absent.empty()) {
        EXPECT_EQ(text.find(c.absent), std::string::npos) << text;
    }
    EXPECT_EQ(result < 0, c.fails);
    EXPECT_EQ(ends_with(text, "\nEmbedded reader information:\nFAILED\n"), c.fails);
    if (c.key != nullptr) {
        std::vector<unsigned> capacities;
        for (const emu::Exchange& e : calls("r", 504))
            if (std::string(e.input.begin(), e.input.end() - 1) == c.key)
                capacities.push_back(e.capacity);
        EXPECT_EQ(capacities, c.key_capacity == 0 ? std::vector<unsigned>{}
                                                  : std::vector<unsigned>{c.key_capacity});
    }
    if (c.function != 0) {
        EXPECT_EQ(calls("r", c.function).size(), c.function_calls);
    }
    if (c.kbd_known >= 0) {
        EXPECT_EQ(reported_config.kbd_params_known, c.kbd_known);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReportLines,
    ::testing::Values(
        InfoCase{.name = "NoModuleShowsNoReaderDetected",
                 .scenario = "module_count 0\n",
                 .shown = {"Reader count  : 0\nReader status : " + pad64("reader operating ok") +
                           "\nStatus message: " + pad64("Reader ready") +
                           "\n\nEmbedded reader information:\nNO READER DETECTED\n\n"},
                 .absent = "Reader partno",
                 .function = 2106},
        InfoCase{.name = "NegativeModuleCountStillDescribesTheModule",
                 .scenario = "fn 2103 out x:ff\n",
                 .shown = {"Reader count  : -1\nReader partno : "},
                 .function = 2106,
                 .function_calls = 1},
        // The delays are known to the menu even where the mode hides them.
        InfoCase{.name = "KeyboardLinesOnlyInKeyboardMode",
                 .scenario = "param USBMODE 3\nparam KBDPRESSDLY 5\n",
                 .shown = {"USB op. mode  : USB serial\nReader type"},
                 .absent = "USB kbd",
                 .kbd_known = 1},
        InfoCase{.name = "KmModeLineOnlyInKmMode",
                 .scenario = "param USBMODE 2\nparam KMMODE 1\n",
                 .shown = {"USB op. mode  : USB KM reader\nKM mode       : 1\nReader type"},
                 .absent = "USB kbd"},
        InfoCase{.name = "MissingKeyboardLayoutStillCountsDelaysAsKnown",
                 .scenario = "param USBMODE 1\nnoparam KBDLAYOUT\n",
                 .shown = {"USB kbd params: 0 ms press, 0 ms release\nReader type"},
                 .kbd_known = 1},
        InfoCase{.name = "MissingReleaseDelayLeavesDelaysUnknown",
                 .scenario = "param USBMODE 1\nnoparam KBDRELEASEDLY\n",
                 .shown = {"USB op. mode  : USB keyboard\nReader type"},
                 .key = "KBDLAYOUT",
                 .kbd_known = 0},
        InfoCase{.name = "UnknownNumbersAreShownAsUnknown",
                 .scenario = "param USBMODE 8\nparam DEBUG 5\nparam SERVICE_STATUS 0\n"
                             "param SOUND 0\n",
                 .shown = {"Servicefw stat: Damaged\nUSB op. mode  : Unknown (8)\n",
                           "Debug mode    : Unknown (5)\nSound         : Enabled\n"}},
        InfoCase{.name = "PlainProtocolIsShownAsReceivedWithoutChecksum",
                 .scenario = "param READERPROTOCOL \" 12abc\"\n",
                 .shown = {"Reader proto  :  12abc\nDebug mode"},
                 .key = "RDRCFG_CSUM"},
        InfoCase{.name = "ShortModuleDescriptionPrintsEveryLabelledLine",
                 .scenario = "module_desc \"P-9\\n\\nOnly descr\"\n",
                 .shown = {"Reader partno : P-9\nReader descr. : Only descr\nReader auto   : \n"
                           "Reader proto. : \nReader featur.: \nReader info   : \n"
                           "Reader status : "}},
        InfoCase{.name = "EmptyModuleDescriptionPrintsEmptyLabelledLines",
                 .scenario = "fn 2104 out r\"\"\n",
                 .shown = {"Reader count  : 1\nReader partno : \nReader descr. : \n"
                           "Reader auto   : \nReader proto. : \nReader featur.: \n"
                           "Reader info   : \nReader status : "}},
        // 256 bytes without a NUL fill the whole output; nothing past them
        // may be printed.
        InfoCase{.name = "TextsWithoutTerminatorShowWhatWasReceived",
                 .scenario = "lib_version rep:256:41\nstatus_message r\"No NUL\"\n",
                 .shown = {"LibReader ver.: " + std::string(256, 'A') + "\nReader count",
                           "Status message: " + pad64("No NUL") + "\n"}},
        InfoCase{.name = "RecordTextFieldsStopAtTheirFieldSize",
                 .scenario = "fn 2106 out " + record_without_nuls() + "\n",
                 .shown = {"Embedded reader information:\nPCB ver.(type): 1.2.3 (200)\n"
                           "Features      : 04030201\nSerial no.    : " +
                           std::string(32, 'S') + "\nPartnumber    : " + std::string(20, 'P') +
                           "\nManf. date    : Tue Oct  2 07:06:40 2096\n"
                           "Reader SW ver.: 1.0.0\nReq lib ver.  : Not applicable\n\n"}},
        // 16 bytes: the serial number field holds "ABCDE" without its NUL.
        InfoCase{.name = "ShortRecordShowsOnlyWhatArrived",
                 .scenario = "fn 2106 out x:00010203040000000000004142434445\n",
                 .shown = {"PCB ver.(type): 1.2.3 (4)\nFeatures      : 00000000\n"
                           "Serial no.    : ABCDE\nPartnumber    : \n"}},
        InfoCase{.name = "EmptyRecordFailsTheReport",
                 .scenario = "fn 2106 out r\"\"\n",
                 .shown = {"Reader count  : 1\n"},
                 .fails = true},
        InfoCase{.name = "UnrepresentableDateShowsFailed",
                 .scenario = "param HWCFG_MAN_DATE 9000000000000000000\n",
                 .shown = {"Manuf. date   : FAILED\n\nCard reader information:"}},
        // 10000-01-01: the 24-character form has no room for a fifth digit.
        InfoCase{.name = "DateBeyondYear9999ShowsFailed",
                 .scenario = "param HWCFG_MAN_DATE 253402300800\n",
                 .shown = {"Manuf. date   : FAILED\n"}},
        // 255 digits leave no room for the dot: the minor number is not asked.
        InfoCase{.name = "HardwareVersionThatFillsTheBufferFailsWithoutOverrun",
                 .scenario = "param HWCFG_MAJOR rep:255:31\n",
                 .shown = {"HW version    : FAILED\n"},
                 .key = "HWCFG_MINOR"},
        InfoCase{.name = "HardwareVersionWithNoRoomLeftForTheNextNumberFails",
                 .scenario = "param HWCFG_MAJOR rep:254:31\n",
                 .shown = {"HW version    : FAILED\n"},
                 .key = "HWCFG_MINOR",
                 .key_capacity = 1}),
    case_name<InfoCase>);

} // namespace
