// SPDX-License-Identifier: GPL-2.0-or-later
// The readers under test in card test mode: for each, its test state and
// its worker thread, kept here so that the reader record carries nothing
// of card test mode. A worker thread is kept until the console joins it.
#pragma once

#include <thread>

struct Reader;
struct ReaderTestState;

// The Reader's test state; nullptr when it is not under test (never
// started, or its worker released the state). Any thread; the state stays
// valid while list_lock is held or on the Reader's own worker thread.
ReaderTestState* card_test_state(const Reader* reader);

// Puts the Reader under test with state (which its worker releases). A
// thread kept for an earlier worker of the Reader, or of the entry taken
// over, has ended and is joined first. 0; CARD_TEST_NOT_STARTED when the Reader is under test
// already or every entry belongs to a Reader under test. Console thread
// (or a test without workers); list_lock held.
int card_test_attach(Reader* reader, ReaderTestState* state);

// Keeps the worker thread of a Reader just attached. Console thread;
// list_lock held.
void card_test_keep_thread(const Reader* reader, std::thread worker);

// Takes the Reader out of test: its state is no longer found. Returns the
// state (the caller releases it), nullptr when there was none. The
// Reader's worker or the console; list_lock held.
ReaderTestState* card_test_detach(const Reader* reader);

// Joins the threads of workers whose state is released and frees their
// entries. The count joined. Console thread; list_lock held, so a worker
// whose state is released has left its last critical section.
int card_test_reap();

// Joins every kept worker thread and frees the entries without a state.
// The count joined. Console thread, after every worker was asked to stop;
// list_lock not held, since a worker takes it to end.
int card_test_join_all();
