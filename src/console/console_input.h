// SPDX-License-Identifier: GPL-2.0-or-later
// Line input of the interactive console: every answer the operator types
// goes through console_read_line, so that the end of standard input is
// noticed in one place and every dialog can give up on it.
#pragma once

#include <cstdint>

// One read takes at most 19 characters of a line; the rest of a longer line
// stays in the input for the following reads.
inline constexpr int CONSOLE_LINE_SIZE = 20;

// Flushes standard output (so the prompt is visible), then reads up to 19
// characters of one line into line, newline included when it fits. Returns
// 0, or CONSOLE_INPUT_ENDED with line emptied when no more input can come
// (end of file, closed terminal, read error); once input has ended every
// later call reports it too. Main thread only.
int32_t console_read_line(char (&line)[CONSOLE_LINE_SIZE]);

// 1 when a read has met the end of standard input (here or in another part
// of the program that reads it), else 0. Never fails.
int32_t console_input_ended();

// Writes prompt, reads one line; an answer that is only a line end asks
// again. 0 with the answer in line, or CONSOLE_INPUT_ENDED.
int32_t console_ask(const char* prompt, char (&line)[CONSOLE_LINE_SIZE]);

// console_ask, then the answer's value in *value. 0, or CONSOLE_INPUT_ENDED
// (*value untouched).
int32_t console_ask_number(const char* prompt, int32_t* value);

// Prints "Press ENTER to continue" and a line end, reads one line and
// discards it. 0, or CONSOLE_INPUT_ENDED.
int32_t console_wait_enter();
