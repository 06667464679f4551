// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/reader_info.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "base/text.h"
#include "discovery/reader_list.h"
#include "link/ctl_exchange.h"
#include "link/ctl_header.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

constexpr const char* FAILED_TEXT = "FAILED";
constexpr int STATUS_COLUMNS = 64;
// ctime_r needs room for "Www Mmm dd hh:mm:ss yyyy\n" and its NUL.
constexpr int CTIME_BUFFER_SIZE = 26;

// The module description: part number, description, automatic mode,
// protocol, features, information, then further information lines.
constexpr int MODULE_LABELLED_LINES = 6;
constexpr const char* MODULE_LABELS[MODULE_LABELLED_LINES] = {
    "Reader partno : ", "Reader descr. : ", "Reader auto   : ",
    "Reader proto. : ", "Reader featur.: ", "Reader info   : ",
};
constexpr const char* MODULE_MORE_LABEL = "                ";

constexpr const char* DEBUG_MODE_NAMES[] = {"no log", "warn only", "debug"};

void print_failed() {
    puts(FAILED_TEXT);
}

// A text from the reader on the rest of the line, made safe to show.
void print_text_line(const char* label, std::string_view text) {
    char line[MODULE_DESCRIPTION_BYTES + 1];
    const size_t n = std::min(text.size(), sizeof line - 1);
    std::memcpy(line, text.data(), n);
    line[n] = '\0';
    term_safe(line);
    printf("%s%s\n", label, line);
}

// Reads one parameter into value (PARAM_VALUE_SIZE bytes). 0 with a
// terminated value, safe to show, else the failing result.
int32_t read_param(Reader* reader, const char* key, char (&value)[PARAM_VALUE_SIZE]) {
    const int32_t r = reader_get_param(reader, key, value, PARAM_VALUE_SIZE);
    if (r == 0) term_safe(value);
    return r;
}

// A function whose output is text, safe to show. 0, or the failing result.
int32_t read_function_text(Reader* reader, uint16_t function,
                           char (&text)[FUNCTION_TEXT_CAPACITY + 1]) {
    const int32_t r = reader_function_text(reader, function, text);
    if (r == 0) term_safe(text);
    return r;
}

// The local-time form of ctime, ending in its own line end; FAILED when the
// time has no such form (outside the range localtime or a four-digit year
// can show).
void print_date(time_t when) {
    char text[CTIME_BUFFER_SIZE];
    if (ctime_r(&when, text) == nullptr)
        print_failed();
    else
        fputs(text, stdout);
}

// Formatters of parameter lines: each prints the rest of the line for a
// value that was read, line end included, and keeps in *reported what
// the configuration menu needs.
void show_text(Reader*, ReportedConfig*, const char* value) {
    puts(value);
}

void show_service_status(Reader*, ReportedConfig*, const char* value) {
    puts(text_number(value) != 0 ? "OK" : "Damaged");
}

void show_usb_mode(Reader*, ReportedConfig* reported, const char* value) {
    reported->usb_mode = text_number(value);
    for (const UsbMode& m : USB_MODES) {
        if (m.mode == reported->usb_mode) {
            puts(m.name);
            return;
        }
    }
    printf("Unknown (%d)\n", reported->usb_mode);
}

void show_reader_type(Reader*, ReportedConfig* reported, const char* value) {
    reported->reader_type = text_number(value);
    puts(value);
}

void show_protocol(Reader* reader, ReportedConfig* reported, const char* value);

void show_debug_mode(Reader*, ReportedConfig*, const char* value) {
    const int32_t mode = text_number(value);
    if (mode >= 0 && mode <= 2)
        puts(DEBUG_MODE_NAMES[mode]);
    else
        printf("Unknown (%d)\n", mode);
}

void show_sound(Reader*, ReportedConfig*, const char* value) {
    puts(text_number(value) != 0 ? "Disabled" : "Enabled");
}

void show_date(Reader*, ReportedConfig*, const char* value) {
    print_date(static_cast<time_t>(std::strtoll(value, nullptr, 10)));
}

// One line of the report: the label, then the parameter's value as the
// formatter shows it, or FAILED when it cannot be read.
struct ParamRow {
    const char* label;
    const char* key;
    void (*show)(Reader* reader, ReportedConfig* reported, const char* value);
};

constexpr ParamRow FIRMWARE_ROWS[] = {
    {"Firmware ver. : ", PARAM_FWVERSION, show_text},
    {"Servicefw ver.: ", PARAM_SERVICE_VER, show_text},
    {"Servicefw stat: ", PARAM_SERVICE_STATUS, show_service_status},
    {"USB op. mode  : ", PARAM_USBMODE, show_usb_mode},
};

