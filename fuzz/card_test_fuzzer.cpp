// SPDX-License-Identifier: GPL-2.0-or-later
// A hostile reader under card test: the worker's set-up (status waits,
// module check, features, protocols, registration, module texts) and its
// polling for card events run on reports from the fuzz input. The stop
// request the console would send comes when the input is used up or after
// a number of reads the input chooses, and the worker must then end.
#include <cstdint>
#include <mutex>

#include "cardtest/card_test_table.h"
#include "cardtest/card_test_worker.h"
#include "cardtest/reader_test_state.h"
#include "discovery/reader_list.h"
#include "fake_hid.h"

namespace {

CardTestSession card_session;

constexpr size_t CONTROL_BYTES = 3;
constexpr unsigned READS_PER_STEP = 16;
Reader* under_test = nullptr;

void request_stop() {
    if (ReaderTestState* state = card_test_state(&card_session, under_test))
        state->stop_requested = 1;
}

// The worker body runs below on the fuzzing thread, so the started thread
// has nothing to do.
int32_t idle_body(CardTestSession*, Reader*) {
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < CONTROL_BYTES) return 0;
    fake_hid_reset(data + CONTROL_BYTES, size - CONTROL_BYTES);
    fake_hid.fail_write = data[0];
    fake_hid.products[0] = data[1] % READER_MODEL_COUNT;
    fake_hid.read_limit = data[2] == 0 ? 0 : data[2] * READS_PER_STEP;
    fake_hid.on_limit = request_stop;

    readers_init();
    if (readers_enumerate() == 1) {
        under_test = reader_first();
        std::unique_lock<std::mutex> lock(card_session.lock);
        const int32_t started = card_test_start_reader(&card_session, under_test, idle_body);
        lock.unlock();
        if (started == 0) {
            card_test_join_all(&card_session);
            card_session.workers.fetch_add(1);
            card_test_worker(&card_session, under_test);
            if (card_test_state(&card_session, under_test) != nullptr || reader_is_open(under_test))
                __builtin_trap();
        }
    }
    readers_exit();
    under_test = nullptr;
    return 0;
}
