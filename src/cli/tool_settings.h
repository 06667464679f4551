// SPDX-License-Identifier: GPL-2.0-or-later
// Process-wide command-line settings and diagnostics.
#pragma once

#include <cstdint>

#include "base/diag.h"
#include "base/version.h"

// Filled once by settings_parse before any thread starts; read-only afterwards.
struct ToolSettings {
    int32_t verbosity;
    const char* input_path;
    const char* output_path;
    int32_t show_help;
    int32_t has_input_path;
    int32_t has_output_path;
    int32_t list_readers;
    int32_t select_by_index;
    int32_t select_by_serial;
    int32_t reset_after;
    int32_t update_firmware;
    int32_t update_service_firmware;
    int32_t send_config;
    int32_t get_config;
    int32_t get_log;
    int32_t raw_function;
    int32_t test_mode;
    int32_t send_custom_config;
    int32_t set_protocol;
    int32_t protocol;
    int32_t module_check;
    int32_t reset_defaults;
    int32_t show_progress;
};

extern ToolSettings tool_settings;

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
