// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/console_input.h"

#include <cerrno>
#include <cstdio>

#include "base/result.h"
#include "base/text.h"

int32_t console_read_line(char (&line)[CONSOLE_LINE_SIZE]) {
    line[0] = '\0';
    fflush(stdout);
    // The stream's end-of-file and error flags stay set, so an ended input
    // stays ended for every dialog that asks afterwards, including reads
    // made elsewhere in the program.
    if (console_input_ended()) return CONSOLE_INPUT_ENDED;
    for (;;) {
        errno = 0;
        if (fgets(line, CONSOLE_LINE_SIZE, stdin) != nullptr) return 0;
        // A signal that interrupts the read is no reason to give up on the
        // operator; anything else (end of file, hang-up, EIO on a terminal
        // that went away, a closed descriptor) means no answer will come.
        if (ferror(stdin) && errno == EINTR) {
            clearerr(stdin);
            continue;
        }
        break;
    }
    line[0] = '\0';
    return CONSOLE_INPUT_ENDED;
}

int32_t console_input_ended() {
    return (feof(stdin) || ferror(stdin)) ? 1 : 0;
}

int32_t console_ask(const char* prompt, char (&line)[CONSOLE_LINE_SIZE]) {
    do {
        fputs(prompt, stdout);
        if (console_read_line(line) < 0) return CONSOLE_INPUT_ENDED;
    } while (line[0] == '\n');
    return 0;
}

int32_t console_ask_number(const char* prompt, int32_t* value) {
    char line[CONSOLE_LINE_SIZE];
    if (console_ask(prompt, line) < 0) return CONSOLE_INPUT_ENDED;
    *value = text_number(line);
    return 0;
}

int32_t console_wait_enter() {
    puts("Press ENTER to continue");
    char line[CONSOLE_LINE_SIZE];
    return console_read_line(line);
}
