// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_test_console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/diag.h"
#include "base/pause.h"
#include "base/quit.h"
#include "base/term.h"
#include "cardtest/card_screen.h"
#include "cardtest/card_test_lines.h"
#include "cardtest/card_test_table.h"
#include "cardtest/card_test_worker.h"
#include "cardtest/console_wake.h"
#include "cardtest/reader_test_state.h"
#include "cardtest/terminal_guard.h"
#include "discovery/reader_list.h"

namespace {

constexpr const char* CONSOLE_TITLE = "Card testing:";
constexpr const char* CONSOLE_RULE =
    "----------------------------------------------------------------------------";
constexpr int CONSOLE_FIRST_ROW = 2; // below the title and its rule
constexpr int CONSOLE_FOOTER_ROWS = 4;

// Everything drawn in one iteration, copied while list_lock is held.
struct ConsoleFrame {
    ReaderView views[READER_LIST_MAX];
    int count;
};

// What tells the console that the terminal may no longer show its drawing.
struct ScreenWatch {
    uint32_t diag_seen; // diag_written at the last redraw
    winsize size;       // terminal size at the last redraw
};

void install_signal_handler(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

// A new terminal size is repaired at once.
void on_resize(int) {
    console_wake();
}

int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Starts a worker on every testable Reader that is not under test yet,
// after joining the threads of the workers that have ended, before
// enumeration may free their Readers. Caller holds list_lock.
void enumeration_pass() {
    card_test_reap();
    if (readers_enumerate() == 0) return;
    for (Reader* r = reader_first(); r != nullptr; r = r->next) {
        if (reader_is_open(r)) continue;
        if (r->model == nullptr || r->model->can_test_cards == 0) {
            diag(2, "Device does not support card testing\n");
            continue;
        }
        if (card_test_start_reader(r, card_test_worker) == 0) test_workers.fetch_add(1);
    }
}

// Caller holds list_lock: the workers cannot release a state meanwhile.
void take_frame(ConsoleFrame* frame) {
    frame->count = 0;
    for (Reader* r = reader_first(); r != nullptr && frame->count < READER_LIST_MAX; r = r->next)
        if (reader_is_open(r)) card_view_take(r, &frame->views[frame->count++]);
}

int rows_of(const ConsoleFrame& frame, bool notice) {
    int rows = CONSOLE_FIRST_ROW + CONSOLE_FOOTER_ROWS + (notice ? 1 : 0);
    for (int i = 0; i < frame.count; ++i)
        rows += card_line_has_data(frame.views[i]) ? 3 : 2;
    return rows;
}

// The terminal's size; zero rows and columns when standard output is not a
// terminal or does not tell.
winsize terminal_size() {
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) size = {};
    return size;
}

// Whether the terminal holds the whole drawing without scrolling or
// wrapping; anything that is not a terminal of known size is taken as one.
bool terminal_holds(const winsize& size, int rows) {
    if (size.ws_row == 0 || size.ws_col == 0) return true;
    return size.ws_row >= rows && size.ws_col >= SCREEN_COLUMNS;
}

// Whether something but the drawing may have changed the terminal since the
// last redraw: a diagnostic on standard error, which shares the terminal
// and scrolls it when the cursor waits on its last row, or a new size,
// which may have reflowed or cleared it.
bool screen_disturbed(ScreenWatch* watch, const winsize& size) {
    const uint32_t written = diag_written.load();
    const bool disturbed = written != watch->diag_seen || size.ws_row != watch->size.ws_row ||
                           size.ws_col != watch->size.ws_col;
    watch->diag_seen = written;
    watch->size = size;
    return disturbed;
}

// Returns the row below the last one drawn.
int draw_readers(CardScreen* screen, const ConsoleFrame& frame) {
    int row = CONSOLE_FIRST_ROW;
    for (int i = 0; i < frame.count; ++i) {
        const ReaderView& view = frame.views[i];
        char line[CARD_LINE_SIZE];
        card_line_reader(view, line);
        card_screen_put(screen, row++, line, true, false);
        card_line_card(view, line);
        card_screen_put(screen, row++, line, true, false);
        if (!card_line_has_data(view)) continue;
        card_line_data(view, line);
        card_screen_put(screen, row++, line, true, false);
    }
    return row;
}

void draw_footer(CardScreen* screen, int row) {
    card_screen_put(screen, row, CONSOLE_RULE, true, false);
    card_screen_put(screen, row + 1, "(CTRL+C to exit)", true, false);
    card_screen_put(screen, row + 2, "", true, false);
    card_screen_put(screen, row + 3, "", false, false);
    card_screen_place_cursor(screen, row + 3, SCREEN_COLUMNS - 1);
    card_screen_end_drawing(screen, row + CONSOLE_FOOTER_ROWS);
}

// One redraw. The terminal gets the same picture as if every line were
// printed in place, but only rows that differ from what the screen record
// says the terminal shows are sent. The record is forgotten, and so every
// row sent, title included, when the terminal may show something else:
// after a diagnostic or a resize (repaired at this redraw), at an
// enumeration pass (whatever else wrote there, every few seconds), and
// while the drawing does not fit (it scrolls as plain printing would).
void draw_iteration(CardScreen* screen, ScreenWatch* watch, const ConsoleFrame& frame,
                    bool enumerated) {
    const bool notice = test_workers.load() == 0;
    const winsize size = terminal_size();
    const bool fits = terminal_holds(size, rows_of(frame, notice));
    if (screen_disturbed(watch, size) || enumerated || !fits) card_screen_forget(screen);
    card_screen_put(screen, 0, CONSOLE_TITLE, true, false);
    card_screen_put(screen, 1, CONSOLE_RULE, true, false);
    int row = draw_readers(screen, frame);
    if (notice) card_screen_put(screen, row++, "NO TESTABLE READERS FOUND", true, false);
    draw_footer(screen, row);
    std::fflush(stdout);
}

// Redraws whenever something may have changed what the screen shows: a
// worker changed a row, a diagnostic was written, the terminal changed its
// size (each wakes the console), and at every enumeration pass. Between
// these the console sleeps and the terminal gets nothing. Repairs after
// diagnostics come at most every CONSOLE_REDRAW_PAUSE_MS, however many are
// written.
void run_iterations(CardScreen* screen, ScreenWatch* watch, ConsoleFrame* frame) {
    int64_t next_enumeration = monotonic_ms();
    int64_t last_draw = next_enumeration - CONSOLE_REDRAW_PAUSE_MS;
    while (quit_requested.load() == 0) {
        const bool enumerate = monotonic_ms() >= next_enumeration;
        if (enumerate) next_enumeration = monotonic_ms() + CONSOLE_ENUMERATE_MS;
        if (diag_written.load() != watch->diag_seen)
            pause_ms(static_cast<int>(last_draw + CONSOLE_REDRAW_PAUSE_MS - monotonic_ms()));
        {
            // A worker ends (closes its Reader, releases its state) only
            // under list_lock, so while it is held here enumeration cannot
            // free a Reader still in use and every state copied is live.
            // It is never held while sleeping or writing to the terminal.
            std::lock_guard<std::mutex> lock(list_lock);
            if (enumerate) enumeration_pass();
            take_frame(frame);
        }
        draw_iteration(screen, watch, *frame, enumerate);
        last_draw = monotonic_ms();
        console_wake_wait(static_cast<int>(next_enumeration - last_draw));
    }
}

// Asks every worker to stop at once, each to close its Reader only when let
// (a wait for a report cannot be cut short, so they all wait out theirs
// together). The Readers asked, in list order, go to asked; their count.
int request_stops(Reader* (&asked)[READER_LIST_MAX]) {
    std::lock_guard<std::mutex> lock(list_lock);
    int count = 0;
    for (Reader* r = reader_first(); r != nullptr && count < READER_LIST_MAX; r = r->next) {
        ReaderTestState* state = card_test_state(r);
        if (r->model == nullptr || r->model->can_test_cards == 0 || !reader_is_open(r) ||
            state == nullptr)
            continue;
        state->close_held = 1;
        state->stop_requested = 1;
        asked[count++] = r;
    }
    return count;
}

// Lets the Reader's worker close it and waits until it has; list_lock is
// held only to reach the state, never while waiting.
void await_close(Reader* reader) {
    {
        std::lock_guard<std::mutex> lock(list_lock);
        if (ReaderTestState* state = card_test_state(reader)) card_test_release_close(state);
    }
    while (reader_is_open(reader))
        console_wake_wait(CONSOLE_STOP_POLL_MS);
}

void shut_down(TerminalGuard* guard) {
    terminal_guard_off(guard);
    std::fputs("\nShutting down, please wait...\n", stdout);
    std::fflush(stdout);
    install_signal_handler(SIGINT, SIG_DFL);
    install_signal_handler(SIGWINCH, SIG_DFL);
    // The Readers close one after another in list order, as each is let.
    Reader* asked[READER_LIST_MAX];
    const int count = request_stops(asked);
    for (int i = 0; i < count; ++i)
        await_close(asked[i]);
    // Every stopped worker closed its Reader inside list_lock and finished
    // its last steps in that same critical section; once their threads are
    // joined, none of them touches a Reader any more, and the caller may
    // free the list.
    card_test_join_all();
    std::fputs("\nPress ENTER to continue\n", stdout);
    std::fflush(stdout);
    // At the end of standard input fgets returns at once: nothing to wait for.
    char answer[CONSOLE_ANSWER_SIZE];
    const char* got = std::fgets(answer, sizeof answer, stdin);
    (void)got;
}

// "Received signal %d\n" with write(2) alone: stdio is not safe in a signal
// handler, so the number is formatted by hand.
void write_signal_trace(int signal_number) {
    static constexpr char PREFIX[] = "Received signal ";
    char text[sizeof PREFIX + 16];
    std::memcpy(text, PREFIX, sizeof PREFIX - 1);
    size_t n = sizeof PREFIX - 1;
    char digits[12];
    int count = 0;
    unsigned value = signal_number < 0 ? 0u : static_cast<unsigned>(signal_number);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < static_cast<int>(sizeof digits));
    while (count > 0)
        text[n++] = digits[--count];
    text[n++] = '\n';
    const ssize_t written = write(STDERR_FILENO, text, n);
    (void)written;
}

} // namespace

void card_test_on_signal(int signal_number) {
    if (diag_verbosity >= 2) write_signal_trace(signal_number);
    quit_requested.store(1);
    console_wake();
}

int32_t card_test_run() {
    quit_requested = 0;
    test_workers = 0;
    // One console at a time; its screen record and frame (about 45 KB) stay
    // off the stack.
    static struct {
        CardScreen screen;
        ConsoleFrame frame;
    } console;
    CardScreen& screen = console.screen;
    ConsoleFrame& frame = console.frame;
    ScreenWatch watch = {diag_written.load(), terminal_size()};
    console_wake_open();
    diag_written_hook = console_wake;
    term_clear();
    card_screen_cleared(&screen);
    card_screen_put(&screen, 0, CONSOLE_TITLE, true, true);
    card_screen_put(&screen, 1, CONSOLE_RULE, true, true);
    std::fflush(stdout);
    TerminalGuard guard;
    terminal_guard_on(&guard);
    install_signal_handler(SIGINT, card_test_on_signal);
    install_signal_handler(SIGWINCH, on_resize);
    run_iterations(&screen, &watch, &frame);
    shut_down(&guard);
    // No worker is left to wake the console, no handler either.
    diag_written_hook = nullptr;
    console_wake_close();
    return 0;
}
