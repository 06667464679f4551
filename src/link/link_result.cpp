// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/link_result.h"

const char* link_result_name(int32_t result) {
    switch (result) {
    case LINK_OK:
        return "LINK_OK";
    case LINK_ERROR:
        return "LINK_ERROR";
    case LINK_BAD_HEADER:
        return "LINK_BAD_HEADER";
    case LINK_WRONG_STATE:
        return "LINK_WRONG_STATE";
    case LINK_NO_MEMORY:
        return "LINK_NO_MEMORY";
    case LINK_TIMEOUT:
        return "LINK_TIMEOUT";
    case LINK_IO_ERROR:
        return "LINK_IO_ERROR";
    default:
        return "UNKNOWN";
    }
}
