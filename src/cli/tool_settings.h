// SPDX-License-Identifier: GPL-2.0-or-later
// The command-line settings.
#pragma once

#include <cstdint>

#include "cli/batch_operations.h"

// Filled once by settings_parse before any thread starts; read-only afterwards.
struct ToolSettings {
    int32_t verbosity;
    const char* input_path;
    const char* output_path;
    int32_t show_help;
    int32_t has_input_path;
    int32_t has_output_path;
    int32_t select_by_index;
    int32_t select_by_serial;
    int32_t reset_after;
    uint32_t operations;             // a bit per row of batch_operations given
    const BatchOperation* operation; // the first row given; nullptr when none
    int32_t raw_function;
    int32_t test_mode;
    int32_t protocol;
    int32_t show_progress;
    int32_t all_readers; // -a: every attached reader, or those -s names
};

// Values of -r and -s, which are not part of ToolSettings.
struct ReaderChoice {
    int32_t index;
    const char* serial;
};

// Parses argv[1..argc-1] into *settings and *choice (both zeroed first).
// Never fails: unknown letters and stray arguments are ignored, and a
// value-taking option at the end of the list without a value is ignored.
void settings_parse(int argc, char** argv, ToolSettings* settings, ReaderChoice* choice);

// Writes the usage text to standard error.
void settings_print_usage(const char* program_name);
