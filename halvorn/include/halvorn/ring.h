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
//
// The server owns the rings' consistency. A header outside its range (a client that died halfway
// through an update, a faulty program) is repaired by the server under the ring's mutex: the ring
// starts afresh, empty, with a new epoch (RingRestart). A new server starts every ring the same way.
// Readers that find a new epoch drop what they had not read (counted as lost, never delivered) and
// follow the ring from slot 0; a client writer that finds a broken header waits for the repair.
#pragma once

#include "halvorn/server_block.h"
#include "platform/ipc.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>

namespace ostrel::halvorn {

enum class RingSignal { Set, Pulse };

enum class RingWriteResult {
    Written,
    LockFailed,  // mutex not obtained within 500 ms: entry dropped, no event
    Rejected,    // the entry's length is out of range: nothing copied
    Unusable,    // the ring header is not initialised (capacity 0) or is corrupt
};

// What a repair found in the header it replaced.
struct RingRepair {
    uint32_t capacity = 0;
    uint32_t writeIndex = 0;
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
    uint32_t lost = 0;  // entries overwritten, or dropped by a restart, before this reader got to them
    bool restarted = false;  // the ring was started afresh since the last look
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

// Every ring the server sets up has exactly kRingCapacity slots; anything else is not a ring to use.
[[nodiscard]] inline bool headerValid(uint32_t capacity, uint32_t writeIndex) noexcept {
    return capacity == kRingCapacity && writeIndex < capacity;
}

} // namespace ring_detail

// One ring of the block with its mutex and event. Does not own them. Writing is safe from any
// thread of any process.
template <typename Entry>
class RingChannel {
public:
    RingChannel(ServerRing<Entry>& ring, RingRestart& restart, platform::NamedMutex& mutex,
                platform::NamedEvent& event, RingSignal signal) noexcept
        : ring_(ring), restart_(restart), mutex_(mutex), event_(event), signal_(signal) {}

    [[nodiscard]] RingWriteResult write(const Entry& entry) {
        if (!ring_detail::entryValid(entry)) return RingWriteResult::Rejected;
        {
            platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
            if (!lock.held()) return RingWriteResult::LockFailed;
            const uint32_t capacity = ring_detail::loadIndex(ring_.header.capacity);
            const uint32_t index = ring_detail::loadIndex(ring_.header.writeIndex);
            if (!ring_detail::headerValid(capacity, index)) return RingWriteResult::Unusable;
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

    // Writes the initial state (capacity, write index 0) in a new epoch. Only the server does this,
    // at its start: whatever a dead server left in the ring is gone for every reader.
    void initialise() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        // Written even when the lock is not had: the server's start-up state wins over a stale holder.
        restartEmpty();
    }

    // The server's repair: a header out of range is set back to an empty ring in a new epoch, under
    // the mutex. Returns what the header held when it was repaired; nothing when it was sound (or the
    // mutex was not had: the next pass tries again).
    [[nodiscard]] std::optional<RingRepair> repairIfCorrupt() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        if (!lock.held()) return std::nullopt;
        RingRepair found;
        found.capacity = ring_detail::loadIndex(ring_.header.capacity);
        found.writeIndex = ring_detail::loadIndex(ring_.header.writeIndex);
        if (ring_detail::headerValid(found.capacity, found.writeIndex)) return std::nullopt;
        restartEmpty();
        return found;
    }

    // A look without the mutex, for a writer waiting for a repair.
    [[nodiscard]] bool headerLooksValid() const noexcept {
        return ring_detail::headerValid(ring_detail::loadIndex(ring_.header.capacity),
                                        ring_detail::loadIndex(ring_.header.writeIndex));
    }
    [[nodiscard]] uint32_t epoch() const noexcept { return ring_detail::loadIndex(restart_.epoch); }

    [[nodiscard]] ServerRing<Entry>& ring() noexcept { return ring_; }
    [[nodiscard]] const RingRestart& restart() const noexcept { return restart_; }
    [[nodiscard]] platform::NamedMutex& mutex() noexcept { return mutex_; }
    [[nodiscard]] platform::NamedEvent& event() noexcept { return event_; }

private:
    void restartEmpty() noexcept {
        ring_detail::storeIndex(restart_.previousWriteIndex, ring_detail::loadIndex(ring_.header.writeIndex));
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, 0);
        ring_detail::storeIndex(restart_.epoch, ring_detail::loadIndex(restart_.epoch) + 1);
    }

