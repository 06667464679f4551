// SPDX-License-Identifier: GPL-2.0-or-later
#include "cardtest/card_test_console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <span>

#include "base/console_wake.h"
#include "base/diag.h"
#include "base/pause.h"
#include "base/signals.h"
#include "base/term.h"
#include "cardtest/card_screen.h"
#include "cardtest/card_test_lines.h"
#include "cardtest/card_test_table.h"
#include "cardtest/card_test_worker.h"
#include "cardtest/reader_test_state.h"
#include "cardtest/terminal_guard.h"
#include "discovery/reader_list.h"

namespace {

constexpr const char* CONSOLE_TITLE = "Card testing:";
constexpr const char* CONSOLE_RULE =
    "----------------------------------------------------------------------------";
constexpr int CONSOLE_FIRST_ROW = 2; // below the title and its rule
constexpr int CONSOLE_FOOTER_ROWS = 4;

// What tells the console that the terminal may no longer show its drawing.
struct ScreenWatch {
    uint32_t diag_seen; // diag_written at the last redraw
    winsize size;       // terminal size at the last redraw
};

int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Starts a worker on every testable Reader that is not under test yet,
// after joining the threads of the workers that have ended. The session's
// lock is held throughout: no worker ends meanwhile.
void enumeration_pass(CardTestSession* session) {
    std::lock_guard<std::mutex> lock(session->lock);
    card_test_reap(session);
    if (readers_enumerate() == 0) return;
    ReaderSnapshot listed;
    readers_snapshot(&listed);
    for (Reader* r : std::span(listed.readers, static_cast<size_t>(listed.count))) {
        if (reader_is_open(r)) continue;
        if (r->model == nullptr || r->model->can_test_cards == 0) {
            diag(2, "Device does not support card testing\n");
            continue;
        }
        if (card_test_start_reader(session, r, card_test_worker) == 0)
            session->workers.fetch_add(1);
    }
}

// Under the session's lock: no worker closes its Reader or releases its
// state meanwhile, so the frame shows every open Reader with its state.
void take_frame(CardTestSession* session) {
    ReaderSnapshot listed;
    readers_snapshot(&listed);
    std::lock_guard<std::mutex> lock(session->lock);
    ConsoleFrame* frame = &session->frame;
    frame->count = 0;
    for (Reader* r : std::span(listed.readers, static_cast<size_t>(listed.count)))
        if (reader_is_open(r)) card_view_take(session, r, &frame->views[frame->count++]);
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
void draw_iteration(CardTestSession* session, ScreenWatch* watch, bool enumerated) {
    CardScreen* screen = &session->screen;
    const ConsoleFrame& frame = session->frame;
    const bool notice = session->workers.load() == 0;
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
void run_iterations(CardTestSession* session, ScreenWatch* watch) {
    int64_t next_enumeration = monotonic_ms();
    int64_t last_draw = next_enumeration - CONSOLE_REDRAW_PAUSE_MS;
    while (quit_requested.load() == 0) {
        const bool enumerate = monotonic_ms() >= next_enumeration;
        if (enumerate) next_enumeration = monotonic_ms() + CONSOLE_ENUMERATE_MS;
        if (diag_written.load() != watch->diag_seen)
            pause_ms(static_cast<int>(last_draw + CONSOLE_REDRAW_PAUSE_MS - monotonic_ms()));
        // The session's lock is never held while sleeping or writing to
        // the terminal.
        if (enumerate) enumeration_pass(session);
        take_frame(session);
        draw_iteration(session, watch, enumerate);
        last_draw = monotonic_ms();
        console_wake_wait(static_cast<int>(next_enumeration - last_draw));
    }
}

// Asks every worker to stop at once, each to close its Reader only when let
// (a wait for a report cannot be cut short, so they all wait out theirs
// together). Marks in asked the Readers of listed asked.
void request_stops(CardTestSession* session, const ReaderSnapshot& listed,
                   bool (&asked)[READER_LIST_MAX]) {
    std::lock_guard<std::mutex> lock(session->lock);
    for (int i = 0; i < listed.count; ++i) {
        const Reader* r = listed.readers[i];
        ReaderTestState* state = card_test_state(session, r);
        asked[i] = r->model != nullptr && r->model->can_test_cards != 0 && reader_is_open(r) &&
                   state != nullptr;
        if (!asked[i]) continue;
        state->close_held = 1;
        state->stop_requested = 1;
    }
}

// Lets the Reader's worker close it and waits until it has.
void await_close(CardTestSession* session, Reader* reader) {
    std::unique_lock<std::mutex> lock(session->lock);
    if (ReaderTestState* state = card_test_state(session, reader)) state->close_held = 0;
    session->changed.notify_all();
    session->changed.wait(lock, [reader] { return !reader_is_open(reader); });
}

void shut_down(CardTestSession* session, TerminalGuard* guard) {
    terminal_guard_off(guard);
    std::fputs("\nShutting down, please wait...\n", stdout);
    std::fflush(stdout);
    signals_watch(SignalWatch::none);
    // The Readers close one after another in list order, as each is let.
    ReaderSnapshot listed;
    readers_snapshot(&listed);
    bool asked[READER_LIST_MAX] = {};
    request_stops(session, listed, asked);
    for (int i = 0; i < listed.count; ++i)
        if (asked[i]) await_close(session, listed.readers[i]);
    // Once their threads are joined, no worker touches a Reader or the
    // session any more, and the caller may free the list.
    card_test_join_all(session);
    std::fputs("\nPress ENTER to continue\n", stdout);
    std::fflush(stdout);
    // At the end of standard input fgets returns at once: nothing to wait for.
    char answer[CONSOLE_ANSWER_SIZE];
    const char* got = std::fgets(answer, sizeof answer, stdin);
    (void)got;
}

} // namespace

int32_t card_test_run(CardTestSession* session) {
    quit_requested = 0;
    session->workers = 0;
    CardScreen& screen = session->screen;
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
    signals_watch(SignalWatch::card_test);
    run_iterations(session, &watch);
    shut_down(session, &guard);
    // No worker is left to wake the console, no handler either.
    diag_written_hook = nullptr;
    console_wake_close();
    return 0;
}
