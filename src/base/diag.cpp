// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/text.h"

// The diagnostics are the process's: every thread writes them, and the card
// test's display learns of them through the count and the hook.
int32_t diag_verbosity = 0;
std::atomic<uint32_t> diag_written{0};
std::atomic<void (*)()> diag_written_hook{nullptr};

namespace {

// Per thread by nature: where the calling thread's messages go.
thread_local const DiagTarget* diag_target = nullptr;

constexpr size_t DIAG_SHORT_SIZE = 256; // most messages fit without an allocation

// Makes the message terminal-safe line by line: traces carry texts a
// reader sent (card numbers, for one), and standard error is usually the
// operator's terminal. Line ends are the message's own.
void make_safe(char* message) {
    char* out = message;
    for (char* line = message;;) {
        char* end = std::strchr(line, '\n');
        if (end != nullptr) *end = '\0';
        const size_t n = term_safe(line);
        std::memmove(out, line, n);
        out += n;
        if (end == nullptr) break;
        *out++ = '\n';
        line = end + 1;
    }
    *out = '\0';
}

void deliver(int level, char* message) {
    make_safe(message);
    if (diag_target != nullptr) {
        diag_target->take(diag_target->context, level, message);
        return;
    }
    diag_write(message);
}

} // namespace

void diag_redirect(const DiagTarget* target) {
    diag_target = target;
}

void diag_write(const char* text) {
    fputs(text, stderr);
    diag_written.fetch_add(1);
    if (void (*hook)() = diag_written_hook.load()) hook();
}

void diag(int level, const char* format, ...) {
    const int shown = diag_target != nullptr && diag_verbosity < 1 ? 1 : diag_verbosity;
    if (shown < level) return;
    char short_text[DIAG_SHORT_SIZE];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(short_text, sizeof short_text, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof short_text) {
        deliver(level, short_text);
    } else {
        std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
        if (text == nullptr) return;
        va_start(args, format);
        vsnprintf(text.get(), static_cast<size_t>(n) + 1, format, args);
        va_end(args);
        deliver(level, text.get());
    }
}