constexpr ParamRow SETTING_ROWS[] = {
    {"Reader type   : ", PARAM_READER, show_reader_type},
    {"Reader proto  : ", PARAM_READERPROTOCOL, show_protocol},
    {"Debug mode    : ", PARAM_DEBUG, show_debug_mode},
    {"Sound         : ", PARAM_SOUND, show_sound},
};

constexpr ParamRow CHECKSUM_ROW = {"User cfg csum : ", PARAM_RDRCFG_CSUM, show_text};

constexpr ParamRow HARDWARE_ROWS[] = {
    {"Serial number : ", PARAM_HWCFG_SERIAL, show_text},
    {"Manuf. date   : ", PARAM_HWCFG_MAN_DATE, show_date},
};

void print_param_row(Reader* reader, ReportedConfig* reported, const ParamRow& row) {
    char value[PARAM_VALUE_SIZE];
    fputs(row.label, stdout);
    if (read_param(reader, row.key, value) != 0)
        print_failed();
    else
        row.show(reader, reported, value);
}

template <size_t N>
void print_param_rows(Reader* reader, ReportedConfig* reported, const ParamRow (&rows)[N]) {
    for (const ParamRow& row : rows)
        print_param_row(reader, reported, row);
}

// A loaded custom configuration is named, with its checksum on a line of
// its own.
void show_protocol(Reader* reader, ReportedConfig* reported, const char* value) {
    reported->reader_protocol = text_number(value);
    if (reported->reader_protocol != PROTOCOL_USER_CONFIG) {
        puts(value);
        return;
    }
    puts("User configuration");
    print_param_row(reader, reported, CHECKSUM_ROW);
}

// The delays are 16-bit on the reader; the value text is shown as such.
uint16_t param_u16(const char* value) {
    return static_cast<uint16_t>(text_number(value));
}

void print_keyboard(Reader* reader, ReportedConfig* reported) {
    char press[PARAM_VALUE_SIZE];
    char release[PARAM_VALUE_SIZE];
    reported->kbd_params_known = 0;
    if (read_param(reader, PARAM_KBDPRESSDLY, press) != 0) return;
    if (read_param(reader, PARAM_KBDRELEASEDLY, release) != 0) return;
    const bool keyboard = reported->usb_mode == USB_MODE_KEYBOARD;
    if (keyboard)
        printf("USB kbd params: %d ms press, %d ms release\n", param_u16(press),
               param_u16(release));
    char layout[PARAM_VALUE_SIZE];
    if (read_param(reader, PARAM_KBDLAYOUT, layout) == 0 && keyboard)
        printf("USB kbd layout: %d\n", param_u16(layout));
    reported->kbd_params_known = 1;
}

void print_km_mode(Reader* reader, ReportedConfig* reported) {
    char value[PARAM_VALUE_SIZE];
    reported->km_mode_known = 0;
    if (read_param(reader, PARAM_KMMODE, value) != 0) return;
    if (reported->usb_mode == USB_MODE_KM) printf("KM mode       : %d\n", param_u16(value));
    reported->km_mode_known = 1;
}

// Appends the parameter's value to the text already in version; the reader
// is told how much room is left (at least the NUL's byte, as version is
// always terminated within it). 0, or the failing result.
int32_t append_param(Reader* reader, const char* key, char (&version)[PARAM_VALUE_SIZE]) {
    const auto used = static_cast<int32_t>(std::strlen(version));
    return reader_get_param(reader, key, version + used, PARAM_VALUE_SIZE - used);
}

// Appends "." when a value can still follow it (room for at least the NUL).
int32_t append_dot(char (&version)[PARAM_VALUE_SIZE]) {
    const size_t used = std::strlen(version);
    if (used + 2 > sizeof version) return PARAM_NOT_DELIVERED;
    version[used] = '.';
    version[used + 1] = '\0';
    return 0;
}

void print_hw_version(Reader* reader) {
    char version[PARAM_VALUE_SIZE] = {};
    fputs("HW version    : ", stdout);
    const bool ok =
        append_param(reader, PARAM_HWCFG_MAJOR, version) == 0 && append_dot(version) == 0 &&
        append_param(reader, PARAM_HWCFG_MINOR, version) == 0 && append_dot(version) == 0 &&
        append_param(reader, PARAM_HWCFG_SUBVERSION, version) == 0;
    if (ok)
        puts((term_safe(version), version));
    else
        print_failed();
}

void print_hardware(Reader* reader, ReportedConfig* reported) {
    puts("");
    puts("Hardware information:");
    print_hw_version(reader);
    print_param_rows(reader, reported, HARDWARE_ROWS);
}

void print_lib_version(Reader* reader) {
    char text[FUNCTION_TEXT_CAPACITY + 1];
    fputs("LibReader ver.: ", stdout);
    if (read_function_text(reader, FN_LIB_VERSION, text) != 0)
        print_failed();
    else
        puts(text);
}

