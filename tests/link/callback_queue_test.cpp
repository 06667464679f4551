// The per-reader callback queue: first in, first out, owning its records.
#include <gtest/gtest.h>

#include "discovery/reader.h"
#include "link/callback_queue.h"

namespace {

class CallbackQueue : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(cb_queue_init(&reader), 0); }
    void TearDown() override { cb_queue_destroy(&reader); }
    Reader reader;
};

TEST_F(CallbackQueue, HandsOutInArrivalOrder) {
    const uint8_t data[3] = {'a', 'b', 'c'};
    for (uint16_t code = 1; code <= 3; ++code)
        ASSERT_EQ(cb_queue_push(&reader, code, code, data), 0);
    for (uint16_t want = 1; want <= 3; ++want) {
        uint16_t code = 0;
        uint32_t length = 0;
        uint8_t* p = nullptr;
        ASSERT_EQ(cb_queue_peek(&reader, &code, &length, &p), 0);
        EXPECT_EQ(code, want);
        EXPECT_EQ(length, want);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p), length), std::string("abc", want));
        uint8_t copy[3];
        ASSERT_EQ(cb_queue_pop(&reader, &code, &length, copy), 0);
        EXPECT_EQ(copy[0], 'a');
    }
    uint16_t code = 99;
    uint32_t length = 99;
    uint8_t* p = nullptr;
    EXPECT_EQ(cb_queue_peek(&reader, &code, &length, &p), 1);
    EXPECT_EQ(code, 99) << "outputs untouched when empty";
    EXPECT_EQ(reader.cb_head, nullptr);
    EXPECT_EQ(reader.cb_tail, nullptr);
}

TEST_F(CallbackQueue, RecordWithoutData) {
    ASSERT_EQ(cb_queue_push(&reader, 4, 0, nullptr), 0);
    uint16_t code;
    uint32_t length = 7;
    uint8_t* p;
    ASSERT_EQ(cb_queue_peek(&reader, &code, &length, &p), 0);
    EXPECT_EQ(length, 0u);
}

TEST_F(CallbackQueue, PopWithoutOutputsOnlyRemoves) {
    const uint8_t data[1] = {1};
    cb_queue_push(&reader, 1, 1, data);
    cb_queue_push(&reader, 2, 1, data);
    EXPECT_EQ(cb_queue_pop(&reader, nullptr, nullptr, nullptr), 0);
    uint16_t code;
    uint32_t length;
    uint8_t* p;
    ASSERT_EQ(cb_queue_peek(&reader, &code, &length, &p), 0);
    EXPECT_EQ(code, 2);
}

TEST_F(CallbackQueue, EmptiedQueueStartsOverAtHeadAndTail) {
    cb_queue_push(&reader, 1, 0, nullptr);
    cb_queue_pop(&reader, nullptr, nullptr, nullptr);
    EXPECT_EQ(cb_queue_pop(&reader, nullptr, nullptr, nullptr), 1);
    cb_queue_push(&reader, 5, 0, nullptr);
    EXPECT_EQ(reader.cb_head, reader.cb_tail);
    EXPECT_NE(reader.cb_head, nullptr);
}

TEST_F(CallbackQueue, DestroyDiscardsQueuedRecords) {
    const uint8_t data[100] = {};
    for (int i = 0; i < 10; ++i)
        cb_queue_push(&reader, 1, sizeof data, data);
    EXPECT_EQ(cb_queue_destroy(&reader), 0);
    EXPECT_EQ(reader.cb_head, nullptr);
    EXPECT_EQ(reader.cb_tail, nullptr);
}

} // namespace
