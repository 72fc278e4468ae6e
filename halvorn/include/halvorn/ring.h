// The ring discipline shared by the server and its clients.
//
// Writer: wait for the ring's mutex (500 ms; on failure the entry is dropped), copy the entry into
// slot [write index], advance the index with wrap, release, then set or pulse the ring's event.
// Writers never wait for readers: a slow reader is overwritten.
// Reader: keeps its own index; takes one entry at a time under the mutex and hands the copy on
// only after releasing it, so no handler ever runs while a ring mutex is held.
//
// Besides the plain discipline a reader remembers the write index it saw last. When the writer
// has since passed the reader's position, the reader knows it was lapped: it reports how many
// entries were lost and goes on with the oldest entry still in the ring. A lap of exactly a whole
// ring between two looks leaves the indexes unchanged and cannot be seen.
#pragma once

#include "halvorn/server_block.h"
#include "platform/ipc.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace ostrel::halvorn {

enum class RingSignal { Set, Pulse };

enum class RingWriteResult {
    Written,
    LockFailed,  // mutex not obtained within 500 ms: entry dropped, no event
    Rejected,    // the entry's length is out of range: nothing copied
    Unusable,    // the ring header is not initialised (capacity 0) or is corrupt
};

enum class RingReadStatus {
    Entry,       // `out` holds the next entry
    Empty,       // nothing new
    LockFailed,  // mutex not obtained within 500 ms: end this pass
    Rejected,    // the slot's length is out of range: skipped; `out` holds its header only
    Unusable,    // the ring header is not initialised or is corrupt
};

struct RingRead {
    RingReadStatus status = RingReadStatus::Empty;
    uint32_t lost = 0;  // entries overwritten before this reader got to them (detected at this look)
};

namespace ring_detail {

[[nodiscard]] inline bool lengthValid(int32_t length) noexcept {
    return length >= 0 && length <= kCommandDataMax;
}
[[nodiscard]] inline bool entryValid(const ServerCommand& entry) noexcept { return lengthValid(entry.length); }
[[nodiscard]] inline bool entryValid(const ServerFrame& entry) noexcept { return entry.length <= kFrameDataMax; }

// Copy into the ring: exactly `length` data bytes of a command.
inline void storeEntry(ServerCommand& slot, const ServerCommand& entry) noexcept {
    slot.code = entry.code;
    std::memset(slot.unused, 0, sizeof slot.unused);
    slot.length = entry.length;
    std::memcpy(slot.data, entry.data, static_cast<std::size_t>(entry.length));
    slot.processId = entry.processId;
}
inline void storeEntry(ServerFrame& slot, const ServerFrame& entry) noexcept { slot = entry; }

// Copy out of the ring. The length is read once and checked before any data byte is copied.
[[nodiscard]] inline bool loadEntry(ServerCommand& out, const ServerCommand& slot) noexcept {
    out.code = slot.code;
    out.length = slot.length;
    out.processId = slot.processId;
    if (!lengthValid(out.length)) return false;
    std::memcpy(out.data, slot.data, static_cast<std::size_t>(out.length));
    return true;
}
[[nodiscard]] inline bool loadEntry(ServerFrame& out, const ServerFrame& slot) noexcept {
    out = slot;
    return out.length <= kFrameDataMax;
}

[[nodiscard]] inline uint32_t loadIndex(const uint32_t& word) noexcept {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(word)).load(std::memory_order_acquire);
}
inline void storeIndex(uint32_t& word, uint32_t value) noexcept {
    std::atomic_ref<uint32_t>(word).store(value, std::memory_order_release);
}

// The capacity as stored, when it can be used with the slots that exist.
[[nodiscard]] inline bool capacityUsable(uint32_t capacity) noexcept {
    return capacity >= 1 && capacity <= kRingCapacity;
}

} // namespace ring_detail

// One ring of the block with its mutex and event. Does not own them. Writing is safe from any
// thread of any process.
template <typename Entry>
class RingChannel {
public:
    RingChannel(ServerRing<Entry>& ring, platform::NamedMutex& mutex, platform::NamedEvent& event,
                RingSignal signal) noexcept
        : ring_(ring), mutex_(mutex), event_(event), signal_(signal) {}