// The count of card reader modules; 0 when it cannot be read.
int8_t print_module_count(Reader* reader) {
    int8_t count = 0;
    fputs("Reader count  : ", stdout);
    if (reader_module_count(reader, &count) != 0) {
        print_failed();
        return 0;
    }
    printf("%d\n", count);
    return count;
}

// The description's lines under their labels: six labelled ones (empty when
// the text runs out), then one per further line.
void print_module_description(Reader* reader) {
    char text[MODULE_DESCRIPTION_BYTES + 1];
    if (reader_module_description(reader, text) != 0) {
        fputs(MODULE_LABELS[0], stdout);
        print_failed();
        return;
    }
    std::string_view rest = text;
    for (const char* label : MODULE_LABELS)
        print_text_line(label, module_description_line(&rest));
    for (std::string_view line; !(line = module_description_line(&rest)).empty();)
        print_text_line(MODULE_MORE_LABEL, line);
}

void print_status(Reader* reader) {
    int32_t code = 0;
    fputs("Reader status : ", stdout);
    if (reader_status_code(reader, &code) != 0) {
        print_failed();
        return;
    }
    printf("%-*s\n", STATUS_COLUMNS, reader_status_text(code));
}

void print_status_message(Reader* reader) {
    char text[FUNCTION_TEXT_CAPACITY + 1];
    fputs("Status message: ", stdout);
    if (read_function_text(reader, FN_STATUS_MESSAGE, text) != 0)
        puts("None");
    else
        printf("%-*s\n", STATUS_COLUMNS, text);
}

void print_card_reader(Reader* reader, int8_t* count) {
    puts("");
    puts("Card reader information:");
    print_lib_version(reader);
    *count = print_module_count(reader);
    if (*count != 0) print_module_description(reader);
    print_status(reader);
    print_status_message(reader);
}

uint32_t le32_load(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void print_version_or_na(const char* label, const uint8_t* v) {
    fputs(label, stdout);
    if (v[0] == 0 && v[1] == 0 && v[2] == 0)
        puts("Not applicable");
    else
        printf("%d.%d.%d\n", v[0], v[1], v[2]);
}

// A text field of the record: no more than the field holds and the reader
// sent, whether or not it carries its NUL.
void print_record_text(const char* format, const uint8_t* record, int32_t delivered, int offset,
                       int field_bytes) {
    char text[RECORD_SERIAL_BYTES + 1];
    module_record_text(text, record, delivered, offset, field_bytes);
    term_safe(text);
    printf(format, text);
}

void print_module_record(const uint8_t* record, int32_t delivered) {
    const uint8_t* pcb = record + RECORD_PCB_MAJOR;
    printf("PCB ver.(type): %d.%d.%d (%d)\n", pcb[0], pcb[1], pcb[2], record[RECORD_PCB_TYPE]);
    printf("Features      : %08X\n", le32_load(record + RECORD_FEATURES));
    print_record_text("Serial no.    : %s\n", record, delivered, RECORD_SERIAL,
                      RECORD_SERIAL_BYTES);
    print_record_text("Partnumber    : %s\n", record, delivered, RECORD_PART_NUMBER,
                      RECORD_PART_NUMBER_BYTES);
    fputs("Manf. date    : ", stdout);
    print_date(static_cast<time_t>(be32_load(record + RECORD_DATE)));
    print_version_or_na("Reader SW ver.: ", record + RECORD_SW_VERSION);
    print_version_or_na("Req lib ver.  : ", record + RECORD_LIB_VERSION);
}

// The embedded module section. 0, or the failing result of the record read.
int32_t print_embedded(Reader* reader, int8_t count) {
    puts("");
    puts("Embedded reader information:");
    if (count == 0) {
        puts("NO READER DETECTED");
        return 0;
    }
    uint8_t record[MODULE_RECORD_BYTES];
    int32_t delivered = 0;
    const int32_t r = reader_module_record(reader, record, &delivered);
    if (r != 0) {
        print_failed();
        return r;
    }
    print_module_record(record, delivered);
    return 0;
}

} // namespace

int32_t reader_print_info(Reader* reader, ReportedConfig* reported) {
    puts("USB Reader information:");
    printf("Usb reader    : %s\n", reader->model != nullptr ? reader->model->description : "");
    printf("Serial no.    : %s\n", reader->serial);
    print_param_rows(reader, reported, FIRMWARE_ROWS);
    print_keyboard(reader, reported);
    print_km_mode(reader, reported);
    print_param_rows(reader, reported, SETTING_ROWS);
    print_hardware(reader, reported);
    int8_t count = 0;
    print_card_reader(reader, &count);
    const int32_t r = print_embedded(reader, count);
    if (r != 0) return r;
    puts("");
    return 0;
}
