// SPDX-License-Identifier: GPL-2.0-or-later
// A terminal as a person sees it: replays what a program wrote (text,
// newlines, carriage returns, the ANSI erase and cursor placement the
// program uses) onto a grid of cells, with autowrap and scrolling.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct VtScreen {
    int rows;
    int columns;
    std::vector<std::string> cells;
    int row = 0;
    int column = 0;
    bool wrap_pending = false;
    int unknown_sequences = 0;

    explicit VtScreen(int rows_ = 60, int columns_ = 80)
        : rows(rows_), columns(columns_),
          cells(static_cast<size_t>(rows_), std::string(static_cast<size_t>(columns_), ' ')) {}

    void erase() {
        for (std::string& line : cells)
            line.assign(static_cast<size_t>(columns), ' ');
    }

    void line_feed() {
        wrap_pending = false;
        if (row + 1 < rows) {
            ++row;
            return;
        }
        cells.erase(cells.begin());
        cells.emplace_back(static_cast<size_t>(columns), ' ');
    }

    void put_char(char c) {
        if (wrap_pending) {
            column = 0;
            line_feed();
        }
        cells[static_cast<size_t>(row)][static_cast<size_t>(column)] = c;
        if (column + 1 < columns)
            ++column;
        else
            wrap_pending = true;
    }

    // Feeds bytes; a "\n" acts as a terminal with output post-processing
    // shows it (carriage return and line feed), as a pty does by default.
    void feed(std::string_view bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                size_t j = i + 2;
                while (j < bytes.size() &&
                       ((bytes[j] >= '0' && bytes[j] <= '9') || bytes[j] == ';'))
                    ++j;
                if (j >= bytes.size()) break;
                control(bytes.substr(i + 2, j - i - 2), bytes[j]);
                i = j;
            } else if (c == '\n') {
                column = 0;
                line_feed();
            } else if (c == '\r') {
                column = 0;
                wrap_pending = false;
            } else {
                put_char(c);
            }
        }
    }

    void control(std::string_view args, char final_byte) {
        std::vector<int> n;
        int value = 0;
        bool any = false;
        for (char c : args) {
            if (c == ';') {
                n.push_back(any ? value : 0);
                value = 0;
                any = false;
            } else {
                value = value * 10 + (c - '0');
                any = true;
            }
        }
        n.push_back(any ? value : 0);
        if (final_byte == 'J' && n[0] == 2) {
            erase();
        } else if (final_byte == 'H') {
            const int r = n.size() > 0 && n[0] > 0 ? n[0] - 1 : 0;
            const int c = n.size() > 1 && n[1] > 0 ? n[1] - 1 : 0;
            row = r < rows ? r : rows - 1;
            column = c < columns ? c : columns - 1;
            wrap_pending = false;
        } else {
            ++unknown_sequences;
        }
    }

    // Row text (0-based) without trailing blanks.
    std::string text(int r) const {
        std::string line = cells[static_cast<size_t>(r)];
        line.erase(line.find_last_not_of(' ') + 1);
        return line;
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
