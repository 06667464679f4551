// SPDX-License-Identifier: GPL-2.0-or-later
// A terminal as a person sees it: replays what a program wrote (text,
// newlines, carriage returns, the ANSI erase and cursor placement the
// program uses) onto a grid of cells, with autowrap and scrolling. A UTF-8
// terminal shows each UTF-8 encoded character in one cell; otherwise every
// byte takes a cell.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

struct VtScreen {
    using Row = std::vector<std::string>; // one character per cell
    int rows;
    int columns;
    bool utf8;
    std::vector<Row> cells;
    int row = 0;
    int column = 0;
    bool wrap_pending = false; // the last column is written: the next character wraps
    int unknown_sequences = 0;
    int last_column = -1; // of the last character on this row: a UTF-8 continuation joins it

    explicit VtScreen(int rows_ = 60, int columns_ = 80, bool utf8_ = false)
        : rows(rows_), columns(columns_), utf8(utf8_),
          cells(static_cast<size_t>(rows_), blank_row()) {}

    Row blank_row() const { return Row(static_cast<size_t>(columns), " "); }

    void line_feed() {
        wrap_pending = false;
        last_column = -1;
        if (++row < rows) return;
        row = rows - 1;
        cells.erase(cells.begin());
        cells.push_back(blank_row());
    }

    void put(char c) {
        const auto byte = static_cast<unsigned char>(c);
        Row& line = cells[static_cast<size_t>(row)];
        if (utf8 && byte >= 0x80 && byte < 0xC0 && last_column >= 0) {
            line[static_cast<size_t>(last_column)] += c;
            return;
        }
        if (wrap_pending) column = 0, line_feed();
        last_column = column;
        cells[static_cast<size_t>(row)][static_cast<size_t>(column)] = std::string(1, c);
        wrap_pending = column + 1 == columns;
        column += !wrap_pending;
    }

    // Feeds bytes; a "\n" acts as a terminal with output post-processing
    // shows it (carriage return and line feed), as a pty does by default.
    void feed(std::string_view bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                const size_t end = bytes.find_first_not_of("0123456789;", i + 2);
                if (end == std::string_view::npos) break;
                control(bytes.substr(i + 2, end - i - 2), bytes[end]);
                i = end;
            } else if (c == '\n' || c == '\r') {
                column = 0;
                wrap_pending = false;
                last_column = -1;
                if (c == '\n') line_feed();
            } else {
                put(c);
            }
        }
    }

    // Blanks the cells of row r from column first on.
    void erase_from(int r, int first) {
        Row& line = cells[static_cast<size_t>(r)];
        std::fill(line.begin() + first, line.end(), " ");
    }

    // CSI sequences: "2J" erases the screen, "J" from the cursor to its end,
    // "K" from the cursor to the end of its row, "nA" and "nB" move the
    // cursor up and down, "r;cH" places it.
    void control(std::string_view args, char final_byte) {
        std::vector<int> n = {0};
        for (char c : args)
            c == ';' ? n.push_back(0) : void(n.back() = n.back() * 10 + (c - '0'));
        n.resize(2);
        last_column = -1;
        if (final_byte == 'J' && n[0] == 2) {
            for (int r = 0; r < rows; ++r)
                erase_from(r, 0);
        } else if (final_byte == 'J' && n[0] == 0) {
            erase_from(row, column);
            for (int r = row + 1; r < rows; ++r)
                erase_from(r, 0);
        } else if (final_byte == 'K' && n[0] == 0) {
            erase_from(row, column);
        } else if (final_byte == 'A' || final_byte == 'B') {
            row = std::clamp(row + (final_byte == 'A' ? -1 : 1) * std::max(n[0], 1), 0, rows - 1);
            wrap_pending = false;
        } else if (final_byte == 'H') {
            row = std::clamp(n[0] - 1, 0, rows - 1);
            column = std::clamp(n[1] - 1, 0, columns - 1);
            wrap_pending = false;
        } else {
            ++unknown_sequences;
        }
    }

    // Row text (0-based) without trailing blanks.
    std::string text(int r) const {
        const Row& line = cells[static_cast<size_t>(r)];
        std::string out;
        for (const std::string& cell : line)
            out += cell;
        return out.erase(out.find_last_not_of(' ') + 1);
    }

    bool shows(std::string_view needle) const {
        for (int r = 0; r < rows; ++r)
            if (text(r).find(needle) != std::string::npos) return true;
        return false;
    }

    // Rows from first on, trailing blanks removed, up to the last non-empty.
    std::vector<std::string> lines(int first = 0) const {
        std::vector<std::string> out;
        for (int r = first; r < rows; ++r)
            out.push_back(text(r));
        while (!out.empty() && out.back().empty())
            out.pop_back();
        return out;
    }
};
