// Producer and consumer hammering a small ring at once. Built with ThreadSanitizer, which reports any
// unguarded access; the frame checks catch a frame torn by a put that overtakes the reader.
#include "msg_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace drennic {
namespace {

// Every field of frame n is derived from n, so a mix of two frames shows.
CANFrame sequenceFrame(uint32_t n) {
    CANFrame frame{};
    frame.id = n;
    frame.timeMs = n * 7u;
    frame.timeUs = ~n;
    frame.length = static_cast<uint8_t>(1 + n % 8);
    frame.flags = static_cast<uint8_t>(n % 8);
    for (uint8_t i = 0; i < frame.length; ++i) {
        frame.data[i] = static_cast<uint8_t>((n >> (i % 4 * 8)) + i);
    }
    return frame;
}

bool consistent(const CANFrame& frame) {
    const CANFrame expected = sequenceFrame(frame.id);
    if (frame.timeMs != expected.timeMs || frame.timeUs != expected.timeUs || frame.length != expected.length ||
        frame.flags != expected.flags) {
        return false;
    }
    for (uint8_t i = 0; i < frame.length; ++i) {
        if (frame.data[i] != expected.data[i]) {
            return false;
        }
    }
    return true;
}

TEST(MsgBufferStress, ConcurrentPutAndGetNeverTearOrReorderFrames) {
    constexpr uint32_t kFrames = 300'000;
    MsgBuffer buffer(64);  // small, so that the producer laps the reader again and again
    buffer.create();
    std::atomic<bool> producerDone{false};

    std::thread producer([&] {
        for (uint32_t n = 1; n <= kFrames; ++n) {
            buffer.put(sequenceFrame(n));
        }
        producerDone.store(true);
    });

    uint64_t received = 0;
    uint64_t torn = 0;
    uint64_t outOfOrder = 0;
    uint32_t last = 0;
    CANFrame out{};
    for (;;) {
        const bool done = producerDone.load();
        if (buffer.get(out, 1)) {
            ++received;
            torn += consistent(out) ? 0 : 1;
            outOfOrder += out.id > last ? 0 : 1;
            last = out.id;
        } else if (done) {
            break;
        }
    }
    producer.join();

    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(last, kFrames) << "the newest frame is never dropped";
    EXPECT_EQ(received + buffer.droppedFrames(), kFrames) << "every frame was either read or counted as dropped";
}

TEST(MsgBufferStress, ReleaseDuringTrafficIsSafe) {
    MsgBuffer buffer(32);
    buffer.create();
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        uint32_t n = 1;
        while (!stop.load()) {
            buffer.put(sequenceFrame(n++));
        }
    });
    std::thread consumer([&] {
        CANFrame out{};
        while (!stop.load()) {
            if (buffer.get(out, 1)) {
                EXPECT_TRUE(consistent(out));
            }
        }
    });
    for (int round = 0; round < 200; ++round) {
        buffer.release();
        buffer.create();
    }
    stop.store(true);
    producer.join();
    consumer.join();
    EXPECT_TRUE(buffer.created());
}

} // namespace
} // namespace drennic
