// SPDX-License-Identifier: GPL-2.0-or-later
// The reader information report: every line as the reader's answers make it.
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

    // What the report keeps for the configuration menu.
    static std::string kept() {
        const ReportedConfig& c = reported_config;
        return "mode=" + std::to_string(c.usb_mode) + " type=" + std::to_string(c.reader_type) +
               " protocol=" + std::to_string(c.reader_protocol) +
               " kbd=" + std::to_string(c.kbd_params_known) +
               " km=" + std::to_string(c.km_mode_known);
    }
};

std::string pad64(const std::string& s) {
    return s + std::string(64 - s.size(), ' ');
}

TEST_F(ReaderInfoTest, FullReportIsPrintedLineByLine) {
    load(
        lines({"device kbd 0x0202", "serial KB0042", "param FWVERSION \"2.15.1\"",
               "param SERVICE_VER \"1.0.7\"", "param USBMODE \"1\"", "param KBDPRESSDLY \"65537\"",
               "param KBDRELEASEDLY \"20\"", "param KBDLAYOUT \"1\"", "param KMMODE \"1\"",
               "param READER \"74\"", "param READERPROTOCOL \"999\"", "param RDRCFG_CSUM \"3F2A\"",
               "param DEBUG \"2\"", "param SOUND \"1\""}) +
        lines({"param HWCFG_MAJOR \"2\"", "param HWCFG_MINOR \"1\"", "param HWCFG_SUBVERSION \"0\"",
               "param HWCFG_SERIAL \"HW-778\"", "param HWCFG_MAN_DATE \"1600000000\"",
               "lib_version \"LibReader 3.5.1\"", "status 6", "status_message \"Update pending\"",
               "module_desc \"P-1\\nDescr\\n\\nauto\\nISO\\nfeat\\ninfo1\\ninfo2\\n\\n\""}) +
        "module_record pcb 3.2.1 type 9 features 0x12345678 serial MS-9 part PN-77 date 1650000000 "
        "sw 0.0.0 lib 1.0.0\n");
    int32_t result = -1;
    EXPECT_EQ(
        report(&result),
        lines({"USB Reader information:", "Usb reader    : USB reader v2/v3 (usb keyboard class)",
               "Serial no.    : KB0042", "Firmware ver. : 2.15.1", "Servicefw ver.: 1.0.7",
               "Servicefw stat: OK", "USB op. mode  : USB keyboard",
               "USB kbd params: 1 ms press, 20 ms release", "USB kbd layout: 1",
               "Reader type   : 74", "Reader proto  : User configuration", "User cfg csum : 3F2A",
               "Debug mode    : debug", "Sound         : Disabled", ""}) +
            lines({"Hardware information:", "HW version    : 2.1.0", "Serial number : HW-778",
                   "Manuf. date   : Sun Sep 13 12:26:40 2020", "", "Card reader information:",
                   "LibReader ver.: LibReader 3.5.1", "Reader count  : 1", "Reader partno : P-1",
                   "Reader descr. : Descr", "Reader auto   : auto", "Reader proto. : ISO",
                   "Reader featur.: feat", "Reader info   : info1", "                info2"}) +
            lines({"Reader status : " + pad64("reader firmware update needed"),
                   "Status message: " + pad64("Update pending"), "", "Embedded reader information:",
                   "PCB ver.(type): 3.2.1 (9)", "Features      : 12345678", "Serial no.    : MS-9",
                   "Partnumber    : PN-77", "Manf. date    : Fri Apr 15 05:20:00 2022",
                   "Reader SW ver.: Not applicable", "Req lib ver.  : 1.0.0", ""}));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(kept(), "mode=1 type=74 protocol=999 kbd=1 km=1");
    // What the report asks, in order, with its input and room for the answer;
    // the hardware version is read into what is left of one 256-byte buffer
    // after "2." and after "2.1.".
    EXPECT_EQ(request_log("kbd"),
              lines({"504 FWVERSION 256", "504 SERVICE_VER 256", "504 SERVICE_STATUS 256",
                     "504 USBMODE 256", "504 KBDPRESSDLY 256", "504 KBDRELEASEDLY 256",
                     "504 KBDLAYOUT 256", "504 KMMODE 256", "504 READER 256",
                     "504 READERPROTOCOL 256", "504 RDRCFG_CSUM 256", "504 DEBUG 256"}) +
                  lines({"504 SOUND 256", "504 HWCFG_MAJOR 256", "504 HWCFG_MINOR 254",
                         "504 HWCFG_SUBVERSION 252", "504 HWCFG_SERIAL 256",
                         "504 HWCFG_MAN_DATE 256", "2000 - 256", "2103 - 1", "2104 00 256",
                         "2107 - 4", "13 - 256", "2106 00 128"}));
}

