// What the emulated reader firmware knows: function codes, its own result
// codes, and the USB personalities it can take.
#pragma once

#include <cstdint>

namespace emu::detail {

enum FunctionCode : uint16_t {
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

// Results the emulated firmware gives.
constexpr int32_t RDR_OK = 0;
constexpr int32_t RDR_UNKNOWN_PARAM = -2;    // FN_GET_PARAM: no such key
constexpr int32_t RDR_WRONG_FIRMWARE = -4;   // image sent to the wrong firmware
constexpr int32_t RDR_UNKNOWN_FUNCTION = -6; // no such function
constexpr int32_t RDR_SEQUENCE_ERROR = -13;  // Extfw sequence out of order
constexpr int32_t RDR_NO_CARD = -20;         // FN_CARD_QUERY/DETAIL without a card
constexpr int32_t RDR_BAD_INPUT = -22;       // input of the wrong size or form
constexpr int32_t RDR_BUSY = -25;
constexpr int32_t EXTFW_NOT_NEEDED = 1; // FN_EXTFW_CHECK result: module is current

constexpr uint16_t PRODUCT_SERVICE = 0x0200;
constexpr int SERVICE_INTERFACE = 0;

// One USB personality: product ID, the interface of the configuration link
// and the USBMODE number that selects it (-1 when no USBMODE value does).
struct Personality {
    uint16_t product;
    int interface_number;
    int usb_mode;
    const char* name;
};

// Product ID -> personality; nullptr for products the firmware never takes.
const Personality* find_personality(uint16_t product);
// USBMODE value -> personality; nullptr when the value selects none.
const Personality* personality_for_mode(int usb_mode);

} // namespace emu::detail
