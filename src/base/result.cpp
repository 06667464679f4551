// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/result.h"

// Each name is written once, so a name cannot drift from its number, and
// two results of one number do not compile.
#define NAME_OF(result)                                                                            \
    case result:                                                                                   \
        return #result

const char* result_name(int32_t result) {
    switch (result) {
        NAME_OF(LINK_OK);
        NAME_OF(LINK_ERROR);
        NAME_OF(LINK_BAD_HEADER);
        NAME_OF(LINK_WRONG_STATE);
        NAME_OF(LINK_NO_MEMORY);
        NAME_OF(LINK_TIMEOUT);
        NAME_OF(LINK_IO_ERROR);
        NAME_OF(PARAM_NOT_DELIVERED);
        NAME_OF(READY_WAIT_STOPPED);
        NAME_OF(MODULE_NO_TEST_STATE);
        NAME_OF(WORKER_NO_VOLATILE_PROTOCOL);
        NAME_OF(CONSOLE_INPUT_ENDED);
        NAME_OF(SYSTEM_FAILED);
        NAME_OF(CARD_TEST_NOT_STARTED);
        NAME_OF(BATCH_FILE_ERROR);
        NAME_OF(BATCH_INPUT_TOO_LARGE);
        NAME_OF(BATCH_NO_READER);
        NAME_OF(BATCH_READER_UNUSABLE);
        NAME_OF(BATCH_NOT_SUPPORTED);
        NAME_OF(BATCH_INTERRUPTED);
        NAME_OF(BATCH_READER_LOST);
    }
    return "UNKNOWN";
}
