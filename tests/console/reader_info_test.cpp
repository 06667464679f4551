// SPDX-License-Identifier: GPL-2.0-or-later
// The reader information report: every line as the reader's answers make it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "console/reader_info.h"
#include "console_rig.h"
#include "link/reader_link.h"
#include "support/capture.h"

namespace {

const auto pad64 = [](const std::string& s) { return s + std::string(64 - s.size(), ' '); };

// One serial reader (serial number S) with the scenario's answers: the
// report it prints (expect_texts), and probes over the reader's wire_words() followed by
// what the report kept for the configuration menu and its result.
struct InfoCase {
    const char* name;
    std::string scenario;
    std::string shown;
    std::string asked = {};
};

class ReportLines : public ConsoleTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ReportLines, AreShown) {
    const InfoCase& c = GetParam();
    load("device r 0x0204\nserial S\n" + c.scenario);
    Reader* r = reader_first();
    ASSERT_EQ(reader_open(r), 0);
    // What an earlier report kept; a value this one cannot read stays.
    ReportedConfig reported = {7, 51, 4, 1, 1};
    FdCapture out(1);
    const int32_t result = reader_print_info(r, &reported);
    const std::string text = out.finish();
    reader_close(r);
    expect_texts(text, c.shown);
    EXPECT_EQ(result < 0, text.ends_with("\nEmbedded reader information:\nFAILED\n")) << result;
    const ReportedConfig& k = reported;
    char kept[128];
    std::snprintf(kept, sizeof kept, " mode=%d type=%d protocol=%d kbd=%d km=%d result=%d",
                  k.usb_mode, k.reader_type, k.reader_protocol, k.kbd_params_known, k.km_mode_known,
                  result);
    expect_texts(wire_words("r") + kept, c.asked);
    // Nothing the reader sent reaches the terminal as a control character:
    // no C0 but the report's own line ends, no DEL, no C1 (8-bit or UTF-8).
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        EXPECT_FALSE((b < 0x20 && b != '\n') || b == 0x7F ||
                     (b >= 0x80 && b <= 0x9F && (i == 0 || text[i - 1] != '\xc3')))
            << "byte " << int(b) << " at " << i;
    }
}

