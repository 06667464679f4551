// SPDX-License-Identifier: GPL-2.0-or-later
// ANSI terminal control.
#pragma once

#include <cstdint>

// ESC[2J ESC[0;0H on standard output: erase the screen, cursor home. No flush.
void term_clear();
// ESC[row+1;column+1H on standard output (both counted from 0).
void term_goto(int16_t column, int16_t row);
// ESC[J on standard output: erase from the cursor to the end of the screen.
void term_erase_below();
// ESC[K on standard output: erase from the cursor to the end of its row.
void term_erase_line_end();
