#include "engine/msg_buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace drennic {

// A ring of one entry could never hold a frame.
MsgBuffer::MsgBuffer(std::size_t capacity) noexcept : capacity_(std::max<std::size_t>(capacity, 2)) {}

MsgBuffer::~MsgBuffer() = default;

void MsgBuffer::create() {
    std::lock_guard lock(mutex_);
    if (!ring_) {
        ring_ = std::make_unique<Entry[]>(capacity_);
    }
    writePosition_ = 0;
    readPosition_ = 0;
    dropped_ = 0;
}

void MsgBuffer::release() {
    std::unique_ptr<Entry[]> ring;
    {
        std::lock_guard lock(mutex_);
        ring = std::move(ring_);
        writePosition_ = 0;
        readPosition_ = 0;
    }
    frameArrived_.notify_all();
}

bool MsgBuffer::created() const {
    std::lock_guard lock(mutex_);
    return ring_ != nullptr;
}

void MsgBuffer::put(const CANFrame& frame) {
    {
        std::lock_guard lock(mutex_);
        if (!ring_) {
            return;
        }
        Entry& entry = ring_[writePosition_];
        entry.timeMs = frame.timeMs;
        entry.timeUs = frame.timeUs;
        entry.id = frame.id;
        entry.length = std::min<uint8_t>(frame.length, 8);
        entry.flags = frame.flags;
        std::memcpy(entry.data, frame.data, entry.length);
        writePosition_ = next(writePosition_);
        if (writePosition_ == readPosition_) {
            // Full: the newest frames matter more to the engine than the oldest.
            readPosition_ = next(readPosition_);
            ++dropped_;
        }
    }
    frameArrived_.notify_one();
}

bool MsgBuffer::get(CANFrame& out, uint32_t waitMs) {
    std::unique_lock lock(mutex_);
    if (!ring_) {
        return false;
    }
    if (readPosition_ == writePosition_) {
        // A timed wait with no time left would still sleep for the timer's slack.
        if (waitMs == 0) {
            return false;
        }
        frameArrived_.wait_for(lock, std::chrono::milliseconds(waitMs),
                               [this] { return !ring_ || readPosition_ != writePosition_ || wakeRequested_; });
        wakeRequested_ = false;
        if (!ring_ || readPosition_ == writePosition_) {
            return false;
        }
    }
    const Entry& entry = ring_[readPosition_];
    out.timeMs = entry.timeMs;
    out.timeUs = entry.timeUs;
    out.id = entry.id;
    out.length = entry.length;
    out.flags = entry.flags;
    std::memcpy(out.data, entry.data, entry.length);
    readPosition_ = next(readPosition_);
    return true;
}

void MsgBuffer::wake() {
    {
        std::lock_guard lock(mutex_);
        wakeRequested_ = true;
    }
    frameArrived_.notify_all();
}

std::size_t MsgBuffer::pending() const {
    std::lock_guard lock(mutex_);
    return writePosition_ >= readPosition_ ? writePosition_ - readPosition_
                                           : capacity_ - readPosition_ + writePosition_;
}

uint64_t MsgBuffer::droppedFrames() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

} // namespace drennic
