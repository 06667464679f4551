// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/config_menu.h"

#include <cstdio>
#include <cstring>

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "base/term.h"
#include "base/text.h"
#include "console/console_input.h"
#include "console/reader_info.h"
#include "discovery/reader_list.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"

namespace {

constexpr int32_t CHOICE_DEFAULTS = 1;
constexpr int32_t CHOICE_USB_MODE = 2;
constexpr int32_t CHOICE_PROTOCOL = 3;
constexpr int32_t CHOICE_DEBUG = 4;
constexpr int32_t CHOICE_SOUND = 5;
constexpr int32_t CHOICE_SAVE = 99;
constexpr int32_t CHOICE_LEAVE = 100;
constexpr int32_t CHOICE_NONE = -1;

constexpr int DEFAULTS_CAPACITY = 256;
constexpr int ASSIGNMENT_SIZE = 48;
constexpr int QUESTION_SIZE = 160; // holds the USB mode question with every personality

// Reader module types whose firmware offers the CCID personality.
constexpr int32_t READER_TYPE_CCID_A = 50;
constexpr int32_t READER_TYPE_CCID_B = 74;

constexpr const char* VALUE_OK = "Value OK, it will be set after config save";
constexpr const char* INVALID_VALUE = "Invalid value";

bool reader_offers_ccid(const ReportedConfig& reported) {
    return reported.reader_type == READER_TYPE_CCID_A || reported.reader_type == READER_TYPE_CCID_B;
}

// The personalities an operator may choose: CCID only where the module
// offers it.
bool usb_mode_offered(const UsbMode& m, const ReportedConfig& reported) {
    return m.selectable && (m.mode != USB_MODE_CCID || reader_offers_ccid(reported));
}

bool usb_mode_valid(int32_t mode, const ReportedConfig& reported) {
    for (const UsbMode& m : USB_MODES)
        if (m.mode == mode) return usb_mode_offered(m, reported);
    return false;
}

// "USB mode (1=USB keyboard, ...): " with the personalities offered.
void usb_mode_question(char (&question)[QUESTION_SIZE], const ReportedConfig& reported) {
    snprintf(question, sizeof question, "USB mode (");
    const char* separator = "";
    for (const UsbMode& m : USB_MODES) {
        if (!usb_mode_offered(m, reported)) continue;
        const size_t used = strlen(question);
        snprintf(question + used, sizeof question - used, "%s%d=%s", separator, m.mode, m.name);
        separator = ", ";
    }
    strncat(question, "): ", sizeof question - strlen(question) - 1);
}

void draw_screen(Reader* reader, ReportedConfig* reported) {
    term_clear();
    reader_print_info(reader, reported);
    puts("Select action:");
    puts("1) set config to defaults");
    if (reported->usb_mode != USB_MODE_FX_EPA) puts("2) set USB mode");
    puts("3) set card reader protocol");
    puts("4) set debug mode");
    puts("5) set sound mode");
    puts("99) save config and exit");
    puts("100) exit without saving");
    puts("");
}

// The menu number; CHOICE_NONE for a line without characters, or
// CONSOLE_INPUT_ENDED.
int32_t read_choice(int32_t* choice) {
    char line[CONSOLE_LINE_SIZE];
    fputs("Enter number: ", stdout);
    if (console_read_line(line) < 0) return CONSOLE_INPUT_ENDED;
    *choice = line[0] == '\0' ? CHOICE_NONE : text_number(line);
    return 0;
}

int32_t dialog_defaults(PendingConfig* pending) {
    puts("Defaults will be set after config save");
    pending->restore_defaults = 1;
    return console_wait_enter();
}

int32_t ask_keyboard_options(PendingConfig* pending) {
    if (console_ask_number("USB key press delay (in ms) (0=default): ",
                           &pending->key_press_delay_ms) < 0 ||
        console_ask_number("USB key release delay (in ms) (0=default): ",
                           &pending->key_release_delay_ms) < 0 ||
        console_ask_number("USB keyboard layout (0=default numpad, 1=US): ",
                           &pending->keyboard_layout) < 0)
        return CONSOLE_INPUT_ENDED;
    return 0;
}

int32_t dialog_usb_mode(PendingConfig* pending, const ReportedConfig& reported) {
    int32_t mode = 0;
    char question[QUESTION_SIZE];
    usb_mode_question(question, reported);
    if (console_ask_number(question, &mode) < 0) return CONSOLE_INPUT_ENDED;
    if (!usb_mode_valid(mode, reported)) {
        puts(INVALID_VALUE);
        return console_wait_enter();
    }
    pending->usb_mode = mode;
    pending->usb_mode_chosen = 1;
    if (mode == USB_MODE_KEYBOARD && reported.kbd_params_known != 0) {
        if (ask_keyboard_options(pending) < 0) return CONSOLE_INPUT_ENDED;
    } else if (mode == USB_MODE_KM && reported.km_mode_known != 0) {
        if (console_ask_number("KM cardno mode (0=default, 1=AU201 compat): ", &pending->km_mode) <
            0)
            return CONSOLE_INPUT_ENDED;
        pending->km_mode_chosen = 1;
    }
    puts(VALUE_OK);
    return console_wait_enter();
}

// Changing the protocol of a reader that runs a user configuration erases
// that configuration, so the operator confirms first. 1 to go on, 0 not to,
// or CONSOLE_INPUT_ENDED.
int32_t confirm_protocol_change() {
    puts("\nReader protocol change will erase stored configuration.");
    char line[CONSOLE_LINE_SIZE];
    for (;;) {
        if (console_ask("Do you want to continue? (y/n):", line) < 0) return CONSOLE_INPUT_ENDED;
        if (line[0] == 'y') return 1;
        if (line[0] == 'n') return 0;
    }
}

int32_t dialog_protocol(PendingConfig* pending, const ReportedConfig& reported) {
    if (reported.reader_protocol == PROTOCOL_USER_CONFIG) {
        const int32_t go_on = confirm_protocol_change();
        if (go_on <= 0) return go_on;
    }
    if (console_ask_number("Reader protocol: ", &pending->protocol) < 0) return CONSOLE_INPUT_ENDED;
    pending->protocol_chosen = 1;
    puts(VALUE_OK);
    return console_wait_enter();
}

// A question whose answer must lie in [low, high]; stores it and sets *flag.
int32_t dialog_ranged(const char* question, int32_t low, int32_t high, int32_t* value,
                      int32_t* flag) {
    int32_t answer = 0;
    if (console_ask_number(question, &answer) < 0) return CONSOLE_INPUT_ENDED;
    if (answer >= low && answer <= high) {
        *value = answer;
        *flag = 1;
        puts(VALUE_OK);
    } else {
        puts(INVALID_VALUE);
    }
    return console_wait_enter();
}

// Runs the dialog of a menu choice. 1 when the choice opened a dialog (the
// screen is drawn again), 0 when it is no action, or CONSOLE_INPUT_ENDED.
int32_t run_choice(int32_t choice, PendingConfig* pending, const ReportedConfig& reported) {
    int32_t r;
    switch (choice) {
    case CHOICE_DEFAULTS:
        r = dialog_defaults(pending);
        break;
    case CHOICE_USB_MODE:
        if (reported.usb_mode == USB_MODE_FX_EPA) return 0;
        r = dialog_usb_mode(pending, reported);
        break;
    case CHOICE_PROTOCOL:
        r = dialog_protocol(pending, reported);
        break;
    case CHOICE_DEBUG:
        r = dialog_ranged("Debug mode (0=no log, 1=warn only, 2=debug): ", 0, 2,
                          &pending->debug_mode, &pending->debug_chosen);
        break;
    case CHOICE_SOUND:
        r = dialog_ranged("Sound mode (0=sound disabled, 1=sound enabled): ", 0, 1,
                          &pending->sound_mode, &pending->sound_chosen);
        break;
    default:
        return 0;
    }
    return r < 0 ? CONSOLE_INPUT_ENDED : 1;
}

// The menu loop. CHOICE_SAVE or CHOICE_LEAVE; the end of input counts as
// leaving, so that nothing half-answered is written.
int32_t collect_changes(Reader* reader, PendingConfig* pending, ReportedConfig* reported) {
    draw_screen(reader, reported);
    for (;;) {
        int32_t choice = CHOICE_NONE;
        if (read_choice(&choice) < 0) return CHOICE_LEAVE;
        if (choice == CHOICE_SAVE || choice == CHOICE_LEAVE) return choice;
        const int32_t r = run_choice(choice, pending, *reported);
        if (r < 0) return CHOICE_LEAVE;
        if (r > 0) draw_screen(reader, reported);
    }
}

// Sends "KEY=value". The reader's result.
int32_t write_param(Reader* reader, const char* key, int32_t value) {
    char assignment[ASSIGNMENT_SIZE];
    snprintf(assignment, sizeof assignment, "%s=%d", key, value);
    return reader_set_param(reader, assignment);
}

// Reports one write: an accepted one marks the configuration as applied and
// traces done_trace, a refused one prints its error line. Returns r.
int32_t report_write(int32_t r, PendingConfig* pending, const char* done_trace, const char* what) {
    if (r == 0) {
        pending->applied = 1;
        diag(2, "%s", done_trace);
    } else {
        printf("Error %d while setting %s\n", r, what);
    }
    return r;
}

// One independent parameter write. The reader's result.
int32_t save_item(Reader* reader, PendingConfig* pending, const char* key, int32_t value,
                  const char* done_trace, const char* what) {
    return report_write(write_param(reader, key, value), pending, done_trace, what);
}

int32_t save_defaults(Reader* reader, PendingConfig* pending) {
    uint8_t scratch[DEFAULTS_CAPACITY];
    int32_t capacity = DEFAULTS_CAPACITY;
    const int32_t r = reader_ctl(reader, FN_SET_DEFAULTS, 0, nullptr, &capacity, scratch);
    return report_write(r, pending, "Defaults set OK\n", "defaults");
}

// The keyboard options go in a chain: each one only after the previous one
// was accepted, and none after a refused one.
int32_t save_keyboard_options(Reader* reader, PendingConfig* pending) {
    int32_t r = write_param(reader, PARAM_KBDPRESSDLY, pending->key_press_delay_ms);
    if (r != 0) return r;
    pending->applied = 1;
    r = write_param(reader, PARAM_KBDRELEASEDLY, pending->key_release_delay_ms);
    if (r != 0) return r;
    r = write_param(reader, PARAM_KBDLAYOUT, pending->keyboard_layout);
    if (r != 0) return r;
    diag(2, "USB keyboard options set OK\n");
    return 0;
}

int32_t save_usb_mode(Reader* reader, PendingConfig* pending, const ReportedConfig& reported) {
    const int32_t r = save_item(reader, pending, PARAM_USBMODE, pending->usb_mode,
                                "USB Mode set OK\n", "USB mode");
    if (r != 0) return r;
    if (pending->usb_mode == USB_MODE_KEYBOARD && reported.kbd_params_known != 0)
        return save_keyboard_options(reader, pending);
    return 0;
}

} // namespace

