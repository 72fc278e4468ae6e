// The queue of received frames between the CAN server client's reader thread (producer) and the
// engine thread (consumer, through the driver's Receive slot).
#pragma once

#include <drennic/drennic.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace drennic {

// One fixed ring that keeps the newest frames when the consumer falls behind: a put into a full ring
// drops the oldest unread frame. With N entries it holds at most N - 1 unread frames.
//
// Stored per frame: timeMs, timeUs, id, length, flags and the first `length` data bytes. A get writes
// only those into the caller's frame; timeMsOverflow and the data bytes behind `length` stay as the
// caller had them.
//
// Thread-safe for any number of producers and consumers; both positions are guarded by one lock, so
// a put into a full ring never tears a frame that is being read. Nothing is allocated after create().
class MsgBuffer {
public:
    static constexpr std::size_t kCapacity = 100'000;
    static constexpr uint32_t kGetWaitMs = 10;

    explicit MsgBuffer(std::size_t capacity = kCapacity) noexcept;
    ~MsgBuffer();
    MsgBuffer(const MsgBuffer&) = delete;
    MsgBuffer& operator=(const MsgBuffer&) = delete;

    // Allocates the ring (once) and empties it: both positions at entry 0, drop count 0.
    void create();
    // Frees the ring; puts are ignored and gets return false until the next create().
    void release();
    [[nodiscard]] bool created() const;

    // Stores a copy (a length above 8 is stored as 8) and wakes a waiting get. Nothing when the ring
    // was never created.
    void put(const CANFrame& frame);
    // The oldest unread frame into `out`; waits up to `waitMs` for one when the ring is empty. False
    // when none arrived or the ring was never created (then at once). With `waitMs` 0 it never waits.
    [[nodiscard]] bool get(CANFrame& out, uint32_t waitMs = kGetWaitMs);

    // Ends a get that is waiting now, or the next one, early (it returns false when no frame came).
    void wake();

    // Unread frames now, and frames dropped because the ring was full since create().
    [[nodiscard]] std::size_t pending() const;
    [[nodiscard]] uint64_t droppedFrames() const;

private:
    struct Entry {
        uint32_t timeMs;
        uint32_t timeUs;
        uint32_t id;
        uint8_t length;
        uint8_t flags;
        uint8_t data[8];
    };

    [[nodiscard]] std::size_t next(std::size_t position) const noexcept {
        return position + 1 == capacity_ ? 0 : position + 1;
    }

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable frameArrived_;
    std::unique_ptr<Entry[]> ring_;
    std::size_t writePosition_ = 0;
    std::size_t readPosition_ = 0;
    uint64_t dropped_ = 0;
    bool wakeRequested_ = false;
};

} // namespace drennic
