// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch_rows.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "base/diag.h"
#include "base/text.h"

namespace {

// Row i is drawn (count - i) lines above the cursor, which waits at the
// start of the line below the last row.
void draw_row(BatchRows* rows, int index) {
    const int up = static_cast<int>(rows->shown.size()) - index;
    std::string text = rows->shown[static_cast<size_t>(index)];
    if (static_cast<int>(text.size()) >= rows->columns)
        text.resize(static_cast<size_t>(rows->columns - 1));
    fprintf(stderr, "\x1b[%dA\r%s\x1b[K\x1b[%dB\r", up, text.c_str(), up);
}

void draw_all(BatchRows* rows) {
    for (const std::string& row : rows->shown)
        fprintf(stderr, "%.*s\x1b[K\n", rows->columns - 1, row.c_str());
}

} // namespace

void batch_rows_start(BatchRows* rows, int count) {
    std::lock_guard<std::mutex> guard(rows->lock);
    rows->shown.assign(static_cast<size_t>(count), std::string());
    winsize size = {};
    rows->live = count > 0 && isatty(STDERR_FILENO) &&
                 ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > count &&
                 size.ws_col > 1;
    rows->columns = size.ws_col;
    if (!rows->live) return;
    draw_all(rows);
    fflush(stderr);
}

void batch_rows_set(BatchRows* rows, int index, const std::string& text) {
    std::lock_guard<std::mutex> guard(rows->lock);
    std::string& row = rows->shown[static_cast<size_t>(index)];
    if (row == text) return;
    row = text;
    if (!rows->live) return;
    draw_row(rows, index);
    fflush(stderr);
}

void batch_rows_message(BatchRows* rows, const char* prefix, const char* text) {
    std::string lines;
    for (const char* p = text; *p != '\0';) {
        const char* end = p;
        while (*end != '\0' && *end != '\n')
            ++end;
        lines += std::string(prefix) + ": " + std::string(p, end) + "\n";
        p = *end == '\n' ? end + 1 : end;
    }
    std::lock_guard<std::mutex> guard(rows->lock);
    // Up to the first row, erase the rows, the message, the rows again.
    if (rows->live) fprintf(stderr, "\x1b[%zuA\r\x1b[J", rows->shown.size());
    diag_write(lines.c_str());
    if (rows->live) draw_all(rows);
    fflush(stderr);
}

void batch_rows_take(BatchRows* rows, const char* prefix, std::string* first, int level,
                     const char* text) {
    if (level <= 1 && first->empty()) {
        std::string_view said = text;
        while (!said.empty() && said.back() == '\n')
            said.remove_suffix(1);
        *first = text_field(said);
    }
    if (diag_verbosity >= level) batch_rows_message(rows, prefix, text);
}
