// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

FdCapture::FdCapture(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    char name[] = "/tmp/brinlet-capture-XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

FdCapture::~FdCapture() {
    finish();
}

std::string FdCapture::finish() {
    if (saved_ < 0) return {};
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::string text;
    lseek(file_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(file_, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(file_);
    file_ = -1;
    return text;
}
