// SPDX-License-Identifier: GPL-2.0-or-later
// The catalogue of reader functions and parameters, and the small
// operations built directly on the CTL exchange.
#pragma once

#include <cstdint>
#include <string_view>

struct Reader;

enum ReaderFunction : uint16_t {
    FN_STATUS_MESSAGE = 13,
    FN_GET_LOG = 501,
    FN_SET_CONFIG = 502,
    FN_GET_CONFIG = 503,
    FN_GET_PARAM = 504,
    FN_SET_DEFAULTS = 505,
    FN_RESET = 506,
    FN_UPDATE_FIRMWARE = 510,
    FN_ENTER_SERVICE = 511,
    FN_UPDATE_SERVICE_FIRMWARE = 512,
    FN_REGISTER_CALLBACK = 530,
    FN_EXTFW_START = 535,
    FN_EXTFW_DATA = 536,
    FN_EXTFW_FINISH = 537,
    FN_TEST_CARD_DONE = 542,
    FN_TEST_WAIT_CARD = 562,
    FN_TEST_CARD_OK = 563,
    FN_TEST_CARD_BAD = 564,
    FN_CARD_QUERY = 600,
    FN_CARD_DETAIL = 601,
    FN_EXTFW_CHECK = 1500,
    FN_LIB_VERSION = 2000,
    FN_GET_FEATURES = 2100,
    FN_MODULE_COUNT = 2103,
    FN_MODULE_DESCRIPTION = 2104,
    FN_MODULE_RECORD = 2106,
    FN_GET_STATUS = 2107,
    FN_SET_CUSTOM_CONFIG = 2403,
};

// Results the reader gives that the program acts upon.
inline constexpr int32_t RDR_BUSY = -25;
inline constexpr int32_t RDR_SEQUENCE_ERROR = -13;
// reader_get_param: the reader answered 0 but delivered no value (it did not
// fit the capacity, or came empty).
inline constexpr int32_t PARAM_NOT_DELIVERED = -1001;

// Values of USBMODE: the personality the reader runs, numbered as the model
// rows' mode.
inline constexpr int32_t USB_MODE_KEYBOARD = 1;
inline constexpr int32_t USB_MODE_KM = 2;
inline constexpr int32_t USB_MODE_CCID = 5;
inline constexpr int32_t USB_MODE_FX_EPA = 6;

// Every USBMODE value with its name, in the order the report and the
// configuration menu list them. FX EPA is a hardware build of its own:
// no reader is switched to it.
struct UsbMode {
    int32_t mode;
    const char* name;
    bool selectable; // the configuration menu offers it
};
inline constexpr UsbMode USB_MODES[] = {
    {USB_MODE_KEYBOARD, "USB keyboard", true},
    {USB_MODE_KM, "USB KM reader", true},
    {3, "USB serial", true},
    {4, "USB SHARP", true},
    {USB_MODE_CCID, "USB CCID", true},
    {USB_MODE_FX_EPA, "FX EPA", false},
    {7, "USB HP", true},
    {10, "USB HIDRAW", true},
};

inline constexpr int PARAM_VALUE_SIZE = 256;
inline constexpr int MODULE_DESCRIPTION_BYTES = 256; // capacity asked of function 2104
inline constexpr int SET_PARAM_CAPACITY = 255;

