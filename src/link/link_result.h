// SPDX-License-Identifier: GPL-2.0-or-later
// Results of the link layer, shared by all of it and passed on by its
// callers.
#pragma once

#include <cstdint>

// 0 or a count is success, a negative value a failure. reader_ctl passes a
// reader's own result on unchanged, whatever its value; the layers above
// number their own results from -1000 down, each meaning one number.
enum LinkResult : int32_t {
    LINK_OK = 0,
    LINK_ERROR = -1,       // general failure; no link given
    LINK_BAD_HEADER = -2,  // a header block of other than 11 bytes
    LINK_WRONG_STATE = -3, // open when open, close when closed
    LINK_NO_MEMORY = -12,  // no memory for a callback's record
    LINK_TIMEOUT = -110,   // no report within the timeout
    LINK_IO_ERROR = -9999, // hidapi reported a failure
};

// The name of a link result, as "LINK_TIMEOUT"; "UNKNOWN" for any other
// value. Never fails.
const char* link_result_name(int32_t result);
