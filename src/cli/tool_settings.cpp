// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/tool_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/version.h"

namespace {

bool takes_value(char letter) {
    return letter != '\0' && std::strchr("iosrbLRPTxCDFOGpeYZ", letter) != nullptr;
}

bool is_two_letter(char letter) {
    return letter == 'U' || letter == 'W' || letter == 'M';
}

void give_operation(ToolSettings* s, char letter) {
    s->operations |= batch_operation_bit(batch_operation(letter));
}

void apply_flag(ToolSettings* s, char letter) {
    switch (letter) {
    case 'h':
        s->show_help = 1;
        break;
    case 'k':
        s->reset_after = 1;
        break;
    case 'q':
        s->show_progress = 1;
        break;
    case 'v':
        s->verbosity += 1;
        break;
    case 't':
        s->test_mode = 1;
        break;
    case 'a':
        s->all_readers = 1;
        break;
    default:
        // -b and -p take values; the other operations are flags.
        if (batch_operation(letter) != nullptr) give_operation(s, letter);
        break;
    }
}

void apply_value(ToolSettings* s, ReaderChoice* choice, char letter, const char* value) {
    switch (letter) {
    case 'i':
        s->has_input_path = 1;
        s->input_path = value;
        break;
    case 'o':
        s->has_output_path = 1;
        s->output_path = value;
        break;
    case 'r':
        s->select_by_index = 1;
        choice->index = std::atoi(value);
        break;
    case 's':
        s->select_by_serial = 1;
        choice->serial = value;
        break;
    case 'p':
        s->protocol = std::atoi(value);
        give_operation(s, 'p');
        break;
    case 'b':
        s->raw_function = std::atoi(value);
        break;
    default:
        break; // accepted for compatibility, no effect
    }
}

} // namespace

void settings_parse(int argc, char** argv, ToolSettings* s, ReaderChoice* choice) {
    *s = ToolSettings{};
    *choice = ReaderChoice{};
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0') continue;
        const char letter = arg[1];
        const char* rest = arg + 2;
        // Traces use the verbosity reached so far, before this option acts.
        const bool trace = s->verbosity >= 2;
        if (takes_value(letter)) {
            const char* value = rest;
            if (*rest == '\0') {
                if (i + 1 >= argc) continue; // nothing left to take as the value
                value = argv[++i];
            }
            if (trace) fprintf(stderr, "Parameter '%c':'%s' processed\n", letter, value);
            apply_value(s, choice, letter, value);
        } else if (is_two_letter(letter)) {
            if (i + 1 >= argc) continue;
            const char* value = argv[++i];
            if (trace)
                fprintf(stderr, "Parameter '%c/%c'.':'%s' processed\n", letter, rest[0], value);
        } else {
            if (trace) fprintf(stderr, "Parameter '%s' processed\n", rest);
            apply_flag(s, letter);
        }
    }
    // -b 0 (or a value that is not a number) asks for no function.
    const uint32_t raw = batch_operation_bit(batch_operation('b'));
    s->operations = s->raw_function != 0 ? s->operations | raw : s->operations & ~raw;
    s->operation = batch_plan(s->operations, s->raw_function).operation;
}

void settings_print_usage(const char* program_name) {
    fprintf(
        stderr,
        "Norvane USB card reader configuration utility ver. %s\n"
        "Usage: %s -<parameter> <value> ...\n"
        "Parameters:\n"
        "\n"
        "-i input file (otherwise stdin)\n"
        "-o output file (otherwise stdout)\n"
        "\n"
        "-l list all configurable readers\n"
        "-r select reader number to configure, if not specified then first reader will be used\n"
        "-s select serial number of reader to configure\n"
        "\n"
        "-k reset the usb device after successful operation\n"
        "-u update standard firmware (file on stdin or input file)\n"
        "-w update service firmware (file on stdin or input file)\n"
        "-m send card reader custom configuration (file on stdin or input file)\n"
        "-p set reader protocol (will clear card reader custom configuration without asking)\n"
        "-c send configuration (file on stdin or input file)\n"
        "-g get configuration (data on stdout or output file)\n"
        "-d reset reader to defaults (will clear card reader custom configuration without asking)\n"
        "-X perform reader module firmware check and update if necessary (file on stdin or input "
        "file)\n"
        "-q show progress bar during the given operation\n"
        "-j get log (data on stdout or output file)\n"
        "\n"
        "-h this help screen\n"
        "-v verbose operation\n"
        "-t start card testing mode\n"
        "\n"
        "Examples of use (sudo may be required!):\n"
        "\n"
        "Update of normal firmware:\n"
        "    brinlet -u -i usb2-2.0.0.fw -k\n"
        "Update of service firmware:\n"
        "    brinlet -w -i usb2_service_1.0.3.fw -k\n"
        "Download of log (when logging enabled):\n"
        "    brinlet -j\n",
        TOOL_VERSION, program_name);
}