    [[nodiscard]] RingWriteResult write(const Entry& entry) {
        if (!ring_detail::entryValid(entry)) return RingWriteResult::Rejected;
        {
            platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
            if (!lock.held()) return RingWriteResult::LockFailed;
            const uint32_t capacity = ring_detail::loadIndex(ring_.header.capacity);
            const uint32_t index = ring_detail::loadIndex(ring_.header.writeIndex);
            if (!ring_detail::capacityUsable(capacity) || index >= capacity) return RingWriteResult::Unusable;
            ring_detail::storeEntry(ring_.entries[index], entry);
            ring_detail::storeIndex(ring_.header.writeIndex, index + 1 == capacity ? 0 : index + 1);
        }
        if (signal_ == RingSignal::Set) {
            event_.set();
        } else {
            event_.pulse();
        }
        return RingWriteResult::Written;
    }

    // Writes the initial state (capacity, write index 0). Only the server does this, at its start.
    void initialise() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        // Written even when the lock is not had: the server's start-up state wins over a stale holder.
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, 0);
    }

    [[nodiscard]] ServerRing<Entry>& ring() noexcept { return ring_; }
    [[nodiscard]] platform::NamedMutex& mutex() noexcept { return mutex_; }
    [[nodiscard]] platform::NamedEvent& event() noexcept { return event_; }

private:
    ServerRing<Entry>& ring_;
    platform::NamedMutex& mutex_;
    platform::NamedEvent& event_;
    RingSignal signal_;
};

// A reader with its own index. One reader belongs to one thread.
template <typename Entry>
class RingReader {
public:
    // Starts at index 0, as the server's readers do.
    explicit RingReader(RingChannel<Entry>& channel) noexcept : channel_(channel) {}

    // Starts at the write index found now, so that only later entries are seen (a connecting
    // client). False when the mutex was not obtained; the index then stays 0.
    [[nodiscard]] bool startAtWriteIndex() {
        platform::NamedMutexLock lock(channel_.mutex(), kRingMutexWaitMs);
        if (!lock.held()) return false;
        const uint32_t capacity = ring_detail::loadIndex(channel_.ring().header.capacity);
        const uint32_t write = ring_detail::loadIndex(channel_.ring().header.writeIndex);
        if (!ring_detail::capacityUsable(capacity) || write >= capacity) return false;
        index_ = write;
        lastSeenWrite_ = write;
        unread_ = 0;
        return true;
    }

    // Takes the next entry into `out`.
    [[nodiscard]] RingRead read(Entry& out) {
        RingRead result;
        {
            platform::NamedMutexLock lock(channel_.mutex(), kRingMutexWaitMs);
            if (!lock.held()) {
                result.status = RingReadStatus::LockFailed;
                return result;
            }
            ServerRing<Entry>& ring = channel_.ring();
            const uint32_t capacity = ring_detail::loadIndex(ring.header.capacity);
            const uint32_t write = ring_detail::loadIndex(ring.header.writeIndex);
            if (!ring_detail::capacityUsable(capacity) || write >= capacity) {
                result.status = RingReadStatus::Unusable;
                return result;
            }
            if (index_ >= capacity || lastSeenWrite_ >= capacity) {
                // The ring was set up anew under us (a new server): nothing of ours is left in it.
                index_ = write;
                lastSeenWrite_ = write;
                unread_ = 0;
            }
            const uint32_t advance = (write + capacity - lastSeenWrite_) % capacity;
            lastSeenWrite_ = write;
            unread_ += advance;
            if (unread_ > capacity) {
                // The writer went past our position: the oldest entry left is at the write index.
                result.lost = unread_ - capacity;
                unread_ = capacity;
                index_ = write;
            }
            if (unread_ == 0) {
                result.status = RingReadStatus::Empty;
                return result;
            }
            const bool valid = ring_detail::loadEntry(out, ring.entries[index_]);
            index_ = index_ + 1 == capacity ? 0 : index_ + 1;
            --unread_;
            result.status = valid ? RingReadStatus::Entry : RingReadStatus::Rejected;
        }
        return result;
    }

    // A look without the mutex: true when the ring may hold an entry this reader has not taken.
    [[nodiscard]] bool mayHaveEntries() const noexcept {
        return unread_ != 0 || ring_detail::loadIndex(channel_.ring().header.writeIndex) != lastSeenWrite_;
    }

private:
    RingChannel<Entry>& channel_;
    uint32_t index_ = 0;          // next slot to read
    uint32_t lastSeenWrite_ = 0;  // the write index at our last look
    uint32_t unread_ = 0;         // entries written and not yet taken, as of our last look
};

} // namespace ostrel::halvorn
