// The received-frame ring between the server client's reader thread and the engine thread.
#include "msg_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace drennic {
namespace {

using Clock = std::chrono::steady_clock;

CANFrame frameWithId(uint32_t id, uint8_t length = 8) {
    CANFrame frame{};
    frame.id = id;
    frame.length = length;
    frame.timeMs = id * 3;
    frame.timeUs = id % 1000;
    for (uint8_t i = 0; i < 8; ++i) {
        frame.data[i] = static_cast<uint8_t>(id + i);
    }
    return frame;
}

TEST(MsgBuffer, FullRingDropsTheOldestFrame) {
    MsgBuffer buffer;
    buffer.create();
    for (uint32_t i = 1; i <= MsgBuffer::kCapacity; ++i) {
        buffer.put(frameWithId(i));
    }
    EXPECT_EQ(buffer.pending(), MsgBuffer::kCapacity - 1);
    EXPECT_EQ(buffer.droppedFrames(), 1u);
    CANFrame out{};
    ASSERT_TRUE(buffer.get(out));
    EXPECT_EQ(out.id, 2u);
    EXPECT_EQ(out.timeMs, 6u);
}

TEST(MsgBuffer, FramesComeOutInOrderAcrossTheWrap) {
    MsgBuffer buffer(5);
    buffer.create();
    CANFrame out{};
    uint32_t nextExpected = 1;
    // Three at a time through a ring of five: never full, so nothing is dropped across the wraps.
    for (uint32_t i = 1; i <= 23; ++i) {
        buffer.put(frameWithId(i));
        if (i % 3 == 0) {
            while (buffer.get(out, 0)) {
                EXPECT_EQ(out.id, nextExpected++);
            }
        }
    }
    while (buffer.get(out, 0)) {
        EXPECT_EQ(out.id, nextExpected++);
    }
    EXPECT_EQ(nextExpected, 24u);
    EXPECT_EQ(buffer.droppedFrames(), 0u);
}

TEST(MsgBuffer, GetCopiesOnlyTheStoredFields) {
    MsgBuffer buffer;
    buffer.create();
    CANFrame in = frameWithId(0x581, 3);
    in.timeMsOverflow = 77;
    in.flags = DRN_FLAG_EXTENDED | DRN_FLAG_ERROR;
    buffer.put(in);
    buffer.put(frameWithId(0x123, 0));

    CANFrame out;
    std::memset(&out, 0xEE, sizeof out);
    ASSERT_TRUE(buffer.get(out));
    EXPECT_EQ(out.id, 0x581u);
    EXPECT_EQ(out.length, 3);
    EXPECT_EQ(out.flags, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR);
    EXPECT_EQ(out.timeMs, in.timeMs);
    EXPECT_EQ(out.timeUs, in.timeUs);
    EXPECT_EQ(out.timeMsOverflow, 0xEEEEEEEEu) << "the overflow word is neither stored nor returned";
    EXPECT_EQ(0, std::memcmp(out.data, in.data, 3));
    for (int i = 3; i < 8; ++i) {
        EXPECT_EQ(out.data[i], 0xEE) << "byte " << i << " lies behind the length";
    }

    ASSERT_TRUE(buffer.get(out));
    EXPECT_EQ(out.id, 0x123u);
    EXPECT_EQ(out.length, 0);
    EXPECT_EQ(out.data[0], 0x81) << "a frame of length 0 copies no data";
}

TEST(MsgBuffer, OverlongLengthIsStoredAsEight) {
    MsgBuffer buffer;
    buffer.create();
    buffer.put(frameWithId(5, 200));
    CANFrame out{};
    ASSERT_TRUE(buffer.get(out));
    EXPECT_EQ(out.length, 8);
}

TEST(MsgBuffer, GetOnAnEmptyRingReturnsAfterAboutTenMilliseconds) {
    MsgBuffer buffer;
    buffer.create();
    CANFrame out{};
    const auto start = Clock::now();
    EXPECT_FALSE(buffer.get(out));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(MsgBuffer, PutWakesAWaitingGet) {
    MsgBuffer buffer;
    buffer.create();
    auto reader = std::async(std::launch::async, [&] {
        CANFrame out{};
        // A long wait: only the put can end it early.
        const bool got = buffer.get(out, 20'000);
        return got ? out.id : 0u;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    buffer.put(frameWithId(0x42));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(reader.get(), 0x42u);
}

TEST(MsgBuffer, UncreatedRingIgnoresPutsAndAnswersGetsAtOnce) {
    MsgBuffer buffer;
    buffer.put(frameWithId(1));
    CANFrame out{};
    const auto start = Clock::now();
    EXPECT_FALSE(buffer.get(out, 20'000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    buffer.create();
    EXPECT_FALSE(buffer.get(out, 0)) << "the put before create() was not kept";
}

TEST(MsgBuffer, CreateAgainEmptiesTheRingAndReleaseEndsAWait) {
    MsgBuffer buffer;
    buffer.create();
    buffer.put(frameWithId(1));
    buffer.create();
    CANFrame out{};
    EXPECT_FALSE(buffer.get(out, 0));

    auto reader = std::async(std::launch::async, [&] { return buffer.get(out, 20'000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    buffer.release();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    EXPECT_FALSE(buffer.created());
}

} // namespace
} // namespace drennic
