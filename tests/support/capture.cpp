// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/capture.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

FdCapture::FdCapture(int fd) : fd_(fd) {
    fflush(nullptr);
    file_ = open("/tmp", O_TMPFILE | O_RDWR, 0600);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

FdCapture::~FdCapture() {
    finish();
}

std::string FdCapture::finish() {
    if (saved_ < 0) return {};
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::string text(static_cast<size_t>(lseek(file_, 0, SEEK_END)), '\0');
    if (pread(file_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        text.clear();
    close(file_);
    file_ = -1;
    return text;
}