int32_t config_save(Reader* reader, PendingConfig* pending, const ReportedConfig& reported) {
    int32_t result = 0;
    auto keep = [&result](int32_t r) {
        if (r != 0) result = r;
    };
    if (pending->restore_defaults) keep(save_defaults(reader, pending));
    if (pending->usb_mode_chosen) keep(save_usb_mode(reader, pending, reported));
    if (pending->protocol_chosen)
        keep(save_item(reader, pending, PARAM_READERPROTOCOL, pending->protocol,
                       "Reader protocol set OK\n", "reader protocol"));
    if (pending->debug_chosen)
        keep(save_item(reader, pending, PARAM_DEBUG, pending->debug_mode, "Debug mode set OK\n",
                       "debug mode"));
    // SOUND holds the opposite of the menu's question: nonzero silences it.
    if (pending->sound_chosen)
        keep(save_item(reader, pending, PARAM_SOUND, pending->sound_mode == 0 ? 1 : 0,
                       "Sound mode set OK\n", "sound mode"));
    if (pending->km_mode_chosen)
        keep(save_item(reader, pending, PARAM_KMMODE, pending->km_mode, "KM mode set OK\n",
                       "KM mode"));
    if (pending->applied) {
        // The new settings take effect only after a restart; its result
        // tells nothing, as the reader leaves the bus while answering.
        reader_reset(reader);
        pause_ms(RESTART_WAIT_MS);
    }
    return result;
}

void config_menu(Reader* reader, ReportedConfig* reported) {
    if (reader->model == nullptr || !reader->model->can_get_config) {
        puts("Configuration not supported on given reader!");
    } else if (reader_open(reader) != 0) {
        puts("Cannot open given reader");
    } else {
        PendingConfig pending = {};
        if (collect_changes(reader, &pending, reported) == CHOICE_SAVE)
            config_save(reader, &pending, *reported);
        reader_close(reader);
    }
    console_wait_enter();
}