// Parameter keys.
inline constexpr const char* PARAM_FWVERSION = "FWVERSION";
inline constexpr const char* PARAM_SERVICE_VER = "SERVICE_VER";
inline constexpr const char* PARAM_SERVICE_STATUS = "SERVICE_STATUS";
inline constexpr const char* PARAM_USBMODE = "USBMODE";
inline constexpr const char* PARAM_KBDPRESSDLY = "KBDPRESSDLY";
inline constexpr const char* PARAM_KBDRELEASEDLY = "KBDRELEASEDLY";
inline constexpr const char* PARAM_KBDLAYOUT = "KBDLAYOUT";
inline constexpr const char* PARAM_KMMODE = "KMMODE";
inline constexpr const char* PARAM_READER = "READER";
inline constexpr const char* PARAM_READERPROTOCOL = "READERPROTOCOL";
inline constexpr const char* PARAM_READERPROTOCOLTMP = "READERPROTOCOLTMP";
inline constexpr const char* PARAM_RDRNEEDRESTART = "RDRNEEDRESTART";
inline constexpr const char* PARAM_RDRCFG_CSUM = "RDRCFG_CSUM";
inline constexpr const char* PARAM_DEBUG = "DEBUG";
inline constexpr const char* PARAM_SOUND = "SOUND";
inline constexpr const char* PARAM_HWCFG_MAJOR = "HWCFG_MAJOR";
inline constexpr const char* PARAM_HWCFG_MINOR = "HWCFG_MINOR";
inline constexpr const char* PARAM_HWCFG_SUBVERSION = "HWCFG_SUBVERSION";
inline constexpr const char* PARAM_HWCFG_SERIAL = "HWCFG_SERIAL";
inline constexpr const char* PARAM_HWCFG_MAN_DATE = "HWCFG_MAN_DATE";

// Reads parameter key into out (capacity bytes). 0 when a value was
// delivered; out then holds it, always terminated within capacity. A
// nonzero reader result or link failure is returned unchanged (out
// untouched); PARAM_NOT_DELIVERED when the reader answered 0 without a value.
int32_t reader_get_param(Reader* reader, const char* key, char* out, int32_t capacity);
// Sends "KEY=VALUE" with its NUL (function 502, output capacity 255,
// discarded). Returns the reader's result.
int32_t reader_set_param(Reader* reader, const char* assignment);
// Function 506: the reader restarts. Returns the reader's result.
int32_t reader_reset(Reader* reader);
// Function 530 with 00 00 00 00, first, second (big-endian).
int32_t reader_register_callback(Reader* reader, uint16_t first, uint16_t second);

// Function 2103: the number of card reader modules (a signed byte) in
// *count. 0; the reader's failing result; PARAM_NOT_DELIVERED when it
// answered 0 without the byte.
int32_t reader_module_count(Reader* reader, int8_t* count);
// Function 2104 for module 0: its description as received, up to its first
// NUL, terminated even when the reader sent none (empty when it sent
// nothing). 0, or the failing result.
int32_t reader_module_description(Reader* reader, char (&text)[MODULE_DESCRIPTION_BYTES + 1]);
// The next line of a module description (part number, description,
// automatic mode, protocol, features, information, more information): runs
// of line ends count as one, so blank lines never shift the fields. Moves
// *rest past it; empty once the text is used up.
std::string_view module_description_line(std::string_view* rest);

inline constexpr int FUNCTION_TEXT_CAPACITY = 256;
// A function whose output is text (13, 2000): what was received, up to its
// first NUL, terminated even when the reader sent none. 0, or the failing
// result.
int32_t reader_function_text(Reader* reader, uint16_t function,
                             char (&text)[FUNCTION_TEXT_CAPACITY + 1]);

// The module record (function 2106); the feature word is its one
// little-endian number.
inline constexpr int MODULE_RECORD_BYTES = 128;
inline constexpr int RECORD_PCB_MAJOR = 1;
inline constexpr int RECORD_PCB_TYPE = 4;
inline constexpr int RECORD_FEATURES = 5;
inline constexpr int RECORD_SERIAL = 11;
inline constexpr int RECORD_SERIAL_BYTES = 32;
inline constexpr int RECORD_PART_NUMBER = 43;
inline constexpr int RECORD_PART_NUMBER_BYTES = 20;
inline constexpr int RECORD_DATE = 63;
inline constexpr int RECORD_SW_VERSION = 67;
inline constexpr int RECORD_LIB_VERSION = 70;
// Function 2106 for module 0 into record, zero-filled first so that a short
// record shows zeros in the fields the reader did not send; *delivered is
// what arrived. 0; the failing result; PARAM_NOT_DELIVERED when the reader
// answered 0 without any byte.
int32_t reader_module_record(Reader* reader, uint8_t (&record)[MODULE_RECORD_BYTES],
                             int32_t* delivered);
// A text field of the record: no more than the field holds and the reader
// sent, up to its NUL, terminated in text (field_bytes + 1 bytes).
void module_record_text(char* text, const uint8_t* record, int32_t delivered, int offset,
                        int field_bytes);
