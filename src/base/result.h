// SPDX-License-Identifier: GPL-2.0-or-later
// The program's own results, every layer's in one set, as libusb keeps its
// errors. 0 or a count is success, a negative value a failure. reader_ctl
// passes a reader's own result on unchanged, whatever its value, so the
// layers above the link number theirs from -1000 down, each number meaning
// one thing; the positive batch results are exit statuses as they are.
// Numbers the protocol carries (the host's WIRE_* refusals in
// link/ctl_header.h, the reader's RDR_* answers in services/) are no
// results of the program and stay with the protocol.
#pragma once

#include <cstdint>

enum Result : int32_t {
    LINK_OK = 0,
    LINK_ERROR = -1,       // general failure; no link given
    LINK_BAD_HEADER = -2,  // a header block of other than 11 bytes
    LINK_WRONG_STATE = -3, // open when open, close when closed
    LINK_NO_MEMORY = -12,  // no memory for a callback's record
    LINK_TIMEOUT = -110,   // no report within the timeout
    LINK_IO_ERROR = -9999, // hidapi reported a failure

    PARAM_NOT_DELIVERED = -1001,  // the reader answered 0 but delivered no value
    READY_WAIT_STOPPED = -1002,   // the readiness wait's stop flag ended it
    MODULE_NO_TEST_STATE = -1003, // the Reader is not under test
    WORKER_NO_VOLATILE_PROTOCOL = -1004,
    CONSOLE_INPUT_ENDED = -1005, // end of file, closed terminal or read error
    // The system gave no memory, thread, file or descriptor, or refused a
    // write; the message or errno says which.
    SYSTEM_FAILED = -1006,
    // A Reader not put under test: open or under test already, no entry
    // free, or its state, open or thread failed.
    CARD_TEST_NOT_STARTED = -1007,

    BATCH_FILE_ERROR = 2, // input or output cannot be read or written
    BATCH_INPUT_TOO_LARGE = 3,
    BATCH_NO_READER = 4,
    BATCH_READER_UNUSABLE = 5,
    BATCH_NOT_SUPPORTED = 6,
    BATCH_INTERRUPTED = 130,   // a reader not started after Ctrl+C (-a)
    BATCH_READER_LOST = -1281, // not found again after a restart; low byte 0xFF: exits 255
};

// The name of a result, as "LINK_TIMEOUT"; "UNKNOWN" for any other value
// (a reader's own result, a count). Never fails.
const char* result_name(int32_t result);
