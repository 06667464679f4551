// SPDX-License-Identifier: GPL-2.0-or-later
// What the card test console has put on the terminal, so that a redraw
// writes only the rows that differ from what the terminal already shows.
#pragma once

inline constexpr int SCREEN_COLUMNS = 80;
// Two title rows, three rows for each of 32 readers, one notice, a footer
// of four rows; rows past this are always written.
inline constexpr int SCREEN_ROWS_MAX = 112;
inline constexpr int SCREEN_CURSOR_UNKNOWN = -1;

// Cells hold the characters written there; '\0' marks a cell whose
// contents are unknown (never written, or disturbed by scrolling).
struct CardScreen {
    char cells[SCREEN_ROWS_MAX][SCREEN_COLUMNS];
    int cursor_row;
    int cursor_column;
    int rows_drawn; // rows the last drawing took; SCREEN_ROWS_UNKNOWN when not known
};

inline constexpr int SCREEN_ROWS_UNKNOWN = 1 << 30;

// The terminal was just erased, cursor at the top left. 0.
int card_screen_cleared(CardScreen* screen);
// Nothing on the terminal can be relied upon any more. 0.
int card_screen_forget(CardScreen* screen);
// Cursor moved by someone else (the title lines). 0.
int card_screen_cursor_at(CardScreen* screen, int row, int column);

// Writes text (at most SCREEN_COLUMNS bytes) at the start of row, erases
// the rest of the row and, when newline is set, ends the row with a
// newline, unless always is false and the row already shows exactly that
// text. Returns 1 when written, 0 when skipped. Console thread; writes
// stdout.
int card_screen_put(CardScreen* screen, int row, const char* text, bool newline, bool always);
// Places the cursor at row and column unless it is already there. 1 when
// moved, 0 otherwise.
int card_screen_place_cursor(CardScreen* screen, int row, int column);
// The drawing just finished takes rows rows, its last row written in full.
// When an earlier one took more, or what lies below is not known, erases
// from the last cell of that row to the end of the screen, so that no row
// of the longer drawing stays below it. 1 when erased, 0 otherwise.
int card_screen_end_drawing(CardScreen* screen, int rows);
