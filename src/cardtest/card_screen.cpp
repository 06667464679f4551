// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_screen.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/term.h"
#include "base/text.h"

namespace {

constexpr char CELL_UNKNOWN = '\0';
constexpr char CELL_BLANK = ' ';

// Whether the row holds text and blanks after it.
bool row_shows(const CardScreen* screen, int row, const char* text, int length) {
    if (row < 0 || row >= SCREEN_ROWS_MAX) return false;
    const char* cells = screen->cells[row];
    if (std::memcmp(cells, text, static_cast<size_t>(length)) != 0) return false;
    return std::all_of(cells + length, cells + SCREEN_COLUMNS,
                       [](char c) { return c == CELL_BLANK; });
}

} // namespace

int card_screen_cleared(CardScreen* screen) {
    std::memset(screen->cells, CELL_BLANK, sizeof screen->cells);
    screen->cursor_row = 0;
    screen->cursor_column = 0;
    screen->rows_drawn = 0;
    return 0;
}

int card_screen_forget(CardScreen* screen) {
    std::memset(screen->cells, CELL_UNKNOWN, sizeof screen->cells);
    screen->cursor_row = SCREEN_CURSOR_UNKNOWN;
    screen->cursor_column = SCREEN_CURSOR_UNKNOWN;
    screen->rows_drawn = SCREEN_ROWS_UNKNOWN;
    return 0;
}

int card_screen_cursor_at(CardScreen* screen, int row, int column) {
    screen->cursor_row = row;
    screen->cursor_column = column;
    return 0;
}

int card_screen_put(CardScreen* screen, int row, const char* raw, bool newline, bool always) {
    // Card numbers, data and module texts come from the reader: a control
    // among them would move the terminal's cursor away from where this record
    // says it is, or worse.
    char text[SCREEN_COLUMNS + 1];
    text_copy(text, sizeof text, reinterpret_cast<const uint8_t*>(raw), SCREEN_COLUMNS);
    const int length = static_cast<int>(term_safe(text));
    if (!always && row_shows(screen, row, text, length)) return 0;
    card_screen_place_cursor(screen, row, 0);
    std::fwrite(text, 1, static_cast<size_t>(length), stdout);
    // A row holds fewer columns than bytes where a reader's text has UTF-8
    // characters: only an erase, not blanks counted in bytes, reaches the
    // end of what an earlier text left there.
    if (length < SCREEN_COLUMNS) term_erase_line_end();
    if (row >= 0 && row < SCREEN_ROWS_MAX) {
        std::memset(screen->cells[row], CELL_BLANK, SCREEN_COLUMNS);
        std::memcpy(screen->cells[row], text, static_cast<size_t>(length));
    }
    if (newline) {
        std::fputc('\n', stdout);
        card_screen_cursor_at(screen, row + 1, 0);
    } else {
        card_screen_cursor_at(screen, row, length);
    }
    return 1;
}

int card_screen_place_cursor(CardScreen* screen, int row, int column) {
    if (screen->cursor_row == row && screen->cursor_column == column) return 0;
    term_goto(static_cast<int16_t>(column), static_cast<int16_t>(row));
    card_screen_cursor_at(screen, row, column);
    return 1;
}

int card_screen_end_drawing(CardScreen* screen, int rows) {
    const bool shorter = rows < screen->rows_drawn;
    screen->rows_drawn = rows;
    if (!shorter || rows <= 0) return 0;
    // The erase starts on the drawing's last cell, a blank, not on the row
    // below it, which does not exist when the drawing ends on the
    // terminal's last row.
    card_screen_place_cursor(screen, rows - 1, SCREEN_COLUMNS - 1);
    term_erase_below();
    for (int row = std::max(rows - 1, 0); row < SCREEN_ROWS_MAX; ++row) {
        const int first = row == rows - 1 ? SCREEN_COLUMNS - 1 : 0;
        std::memset(screen->cells[row] + first, CELL_BLANK,
                    static_cast<size_t>(SCREEN_COLUMNS - first));
    }
    return 1;
}
