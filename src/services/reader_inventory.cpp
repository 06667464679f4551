// SPDX-License-Identifier: GPL-2.0-or-later
#include "services/reader_inventory.h"

#include <string_view>

#include "base/text.h"
#include "link/link_result.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

// A read's result; the first one that tells of a broken link (rather than
// the reader's own refusal) is kept.
int32_t note(ReaderInventory* inventory, uint16_t function, int32_t result) {
    const bool broken = result == LINK_ERROR || result == LINK_TIMEOUT || result == LINK_IO_ERROR;
    if (broken && inventory->link_failure == 0) {
        inventory->link_failure = result;
        inventory->link_failure_function = function;
    }
    return result;
}

bool read_param(Reader* reader, ReaderInventory* inventory, const char* key, std::string* out) {
    char value[PARAM_VALUE_SIZE];
    if (note(inventory, FN_GET_PARAM, reader_get_param(reader, key, value, sizeof value)) != 0)
        return false;
    *out = value;
    return true;
}

void read_params(Reader* reader, ReaderInventory* inv) {
    std::string value, minor, sub;
    read_param(reader, inv, PARAM_FWVERSION, &inv->firmware);
    read_param(reader, inv, PARAM_SERVICE_VER, &inv->service_firmware);
    if (read_param(reader, inv, PARAM_SERVICE_STATUS, &value))
        inv->service_status = text_number(value.c_str()) != 0 ? "ok" : "damaged";
    if (read_param(reader, inv, PARAM_USBMODE, &value))
        inv->usb_mode = std::to_string(text_number(value.c_str()));
    read_param(reader, inv, PARAM_READERPROTOCOL, &inv->protocol);
    if (read_param(reader, inv, PARAM_HWCFG_MAJOR, &value) &&
        read_param(reader, inv, PARAM_HWCFG_MINOR, &minor) &&
        read_param(reader, inv, PARAM_HWCFG_SUBVERSION, &sub))
        inv->hardware = value + "." + minor + "." + sub;
    read_param(reader, inv, PARAM_HWCFG_SERIAL, &inv->hardware_serial);
}

void read_module(Reader* reader, ReaderInventory* inv) {
    char text[MODULE_DESCRIPTION_BYTES + 1];
    if (note(inv, FN_MODULE_DESCRIPTION, reader_module_description(reader, text)) == 0) {
        std::string_view rest = text;
        inv->module_part = module_description_line(&rest);
    }
    uint8_t record[MODULE_RECORD_BYTES];
    int32_t delivered = 0;
    if (note(inv, FN_MODULE_RECORD, reader_module_record(reader, record, &delivered)) != 0) return;
    const uint8_t* v = record + RECORD_SW_VERSION;
    if (v[0] != 0 || v[1] != 0 || v[2] != 0)
        inv->module_firmware =
            std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
    char serial[RECORD_SERIAL_BYTES + 1];
    module_record_text(serial, record, delivered, RECORD_SERIAL, RECORD_SERIAL_BYTES);
    inv->module_serial = serial;
}

} // namespace

void reader_inventory_read(Reader* reader, ReaderInventory* inv) {
    read_params(reader, inv);
    char text[FUNCTION_TEXT_CAPACITY + 1];
    if (note(inv, FN_LIB_VERSION, reader_function_text(reader, FN_LIB_VERSION, text)) == 0)
        inv->library = text;
    int8_t count = 0;
    if (note(inv, FN_MODULE_COUNT, reader_module_count(reader, &count)) == 0 && count != 0)
        read_module(reader, inv);
    int32_t code = 0;
    if (note(inv, FN_GET_STATUS, reader_status_code(reader, &code)) == 0)
        inv->status = reader_status_text(code);
}
