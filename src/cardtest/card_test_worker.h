// SPDX-License-Identifier: GPL-2.0-or-later
// One thread per reader under test: set-up, card event polling and the
// exchanges that answer each event, then the release of the reader.
#pragma once

#include <cstdint>

struct CardTestSession;
struct Reader;
struct ReaderTestState;

// Thread body run with the session and the Reader under test.
using card_test_body_fn = int32_t (*)(CardTestSession* session, Reader* reader);

inline constexpr int CARD_SHOWN_S = 2; // without removal events, shown this long
// The longest wait for a report from an idle reader: a stop request cannot
// cut a wait short, so it is seen at the latest this much later.
inline constexpr int WORKER_WAIT_MAX_MS = 500;
inline constexpr int RESTORE_RETRY_PAUSE_MS = 100; // between tries after the restart

// Puts a closed Reader under test with a fresh test state (card_test_table),
// opens it and starts body on a new thread, kept in the table until the
// console joins it; the thread holds a reference to the Reader (reader_ref)
// until body has returned. 0; CARD_TEST_NOT_STARTED when the Reader is open
// or under test, or
// the state, the open or the thread failed (everything undone). Console
// thread only; caller holds the session's lock, so the worker cannot finish
// before its thread is kept.
int32_t card_test_start_reader(CardTestSession* session, Reader* reader, card_test_body_fn body);

// Worker thread body: waits for the reader, sets it up, polls it for card
// events until stop_requested, a link failure (LINK_IO_ERROR) or the Reader closes,
// waits while close_held is set, then closes the Reader and releases its
// test state, both under the session's lock, and notifies session->changed.
// Writes ready, card, timeout and gone to the bench record (card_record)
// before that. Always 0. Takes the session's lock to wait and at its end.
int32_t card_test_worker(CardTestSession* session, Reader* reader);

// Makes protocol the reader's volatile protocol, restarts the reader and,
// once it answers again, registers for card events and reads features and
// module texts again; busy answers are retried until stop_requested. The
// result of the last exchange; WORKER_NO_VOLATILE_PROTOCOL when the reader
// has no volatile protocol; a refused assignment's result. Worker thread; no lock held.
int32_t card_test_restore_protocol(CardTestSession* session, Reader* reader, int32_t protocol);