    ServerRing<Entry>& ring_;
    RingRestart& restart_;
    platform::NamedMutex& mutex_;
    platform::NamedEvent& event_;
    RingSignal signal_;
};

// A reader with its own index. One reader belongs to one thread.
template <typename Entry>
class RingReader {
public:
    // Starts at index 0 of the ring's current epoch, as the server's readers do.
    explicit RingReader(RingChannel<Entry>& channel) noexcept : channel_(channel), epoch_(channel.epoch()) {}

    // Starts at the write index found now, so that only later entries are seen (a connecting
    // client). False when the mutex was not obtained; the index then stays 0.
    [[nodiscard]] bool startAtWriteIndex() {
        platform::NamedMutexLock lock(channel_.mutex(), kRingMutexWaitMs);
        if (!lock.held()) return false;
        const uint32_t capacity = ring_detail::loadIndex(channel_.ring().header.capacity);
        const uint32_t write = ring_detail::loadIndex(channel_.ring().header.writeIndex);
        if (!ring_detail::headerValid(capacity, write)) return false;
        index_ = write;
        lastSeenWrite_ = write;
        unread_ = 0;
        epoch_ = channel_.epoch();
        return true;
    }

    // Follows a restart of the ring at once (the server after its own repair). Returns the entries
    // this reader had not taken and now never will.
    [[nodiscard]] uint32_t followRestart() {
        platform::NamedMutexLock lock(channel_.mutex(), kRingMutexWaitMs);
        if (!lock.held()) return 0;
        return catchUpWithRestart();
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
            if (!ring_detail::headerValid(capacity, write)) {
                result.status = RingReadStatus::Unusable;  // the server repairs it; we follow then
                return result;
            }
            if (channel_.epoch() != epoch_) {
                result.lost = catchUpWithRestart();
                result.restarted = true;
            }
            if (index_ >= capacity || lastSeenWrite_ >= capacity) {
                // Our own position left the ring: start again from what is written now.
                index_ = write;
                lastSeenWrite_ = write;
                unread_ = 0;
            }
            const uint32_t advance = (write + capacity - lastSeenWrite_) % capacity;
            lastSeenWrite_ = write;
            unread_ += advance;
            if (unread_ > capacity) {
                // The writer went past our position: the oldest entry left is at the write index.
                result.lost += unread_ - capacity;
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
        return unread_ != 0 || ring_detail::loadIndex(channel_.ring().header.writeIndex) != lastSeenWrite_ ||
               channel_.epoch() != epoch_;
    }

private:
    // Under the mutex: when the ring has been started afresh since our last look, drop what we had
    // not read of the old epoch and follow the new one from slot 0. Returns the entries dropped:
    // those we had seen written, and, when exactly one restart happened, those written after our
    // last look up to the write index the restart found.
    uint32_t catchUpWithRestart() noexcept {
        const uint32_t epoch = channel_.epoch();
        if (epoch == epoch_) return 0;
        uint64_t dropped = unread_;
        const uint32_t previous = ring_detail::loadIndex(channel_.restart().previousWriteIndex);
        if (epoch == epoch_ + 1 && previous < kRingCapacity && lastSeenWrite_ < kRingCapacity) {
            dropped += (previous + kRingCapacity - lastSeenWrite_) % kRingCapacity;
        }
        epoch_ = epoch;
        index_ = 0;
        lastSeenWrite_ = 0;
        unread_ = 0;
        return static_cast<uint32_t>(dropped < kRingCapacity ? dropped : kRingCapacity);
    }

    RingChannel<Entry>& channel_;
    uint32_t index_ = 0;          // next slot to read
    uint32_t lastSeenWrite_ = 0;  // the write index at our last look
    uint32_t unread_ = 0;         // entries written and not yet taken, as of our last look
    uint32_t epoch_ = 0;          // the ring's epoch that index_ belongs to
};

} // namespace ostrel::halvorn
