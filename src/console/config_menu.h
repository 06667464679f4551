// SPDX-License-Identifier: GPL-2.0-or-later
// The configuration menu of one reader: collects changes, writes them on
// "save" and restarts the reader.
#pragma once

#include <cstdint>

struct Reader;
struct ReportedConfig;

// Changes collected during one config_menu call; nothing reaches the reader
// before the operator saves.
struct PendingConfig {
    int32_t restore_defaults;
    int32_t usb_mode_chosen;
    int32_t usb_mode;
    int32_t key_press_delay_ms;   // 0 = the reader's default; sent with USB mode 1
    int32_t key_release_delay_ms; // 0 = the reader's default; sent with USB mode 1
    int32_t keyboard_layout;      // 0 = default numpad, 1 = US; sent with USB mode 1
    int32_t km_mode_chosen;       // stays set when another USB mode is chosen later
    int32_t km_mode;
    int32_t protocol_chosen;
    int32_t protocol;
    int32_t debug_chosen;
    int32_t debug_mode;
    int32_t sound_chosen;
    int32_t sound_mode; // as the operator chose it: 0 disabled, 1 enabled
    int32_t applied;    // at least one write was accepted while saving
};

inline constexpr int RESTART_WAIT_MS = 3000; // after the reset that follows an accepted write

// Opens reader (which must be closed), shows the report and the menu, and on
// "99" writes the pending changes in a fixed order and restarts the reader
// if one was accepted; "100" or the end of standard input leaves without
// writing. Closes the reader again. *reported is what the report read last,
// kept by the caller from one reader's menu to the next. Never fails: every
// failure is reported on standard output. Main thread; no lock held.
void config_menu(Reader* reader, ReportedConfig* reported);

// Writes the pending changes to the open reader in the fixed order, then
// restarts it and waits when pending->applied got set; the keyboard options
// go only where reported knew them. Does not close it. 0 when every write
// was accepted, else the last failing result.
int32_t config_save(Reader* reader, PendingConfig* pending, const ReportedConfig& reported);
