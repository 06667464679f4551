// SPDX-License-Identifier: GPL-2.0-or-later
// The reader information report shown above the configuration menu.
#pragma once

#include <cstdint>

struct Reader;

// Values the last report could read, kept for the configuration menu's
// questions. A failed read leaves the previous value (possibly from another
// reader, as the menu keeps one record for its whole session); the two flags
// are set by every report.
struct ReportedConfig {
    int32_t usb_mode = 0;
    int32_t reader_type = 0;
    int32_t reader_protocol = 0;
    int32_t kbd_params_known = 0; // KBDPRESSDLY and KBDRELEASEDLY both readable
    int32_t km_mode_known = 0;    // KMMODE readable
};

inline constexpr int32_t PROTOCOL_USER_CONFIG = 999; // a custom configuration is loaded

// Prints the whole report of an open reader on standard output and updates
// *reported. 0; when the module record cannot be read, "FAILED" ends
// the report and the function's result is returned (PARAM_NOT_DELIVERED
// when the reader answered 0 without any record bytes). Every other failed
// read shows as "FAILED" (or "None") on its own line. Main thread; no lock.
int32_t reader_print_info(Reader* reader, ReportedConfig* reported);
