// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/main_menu.h"

#include <cstdio>

#include "base/result.h"
#include "base/term.h"
#include "base/text.h"
#include "base/version.h"
#include "cardtest/card_test_console.h"
#include "cardtest/card_test_table.h"
#include "console/config_menu.h"
#include "console/console_input.h"
#include "console/reader_info.h"
#include "discovery/reader_list.h"

namespace {

constexpr int32_t CHOICE_EXIT = 99;
constexpr int32_t CHOICE_TEST_MODE = 100;
constexpr int32_t CHOICE_REFRESH = 101;
constexpr int32_t CHOICE_MAX = 101;
constexpr int32_t CHOICE_NONE = -1;
constexpr int RULE_WIDTH = 76;

void print_rule() {
    for (int i = 0; i < RULE_WIDTH; ++i)
        fputc('-', stdout);
    fputc('\n', stdout);
}

void print_reader_list() {
    ReaderSnapshot listed;
    if (readers_enumerate() == 0 || readers_snapshot(&listed) == 0) {
        puts("NO CONFIGURABLE READERS FOUND");
        return;
    }
    for (int i = 0; i < listed.count; ++i)
        printf("%d) %s, Ser.no.: %s\n", i, listed.readers[i]->model->description,
               listed.readers[i]->serial);
}

void draw_screen() {
    term_clear();
    printf("Norvane USB card reader configuration utility ver. %s, %s release\n\n"
           "List of available readers:\n",
           TOOL_VERSION, TOOL_RELEASE);
    print_rule();
    print_reader_list();
    print_rule();
    puts("99) Exit application\t100) Test mode\t101) Refresh reader list");
    puts("");
}

// The operator's choice, 0 to 101; only the prompt is repeated for anything
// else. CONSOLE_INPUT_ENDED when no more input can come.
int32_t read_choice(int32_t* choice) {
    char line[CONSOLE_LINE_SIZE];
    do {
        fputs("Enter number: ", stdout);
        if (console_read_line(line) < 0) return CONSOLE_INPUT_ENDED;
        *choice = line[0] == '\0' ? CHOICE_NONE : text_number(line);
    } while (*choice < 0 || *choice > CHOICE_MAX);
    return 0;
}

// Opens the configuration menu of the reader at index. CONSOLE_INPUT_ENDED
// when the operator's input ended meanwhile, else 0.
int32_t select_reader(int32_t index, ReportedConfig* reported) {
    Reader* reader = reader_by_index(index);
    if (reader == nullptr) {
        puts("\nCannot select given reader");
        puts("- Press ENTER to continue");
        char line[CONSOLE_LINE_SIZE];
        return console_read_line(line);
    }
    config_menu(reader, reported);
    return console_input_ended() ? CONSOLE_INPUT_ENDED : 0;
}

} // namespace

void main_menu() {
    // One record for the whole session: a value one report cannot read
    // stays as an earlier report, possibly of another reader, left it.
    ReportedConfig reported;
    for (;;) {
        draw_screen();
        int32_t choice = CHOICE_NONE;
        if (read_choice(&choice) < 0) break;
        if (choice == CHOICE_EXIT) break;
        if (choice == CHOICE_REFRESH) continue;
        if (choice == CHOICE_TEST_MODE) {
            CardTestSession session;
            card_test_run(&session);
            if (console_input_ended()) break;
            continue;
        }
        if (select_reader(choice, &reported) < 0) break;
    }
    fflush(stdout);
}
