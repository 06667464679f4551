// SPDX-License-Identifier: GPL-2.0-or-later
// What a reader tells of itself for an inventory of the bench: versions,
// settings, hardware and module, read without writing anything to it.
#pragma once

#include <cstdint>
#include <string>

struct Reader;

// Each value as the reader sent it (not yet made safe to show); empty when
// the reader did not give it: a failed read, a reader in its service
// firmware, no module.
struct ReaderInventory {
    std::string firmware;         // FWVERSION
    std::string service_firmware; // SERVICE_VER
    std::string service_status;   // "ok" or "damaged", from SERVICE_STATUS
    std::string usb_mode;         // USBMODE as a number
    std::string protocol;         // READERPROTOCOL as sent
    std::string hardware;         // HWCFG_MAJOR.HWCFG_MINOR.HWCFG_SUBVERSION
    std::string hardware_serial;  // HWCFG_SERIAL
    std::string library;          // function 2000's text
    std::string module_part;      // first line of function 2104's text
    std::string module_firmware;  // module record bytes 67-69 as A.B.C
    std::string module_serial;    // module record's serial number
    std::string status;           // function 2107's code as its status text
    // The first read the link could not carry (no answer, a USB failure),
    // with its function; 0 when every read got the reader's answer.
    int32_t link_failure = 0;
    uint16_t link_failure_function = 0;
};

// Asks the open reader for every value. A failed read leaves its value
// empty and never stops the others. Never fails.
void reader_inventory_read(Reader* reader, ReaderInventory* inventory);
