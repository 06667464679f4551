// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/term.h"

#include <cstdio>

void term_clear() {
    fputs("\x1b[2J\x1b[0;0H", stdout);
}

void term_goto(int16_t column, int16_t row) {
    printf("\x1b[%d;%dH", row + 1, column + 1);
}

void term_erase_below() {
    fputs("\x1b[J", stdout);
}

void term_erase_line_end() {
    fputs("\x1b[K", stdout);
}