TEST_F(ReaderInfoTest, FailedReadsShowFailedAndTheRecordFailureEndsTheReport) {
    load(lines({"device km 0x0203", "serial K1", "noparam FWVERSION", "noparam SERVICE_STATUS",
                "noparam USBMODE", "noparam KBDRELEASEDLY", "noparam KMMODE", "noparam READER",
                "param READERPROTOCOL \"999\"", "noparam RDRCFG_CSUM", "noparam DEBUG"}) +
         lines({"noparam SOUND", "noparam HWCFG_MINOR", "noparam HWCFG_SERIAL",
                "noparam HWCFG_MAN_DATE", "fn 2000 result -6", "fn 2104 result -6",
                "fn 2107 result -110", "fn 13 result -6", "fn 2106 result -22"}));
    // Values of an earlier report stay where this one cannot read them.
    reported_config = {1, 50, 3, 1, 1};
    int32_t result = 0;
    EXPECT_EQ(report(&result),
              lines({"USB Reader information:",
                     "Usb reader    : USB reader v2/v3 (usb km embedded class)",
                     "Serial no.    : K1", "Firmware ver. : FAILED", "Servicefw ver.: 1.0.3",
                     "Servicefw stat: FAILED", "USB op. mode  : FAILED", "Reader type   : FAILED",
                     "Reader proto  : User configuration", "User cfg csum : FAILED",
                     "Debug mode    : FAILED", "Sound         : FAILED", ""}) +
                  lines({"Hardware information:", "HW version    : FAILED",
                         "Serial number : FAILED", "Manuf. date   : FAILED", "",
                         "Card reader information:", "LibReader ver.: FAILED", "Reader count  : 1",
                         "Reader partno : FAILED", "Reader status : FAILED", "Status message: None",
                         "", "Embedded reader information:", "FAILED"}));
    EXPECT_EQ(result, -22);
    EXPECT_EQ(kept(), "mode=1 type=50 protocol=999 kbd=0 km=0");
    expect_texts(request_log("km"), "!KBDLAYOUT"); // not asked when a delay cannot be read
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
    EXPECT_EQ(kept(), "mode=7 type=51 protocol=4 kbd=0 km=0");
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

// A 128-byte record in the scenario's hex notation whose text fields carry
// no NUL: serial number and part number end at their field's size.
std::string record_without_nuls() {
    const std::string hex = [](const std::string& text) {
        std::string out;
        for (unsigned char c : text)
            out.append({"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]});
        return out;
    }(std::string(32, 'S') + std::string(20, 'P'));
    // Features 0x04030201 little-endian; the date 4000000000 is beyond a
    // signed 32-bit number.
    return "x:00010203c8010203040000" + hex + "ee6b280001" + std::string(2 * 60, '0');
}

// One reader's answers and what the report shows of them. Every scenario is
// a serial reader (0x0204) with serial number S. The probes of expect_texts
// go over the report, and over its request_log followed by what it kept().
struct InfoCase {
    const char* name;
    std::string scenario;
    std::string shown;
    std::string asked = {};
};
CONSOLE_CASE_PRINTER(InfoCase)

class ReportLines : public ReaderInfoTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ReportLines, AreShown) {
    load("device r 0x0204\nserial S\n" + GetParam().scenario);
    int32_t result = 0;
    const std::string text = report(&result);
    expect_texts(text, GetParam().shown);
    EXPECT_EQ(result < 0, ends_with(text, "\nEmbedded reader information:\nFAILED\n")) << result;
    expect_texts(request_log("r") + kept(), GetParam().asked);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReportLines,
    ::testing::Values(
        InfoCase{"NoModuleShowsNoReaderDetected", "module_count 0\n",
                 "Reader count  : 0\nReader status : " + pad64("reader operating ok") +
                     "\nStatus message: " + pad64("Reader ready") +
                     "\n\nEmbedded reader information:\nNO READER DETECTED\n\n|!Reader partno",
                 "!2104|!2106"},
        InfoCase{"NegativeModuleCountStillDescribesTheModule", "fn 2103 out x:ff\n",
                 "Reader count  : -1\nReader partno : ", "2106 00 128"},
        // The delays are known to the menu even where the mode hides them.
        InfoCase{"KeyboardLinesOnlyInKeyboardMode", "param USBMODE 3\nparam KBDPRESSDLY 5\n",
                 "USB op. mode  : USB serial\nReader type|!USB kbd", "kbd=1 km=1"},
        InfoCase{"KmModeLineOnlyInKmMode", "param USBMODE 2\nparam KMMODE 1\n",
                 "USB op. mode  : USB KM reader\nKM mode       : 1\nReader type"},
        InfoCase{"MissingKeyboardLayoutStillCountsDelaysAsKnown",
                 "param USBMODE 1\nnoparam KBDLAYOUT\n",
                 "USB kbd params: 0 ms press, 0 ms release\nReader type", "kbd=1"},
        InfoCase{"MissingReleaseDelayLeavesDelaysUnknown",
                 "param USBMODE 1\nnoparam KBDRELEASEDLY\n",
                 "USB op. mode  : USB keyboard\nReader type", "!KBDLAYOUT|kbd=0"},
        InfoCase{"UnknownNumbersAreShownAsUnknown",
                 "param USBMODE 8\nparam DEBUG 5\nparam SERVICE_STATUS 0\nparam SOUND 0\n",
                 "Servicefw stat: Damaged\nUSB op. mode  : Unknown (8)\n|Debug mode    : Unknown "
                 "(5)\nSound         : Enabled\n",
                 "mode=8 "},
        InfoCase{"PlainProtocolIsShownAsReceivedWithoutChecksum",
                 "param READERPROTOCOL \" 12abc\"\n", "Reader proto  :  12abc\nDebug mode",
                 "!RDRCFG_CSUM|protocol=12 "},
        InfoCase{"ShortModuleDescriptionPrintsEveryLabelledLine",
                 "module_desc \"P-9\\n\\nOnly descr\"\n",
                 "Reader partno : P-9\nReader descr. : Only descr\nReader auto   : \nReader proto. "
                 ": \nReader featur.: \nReader info   : \nReader status : "},
        InfoCase{"EmptyModuleDescriptionPrintsEmptyLabelledLines", "fn 2104 out r\"\"\n",
                 "Reader count  : 1\nReader partno : \nReader descr. : \nReader auto   : \nReader "
                 "proto. : \nReader featur.: \nReader info   : \nReader status : "},
        // 256 bytes without a NUL fill the whole output; nothing past them
        // may be printed.
        InfoCase{"TextsWithoutTerminatorShowWhatWasReceived",
                 "lib_version rep:256:41\nstatus_message r\"No NUL\"\n",
                 "LibReader ver.: " + std::string(256, 'A') +
                     "\nReader count|Status message: " + pad64("No NUL") + "\n"},
        InfoCase{"RecordTextFieldsStopAtTheirFieldSize",
                 "fn 2106 out " + record_without_nuls() + "\n",
                 "Embedded reader information:\nPCB ver.(type): 1.2.3 (200)\nFeatures      : "
                 "04030201\nSerial no.    : " +
                     std::string(32, 'S') + "\nPartnumber    : " + std::string(20, 'P') +
                     "\nManf. date    : Tue Oct  2 07:06:40 2096\nReader SW ver.: 1.0.0\nReq lib "
                     "ver.  : Not applicable\n\n"},
        // 16 bytes: the serial number field holds "ABCDE" without its NUL.
        InfoCase{"ShortRecordShowsOnlyWhatArrived",
                 "fn 2106 out x:00010203040000000000004142434445\n",
                 "PCB ver.(type): 1.2.3 (4)\nFeatures      : 00000000\nSerial no.    : "
                 "ABCDE\nPartnumber    : \n"},
        InfoCase{"EmptyRecordFailsTheReport", "fn 2106 out r\"\"\n",
                 "Reader count  : 1\n|Embedded reader information:\nFAILED\n"},
        InfoCase{"UnrepresentableDateShowsFailed", "param HWCFG_MAN_DATE 9000000000000000000\n",
                 "Manuf. date   : FAILED\n\nCard reader information:"},
        // 10000-01-01: the 24-character form has no room for a fifth digit.
        InfoCase{"DateBeyondYear9999ShowsFailed", "param HWCFG_MAN_DATE 253402300800\n",
                 "Manuf. date   : FAILED\n"},
        // 255 digits leave no room for the dot: the minor number is not
        // asked; after 254 and the dot it is asked with room for the NUL.
        InfoCase{"HardwareVersionThatFillsTheBufferFailsWithoutOverrun",
                 "param HWCFG_MAJOR rep:255:31\n", "HW version    : FAILED\n", "!HWCFG_MINOR"},
        InfoCase{"HardwareVersionWithNoRoomLeftForTheNextNumberFails",
                 "param HWCFG_MAJOR rep:254:31\n", "HW version    : FAILED\n",
                 "504 HWCFG_MINOR 1\n"}),
    case_name<InfoCase>);

} // namespace