// A text for a reader text field of each kind: parameter, hardware version,
// function output, module description and record; each control becomes one
// '?', other UTF-8 stays.
const std::string EVIL = R"(r"A\x1b]0;owned\x07B\x1b[2J\x08\x7f\x9b\xc2\x9bC\r\xc3\xa9\x00")";

const InfoCase INFO_CASES[] = {
    {"FullReport",
     "param USBMODE 1\nparam KBDPRESSDLY 65537\nparam KBDRELEASEDLY 20\nparam KBDLAYOUT 1\n"
     "param READERPROTOCOL 999\nparam RDRCFG_CSUM 3F2A\nparam DEBUG 2\nparam SOUND 1\n"
     "lib_version \"LibReader 3.5.1\"\nstatus 6\nstatus_message \"Update pending\"\n"
     "module_desc \"P-1\\nDescr\\n\\nauto\\nISO\\nfeat\\ninfo1\\ninfo2\\n\\n\"\n",
     "=USB Reader information:\nUsb reader    : USB reader v2/v3 (usb serial class)\n"
     "Serial no.    : S\nFirmware ver. : 2.14.0\nServicefw ver.: 1.0.3\n"
     "Servicefw stat: OK\nUSB op. mode  : USB keyboard\n"
     "USB kbd params: 1 ms press, 20 ms release\nUSB kbd layout: 1\n"
     "Reader type   : 50\nReader proto  : User configuration\n"
     "User cfg csum : 3F2A\nDebug mode    : debug\nSound         : Disabled\n\n"
     "Hardware information:\nHW version    : 3.1.0\nSerial number : HWS\n"
     "Manuf. date   : Tue Nov 14 22:13:20 2023\n\nCard reader information:\n"
     "LibReader ver.: LibReader 3.5.1\nReader count  : 1\nReader partno : P-1\n"
     "Reader descr. : Descr\nReader auto   : auto\nReader proto. : ISO\n"
     "Reader featur.: feat\nReader info   : info1\n                info2\n"
     "Reader status : " +
         pad64("reader firmware update needed") + "\nStatus message: " + pad64("Update pending") +
         "\n\nEmbedded reader information:\nPCB ver.(type): 2.1.0 (4)\n"
         "Features      : 00000013\nSerial no.    : M0000001\nPartnumber    : ICM-7720-01\n"
         "Manf. date    : Tue Nov 14 22:13:20 2023\nReader SW ver.: 1.4.2\n"
         "Req lib ver.  : 3.4.0\n\n",
     // What the report asks, in order; the hardware version is
     // read into what is left of one buffer after "2." and "2.1.".
     "FWVERSION SERVICE_VER SERVICE_STATUS USBMODE KBDPRESSDLY KBDRELEASEDLY "
     "KBDLAYOUT KMMODE READER READERPROTOCOL RDRCFG_CSUM DEBUG SOUND HWCFG_MAJOR "
     "HWCFG_MINOR/254 HWCFG_SUBVERSION/252 HWCFG_SERIAL HWCFG_MAN_DATE 2000 2103/1 "
     "2104:00 2107/4 13 2106:00/128 mode=1 type=50 protocol=999 kbd=1 km=1 result=0"},
    {"FailedReadsShowFailedAndTheRecordFailureEndsTheReport",
     "noparam FWVERSION\nnoparam SERVICE_STATUS\nnoparam USBMODE\n"
     "noparam KBDRELEASEDLY\nnoparam KMMODE\nnoparam READER\n"
     "param READERPROTOCOL 999\nnoparam RDRCFG_CSUM\nnoparam DEBUG\nnoparam SOUND\n"
     "noparam HWCFG_MINOR\nnoparam HWCFG_SERIAL\nnoparam HWCFG_MAN_DATE\n"
     "fn 2000 result -6\nfn 2104 result -6\nfn 2107 result -110\nfn 13 result -6\n"
     "fn 2106 result -22\n",
     // Each line whose read failed says so; a service firmware
     // version read, a missing status message, no keyboard lines.
     "13*: FAILED\n|Servicefw ver.: 1.0.3\n|Reader proto  : User configuration\n"
     "User cfg csum : FAILED\n|Reader count  : 1\nReader partno : FAILED\n"
     "|Status message: None\n\nEmbedded reader information:\nFAILED\n|!USB kbd|!KM mode",
     // No layout is asked when a delay cannot be read.
     "!KBDLAYOUT|mode=7 type=51 protocol=999 kbd=0 km=0 result=-22"},
    // A refusal with CTL_ERROR 0 sends no value: nothing of the buffer
    // it would have filled may be shown or kept.
    {"ParameterRequestsRefusedWithZeroShowFailed", "fn 504 reqerror 0\n", "11*: FAILED\n",
     "mode=7 type=51 protocol=4 kbd=0 km=0"},
    {"ReaderTextsCannotDriveTheTerminal",
     "param FWVERSION " + EVIL + "\nparam HWCFG_MAJOR " + EVIL + "\nlib_version " + EVIL +
         "\nmodule_desc " + EVIL + "\nmodule_record serial \x1b[2Jx part \x1b]0;y\n",
     "Firmware ver. : A?]0;owned?B?[2J????C?\xc3\xa9\n"},
    {"NoModuleShowsNoReaderDetected", "module_count 0\n",
     "Reader count  : 0\nReader status : " + pad64("reader operating ok") +
         "\nStatus message: " + pad64("Reader ready") +
         "\n\nEmbedded reader information:\nNO READER DETECTED\n\n|!Reader partno",
     "!2104|!2106"},
    {"NegativeModuleCountStillDescribesTheModule", "fn 2103 out x:ff\n",
     "Reader count  : -1\nReader partno : ", "2106:00/128"},
    // The delays are known to the menu even where the mode hides them.
    {"KmModeShowsItsLineAndNoKeyboardLines", "param USBMODE 2\nparam KMMODE 1\n",
     "USB op. mode  : USB KM reader\nKM mode       : 1\nReader type|!USB kbd", "kbd=1 km=1"},
    {"MissingKeyboardLayoutStillCountsDelaysAsKnown", "param USBMODE 1\nnoparam KBDLAYOUT\n",
     "USB kbd params: 0 ms press, 0 ms release\nReader type", "kbd=1"},
    {"MissingReleaseDelayLeavesDelaysUnknown", "param USBMODE 1\nnoparam KBDRELEASEDLY\n",
     "USB op. mode  : USB keyboard\nReader type", "!KBDLAYOUT|kbd=0"},
    {"UnknownNumbersAreShownAsUnknown",
     "param USBMODE 8\nparam DEBUG 5\nparam SERVICE_STATUS 0\nparam SOUND 0\n",
     "Servicefw stat: Damaged\nUSB op. mode  : Unknown (8)\n"
     "|Debug mode    : Unknown (5)\nSound         : Enabled\n",
     "mode=8 "},
    {"PlainProtocolIsShownAsReceivedWithoutChecksum", "param READERPROTOCOL \" 12abc\"\n",
     "Reader proto  :  12abc\nDebug mode", "!RDRCFG_CSUM|protocol=12 "},
    {"EmptyModuleDescriptionPrintsEmptyLabelledLines", "fn 2104 out r\"\"\n",
     "Reader count  : 1\nReader partno : \nReader descr. : \nReader auto   : \n"
     "Reader proto. : \nReader featur.: \nReader info   : \nReader status : "},
    // 256 bytes without a NUL fill the whole output; nothing past them
    // may be printed.
    {"TextsWithoutTerminatorShowWhatWasReceived",
     "lib_version rep:256:41\nstatus_message r\"No NUL\"\n",
     "LibReader ver.: " + std::string(256, 'A') +
         "\nReader count|Status message: " + pad64("No NUL") + "\n"},
    // 128 bytes whose serial and part number fields (0x44 'D', 0x55 'U')
    // carry no NUL; features 0x04030201 little-endian; the date
    // 4000000000 is beyond a signed 32-bit number.
    {"RecordTextFieldsStopAtTheirFieldSize",
     "fn 2106 out x:00010203c8010203040000" + std::string(64, '4') + std::string(40, '5') +
         "ee6b280001" + std::string(120, '0') + "\n",
     "Embedded reader information:\nPCB ver.(type): 1.2.3 (200)\n"
     "Features      : 04030201\nSerial no.    : " +
         std::string(32, 'D') + "\nPartnumber    : " + std::string(20, 'U') +
         "\nManf. date    : Tue Oct  2 07:06:40 2096\nReader SW ver.: 1.0.0\n"
         "Req lib ver.  : Not applicable\n\n"},
    // 16 bytes: the serial number field holds "ABCDE" without its NUL.
    {"ShortRecordShowsOnlyWhatArrived", "fn 2106 out x:00010203040000000000004142434445\n",
     "PCB ver.(type): 1.2.3 (4)\nFeatures      : 00000000\n"
     "Serial no.    : ABCDE\nPartnumber    : \n"},
    {"EmptyRecordFailsTheReport", "fn 2106 out r\"\"\n",
     "Reader count  : 1\n|Embedded reader information:\nFAILED\n", "result=-1001"},
    // 10000-01-01: the 24-character form of a date has no room for a
    // fifth digit.
    {"DateBeyondYear9999ShowsFailed", "param HWCFG_MAN_DATE 253402300800\n",
     "Manuf. date   : FAILED\n"},
    // 255 digits leave no room for the dot: the minor number is not
    // asked; after 254 and the dot it is asked with room for the NUL.
    {"HardwareVersionThatFillsTheBufferFailsWithoutOverrun", "param HWCFG_MAJOR rep:255:31\n",
     "HW version    : FAILED\n", "!HWCFG_MINOR"},
    {"HardwareVersionWithNoRoomLeftForTheNextNumberFails", "param HWCFG_MAJOR rep:254:31\n",
     "HW version    : FAILED\n", "HWCFG_MINOR/1 "}};

TABLE_TEST(Answers, ReportLines, INFO_CASES);

} // namespace
