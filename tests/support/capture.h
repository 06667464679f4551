// SPDX-License-Identifier: GPL-2.0-or-later
// Captures what the code under test writes to standard output or error.
#pragma once

#include <string>

// Redirects one file descriptor (1 or 2) into a temporary file until
// finish() or destruction; finish() returns everything written.
class FdCapture {
  public:
    explicit FdCapture(int fd);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    std::string finish();

  private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};
