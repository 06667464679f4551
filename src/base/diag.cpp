// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/text.h"

int32_t diag_verbosity = 0;
std::atomic<uint32_t> diag_written{0};

namespace {

constexpr size_t DIAG_SHORT_SIZE = 256; // most messages fit without an allocation

// Writes the message line by line, each made terminal-safe: traces carry
// texts a reader sent (card numbers, for one), and standard error is
// usually the operator's terminal. Line ends are the message's own.
void put_safe(char* message) {
    flockfile(stderr);
    for (char* line = message;;) {
        char* end = std::strchr(line, '\n');
        if (end != nullptr) *end = '\0';
        fwrite(line, 1, term_safe(line), stderr);
        if (end == nullptr) break;
        fputc('\n', stderr);
        line = end + 1;
    }
    funlockfile(stderr);
}

} // namespace

void diag(int level, const char* format, ...) {
    if (diag_verbosity < level) return;
    char short_text[DIAG_SHORT_SIZE];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(short_text, sizeof short_text, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof short_text) {
        put_safe(short_text);
    } else {
        std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
        if (text == nullptr) return;
        va_start(args, format);
        vsnprintf(text.get(), static_cast<size_t>(n) + 1, format, args);
        va_end(args);
        put_safe(text.get());
    }
    diag_written.fetch_add(1);
}
