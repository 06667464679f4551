// SPDX-License-Identifier: GPL-2.0-or-later
// Texts received from a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// Copies at most length bytes of a text received from a reader into dest,
// stopping at a NUL, and terminates it within dest_size. Returns the length.
int text_copy(char* dest, int dest_size, const uint8_t* src, int64_t length);

// The value of a decimal text as atoi reads it (leading blanks, optional
// sign, leading digits, 0 without digits), held to the int32_t range instead
// of overflowing, so that a wrapped value never turns into a valid choice or
// mode. Never fails.
int32_t text_number(const char* text);

// Makes a NUL-terminated text from a reader safe to show on a terminal, in
// place: each C0 control (below 0x20), DEL, C1 control (a UTF-8 encoded
// U+0080..U+009F, or a byte 0x80..0x9F outside a valid UTF-8 sequence)
// becomes one '?', so the text cannot move the cursor, erase the screen or
// start an escape sequence. Other bytes stay. Returns the new length.
size_t term_safe(char* text);

// A terminal-safe copy of text, for a message that quotes it: its line ends
// become '?' too, so a reader's text cannot start a line of its own.
std::string term_safe_text(const char* text);

// One field of a tab-separated line: a tab, a line end or any other control
// character (C0, DEL, an encoded C1), and every byte that is not part of
// valid UTF-8, becomes one '?'. Never fails.
std::string text_field(std::string_view text);
// The fields, each made one by text_field, joined by tabs and ended by a
// line end: always one whole line of exactly fields.size() fields.
std::string text_fields_line(std::initializer_list<std::string_view> fields);
