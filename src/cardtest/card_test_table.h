// SPDX-License-Identifier: GPL-2.0-or-later
// One run of card test mode (CardTestSession): the readers under test, each
// with its test state and its worker thread, kept here so that the reader
// record carries nothing of card test mode, and everything else the run's
// threads share. A worker thread is kept until the console joins it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "cardtest/card_record.h"
#include "cardtest/card_screen.h"
#include "cardtest/card_test_lines.h"
#include "discovery/reader_list.h"

struct ReaderTestState;

// One reader under test. reader and state are written by the console (and
// state cleared by the reader's worker) under the session's lock; they are
// atomic because lookups read them from any thread. worker: console only.
struct TestEntry {
    std::atomic<const Reader*> reader{nullptr};
    std::atomic<ReaderTestState*> state{nullptr};
    std::thread worker;
};

struct CardTestSession {
    // Taken by the console while it enumerates, starts workers and copies
    // the states it draws, and by each worker around its end (close of the
    // Reader and release of its state): so a state found under it stays
    // valid until it is let go, and an open Reader always has its state.
    std::mutex lock;
    // With lock: a held close let go (close_held cleared), or a worker
    // closed its Reader.
    std::condition_variable changed;
    TestEntry entries[READER_LIST_MAX];
    // Running workers: the console adds one per started worker, each worker
    // subtracts one at its end under lock; read by the console (sequentially
    // consistent) to tell that no reader is under test.
    std::atomic<int32_t> workers{0};
    CardRecord record;  // the bench record (-o): its own lock and flag
    CardScreen screen;  // console thread only
    ConsoleFrame frame; // console thread only
};

// The Reader's test state; nullptr when it is not under test (never
// started, or its worker released the state). Any thread; the state stays
// valid while the session's lock is held or on the Reader's own worker.
ReaderTestState* card_test_state(CardTestSession* session, const Reader* reader);

// Copies reader and, when it has one, its test state (texts under
// text_lock) into *view; a Reader without a state looks like a fresh one.
// Caller holds the session's lock, so the state cannot be released
// meanwhile.
void card_view_take(CardTestSession* session, const Reader* reader, ReaderView* view);

// Puts the Reader under test with state (which its worker releases). A
// thread kept for an earlier worker of the Reader, or of the entry taken
// over, has ended and is joined first. 0; CARD_TEST_NOT_STARTED when the Reader is under test
// already or every entry belongs to a Reader under test. Console thread
// (or a test without workers); the session's lock held.
int card_test_attach(CardTestSession* session, Reader* reader, ReaderTestState* state);

// Keeps the worker thread of a Reader just attached. Console thread; the
// session's lock held.
void card_test_keep_thread(CardTestSession* session, const Reader* reader, std::thread worker);

// Takes the Reader out of test: its state is no longer found. Returns the
// state (the caller releases it), nullptr when there was none. The
// Reader's worker or the console; the session's lock held.
ReaderTestState* card_test_detach(CardTestSession* session, const Reader* reader);

// Joins the threads of workers whose state is released and frees their
// entries. The count joined. Console thread; the session's lock held, so
// a worker whose state is released has left its last critical section.
int card_test_reap(CardTestSession* session);

// Joins every kept worker thread and frees the entries without a state.
// The count joined. Console thread, after every worker was asked to stop;
// the session's lock not held, since a worker takes it to end.
int card_test_join_all(CardTestSession* session);
