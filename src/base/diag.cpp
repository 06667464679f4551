// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/diag.h"

#include <cstdarg>
#include <cstdio>

int32_t diag_verbosity = 0;
std::atomic<uint32_t> diag_written{0};
std::atomic<void (*)()> diag_written_hook{nullptr};

void diag(int level, const char* format, ...) {
    if (diag_verbosity < level) return;
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    diag_written.fetch_add(1);
    if (void (*hook)() = diag_written_hook.load()) hook();
}
