// SPDX-License-Identifier: GPL-2.0-or-later
// The live rows of a run over many readers: one row per reader on standard
// error while it is a terminal, each redrawn only when it changes, with the
// readers' messages written above them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

// Set up by batch_rows_start on the main thread before any reader's run
// starts; afterwards the main thread (rows) and every run's thread
// (messages) write through the functions below, which hold lock.
struct BatchRows {
    std::mutex lock;
    bool live = false;              // rows are drawn
    int columns = 0;                // a row is cut to fit
    std::vector<std::string> shown; // what each row shows
};

// Starts count rows, all empty: drawn when standard error is a terminal
// that holds them all, else nothing is ever drawn.
void batch_rows_start(BatchRows* rows, int count);
// Row index now shows text (terminal-safe), redrawn when it differs.
void batch_rows_set(BatchRows* rows, int index, const std::string& text);
// Writes a reader's message to standard error, each of its lines after
// "PREFIX: ", above the rows, which are drawn again below it.
void batch_rows_message(BatchRows* rows, const char* prefix, const char* text);
// One message of a reader's run at level: the first error (level 1) is
// kept in *first as one field of a tab-separated line, without its line
// end, and what the verbosity asks for is written as batch_rows_message.
void batch_rows_take(BatchRows* rows, const char* prefix, std::string* first, int level,
                     const char* text);
