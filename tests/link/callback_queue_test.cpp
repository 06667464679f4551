// SPDX-License-Identifier: GPL-2.0-or-later
// The per-reader callback queue: first in, first out, owning its records.
#include <gtest/gtest.h>

#include <string>

#include "discovery/reader.h"
#include "link/callback_queue.h"

namespace {

TEST(CallbackQueue, HandsOutInArrivalOrderAndStartsOverWhenEmptied) {
    Reader reader;
    ASSERT_EQ(cb_queue_init(&reader), 0);
    const uint8_t data[3] = {'a', 'b', 'c'};
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(cb_queue_push(&reader, 4, 0, nullptr), 0);
        for (uint16_t code = 1; code <= 3; ++code)
            ASSERT_EQ(cb_queue_push(&reader, code, code, data), 0);
        EXPECT_EQ(cb_queue_pop(&reader, nullptr, nullptr, nullptr), 0) << "only removes";
        for (uint16_t want = 1; want <= 3; ++want) {
            uint16_t code = 0;
            uint32_t length = 0;
            uint8_t* p = nullptr;
            ASSERT_EQ(cb_queue_peek(&reader, &code, &length, &p), 0);
            EXPECT_EQ(code, want);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(p), length), std::string("abc", want));
            uint8_t copy[3] = {};
            ASSERT_EQ(cb_queue_pop(&reader, &code, &length, copy), 0);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(copy), length), std::string("abc", want));
        }
        uint16_t code = 99;
        uint32_t length = 99;
        uint8_t* p = nullptr;
        EXPECT_EQ(cb_queue_peek(&reader, &code, &length, &p), 1);
        EXPECT_EQ(code, 99) << "outputs untouched when empty";
        EXPECT_EQ(cb_queue_pop(&reader, nullptr, nullptr, nullptr), 1);
        EXPECT_EQ(reader.cb_head, nullptr);
        EXPECT_EQ(reader.cb_tail, nullptr);
    }
    for (int i = 0; i < 10; ++i)
        cb_queue_push(&reader, 1, sizeof data, data);
    EXPECT_EQ(cb_queue_destroy(&reader), 0);
    EXPECT_EQ(reader.cb_head, nullptr);
    EXPECT_EQ(reader.cb_tail, nullptr);
}

} // namespace
