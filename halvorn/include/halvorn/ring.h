// The ring discipline shared by the server and its clients.
//
// Writer: wait for the ring's mutex (500 ms; on failure the entry is dropped), copy the entry into
// slot [write index], advance the index with wrap, release, then set or pulse the ring's event.
// Writers never wait for readers: a slow reader is overwritten.
// Reader: keeps its own position; takes one entry at a time under the mutex and hands the copy on
// only after releasing it, so no handler ever runs while a ring mutex is held.
//
// Every ring has a count of the entries written, kept beside the block (RingRestart::position) and
// advanced with the write index under the ring's mutex; it never goes round. Readers follow the count
// and read only while the header agrees with it: a header that disagrees has been scribbled on (a
// program that died halfway through an update, a faulty program) and is written back from the count,
// so the ring goes on where it was and no slot is ever read twice. A new server starts every ring
// afresh in a new epoch; readers that find a new epoch drop what they had not read (counted as lost,
// never delivered) and follow the ring from slot 0.
//
// The rings the clients write (commands, frames to send): every client advances the count. The server
// repairs a header that disagrees with it; a client writer that finds one waits for the repair. A
// reader that the writers have lapped (the count went further than the ring holds since its last look)
// counts what it lost and goes on with the oldest entry still in the ring.
//
// The rings only the server writes (responses, received frames): the server keeps its own copy of
// the count and writes header and count back from it as it writes. A count that moves backwards, or
// further than the ring holds since the last look, may itself have been scribbled on: it puts the
// reader at the current position without reading (what it skipped is counted). An entry may be lost
// then, but none is ever delivered twice.
#pragma once

#include "halvorn/server_block.h"
#include "platform/ipc.h"

#include <algorithm>
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

// What a repair found in the header it replaced, and the count it wrote the header back from.
struct RingRepair {
    uint32_t capacity = 0;
    uint32_t writeIndex = 0;
    uint64_t position = 0;
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
    std::memcpy(slot.requestTag, entry.requestTag, sizeof slot.requestTag);
    slot.length = entry.length;
    std::memcpy(slot.data, entry.data, static_cast<std::size_t>(entry.length));
    slot.processId = entry.processId;
}
inline void storeEntry(ServerFrame& slot, const ServerFrame& entry) noexcept { slot = entry; }

// Copy out of the ring. The length is read once and checked before any data byte is copied.
[[nodiscard]] inline bool loadEntry(ServerCommand& out, const ServerCommand& slot) noexcept {
    out.code = slot.code;
    std::memcpy(out.requestTag, slot.requestTag, sizeof out.requestTag);
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

// Who writes a ring: every client (commands, frames to send), or only the server.
enum class RingWriters { Clients, Server };

// One ring of the block with its mutex and event. Does not own them. Writing is safe from any
// thread of any process.
template <typename Entry>
class RingChannel {
public:
    RingChannel(ServerRing<Entry>& ring, RingRestart& restart, platform::NamedMutex& mutex,
                platform::NamedEvent& event, RingSignal signal, RingWriters writers) noexcept
        : ring_(ring), restart_(restart), mutex_(mutex), event_(event), signal_(signal),
          serverWritten_(writers == RingWriters::Server) {}

    // `repaired` (when given) learns what a scribbled header held before this write put it right.
    [[nodiscard]] RingWriteResult write(const Entry& entry, std::optional<RingRepair>* repaired = nullptr) {
        if (!ring_detail::entryValid(entry)) return RingWriteResult::Rejected;
        {
            platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
            if (!lock.held()) return RingWriteResult::LockFailed;
            if (!writeAtPosition(entry, repaired)) return RingWriteResult::Unusable;
        }
        if (signal_ == RingSignal::Set) {
            event_.set();
        } else {
            event_.pulse();
        }
        return RingWriteResult::Written;
    }

    // Writes the initial state (capacity, write index 0) in a new epoch. Only the server does this,
    // at its start: whatever a dead server left in the ring is gone for every reader. The caller
    // becomes the keeper of the write position of a ring only the server writes.
    void initialise() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        // Written even when the lock is not had: the server's start-up state wins over a stale holder.
        restartEmpty();
        if (serverWritten_) {
            kept_.store(0);
            keeper_.store(true);
        }
    }

    // The server's repair, under the mutex: a header that disagrees with the count of entries written
    // (the server's own copy of it for a ring only the server writes) is written back from the count.
    // Returns what the header held when it was repaired; nothing when it was sound (or the mutex was
    // not had: the next pass tries again).
    [[nodiscard]] std::optional<RingRepair> repairIfCorrupt() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        if (!lock.held()) return std::nullopt;
        const uint64_t position = keeper_.load() ? kept_.load() : this->position();
        if (agreesWith(position)) return std::nullopt;
        const RingRepair found{ring_detail::loadIndex(ring_.header.capacity),
                               ring_detail::loadIndex(ring_.header.writeIndex), position};
        publish(position);
        return found;
    }

    // A look without the mutex: for a writer waiting for a repair, and the server's quick check
    // before it takes the mutex.
    [[nodiscard]] bool headerLooksValid() const noexcept {
        return agreesWith(keeper_.load(std::memory_order_relaxed) ? kept_.load(std::memory_order_relaxed)
                                                                  : position());
    }
    [[nodiscard]] uint32_t epoch() const noexcept { return ring_detail::loadIndex(restart_.epoch); }
    [[nodiscard]] bool serverWritten() const noexcept { return serverWritten_; }
    [[nodiscard]] uint64_t position() const noexcept {
        return std::atomic_ref<uint64_t>(restart_.position).load(std::memory_order_acquire);
    }

    [[nodiscard]] ServerRing<Entry>& ring() noexcept { return ring_; }
    [[nodiscard]] const RingRestart& restart() const noexcept { return restart_; }
    [[nodiscard]] platform::NamedMutex& mutex() noexcept { return mutex_; }
    [[nodiscard]] platform::NamedEvent& event() noexcept { return event_; }

private:
    // Under the mutex. The keeper of a ring only the server writes writes at its own position and puts
    // a header that differs from it right; every other writer (the clients, a stand-in in a test)
    // follows the published count while the header agrees with it.
    bool writeAtPosition(const Entry& entry, std::optional<RingRepair>* repaired) noexcept {
        uint64_t position = 0;
        if (keeper_.load()) {
            position = kept_.load();
            if (!agreesWith(position) && repaired != nullptr) {
                *repaired = RingRepair{ring_detail::loadIndex(ring_.header.capacity),
                                       ring_detail::loadIndex(ring_.header.writeIndex), position};
            }
        } else {
            position = this->position();
            if (!agreesWith(position)) return false;
        }
        ring_detail::storeEntry(ring_.entries[position % kRingCapacity], entry);
        ++position;
        if (keeper_.load()) kept_.store(position);
        publish(position);
        return true;
    }

    [[nodiscard]] bool agreesWith(uint64_t position) const noexcept {
        return ring_detail::loadIndex(ring_.header.capacity) == kRingCapacity &&
               ring_detail::loadIndex(ring_.header.writeIndex) == position % kRingCapacity &&
               this->position() == position;
    }

    void publish(uint64_t position) noexcept {
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, static_cast<uint32_t>(position % kRingCapacity));
        std::atomic_ref<uint64_t>(restart_.position).store(position, std::memory_order_release);
    }

    void restartEmpty() noexcept {
        ring_detail::storeIndex(restart_.previousWriteIndex, ring_detail::loadIndex(ring_.header.writeIndex));
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, 0);
        std::atomic_ref<uint64_t>(restart_.position).store(0, std::memory_order_release);
        ring_detail::storeIndex(restart_.epoch, ring_detail::loadIndex(restart_.epoch) + 1);
    }

    ServerRing<Entry>& ring_;
    RingRestart& restart_;
    platform::NamedMutex& mutex_;
    platform::NamedEvent& event_;
    RingSignal signal_;
    const bool serverWritten_;
    // The keeper's own copy of the write position (the server, after initialise()).
    std::atomic<bool> keeper_{false};
    std::atomic<uint64_t> kept_{0};
};

// A reader with its own position. One thread at a time uses a reader.
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
        lastSeenWrite_ = write;
        unread_ = 0;
        next_ = channel_.position();
        delivered_ = next_;
        lastPosition_ = next_;
        epoch_ = channel_.epoch();
        return true;
    }

    // The stale slots that a scribbled header, as found by a repair, offered this reader beyond the
    // entries really written: those a reader that followed the header would have taken again.
    [[nodiscard]] uint32_t staleEntriesOffered(const RingRepair& found) const noexcept {
        if (!ring_detail::headerValid(found.capacity, found.writeIndex)) return 0;
        const uint64_t offered = (found.writeIndex + kRingCapacity - next_ % kRingCapacity) % kRingCapacity;
        const uint64_t unread = found.position > next_ ? found.position - next_ : 0;
        return offered > unread ? static_cast<uint32_t>(offered - unread) : 0;
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
            takeAtPosition(out, write, result);
        }
        return result;
    }

    // A look without the mutex: true when the ring may hold an entry this reader has not taken.
    [[nodiscard]] bool mayHaveEntries() const noexcept {
        if (channel_.epoch() != epoch_) return true;
        return channel_.position() != lastPosition_ || next_ < lastPosition_;
    }

private:
    // Under the mutex: follows the published count, and only while the header agrees with it. Never
    // reads an entry before the last one it delivered.
    void takeAtPosition(Entry& out, uint32_t write, RingRead& result) noexcept {
        const uint64_t position = channel_.position();
        if (position % kRingCapacity != write) {
            result.status = RingReadStatus::Unusable;  // scribbled on; the server writes it back
            return;
        }
        if (position < lastPosition_) {
            // Backwards: nothing of it is read; what lies behind the last delivered entry never again.
            next_ = std::max(std::min(next_, position), delivered_);
            lastPosition_ = position;
            syncIndexes();
            result.status = RingReadStatus::Empty;
            return;
        }
        lastPosition_ = position;
        if (position > next_ && position - next_ > kRingCapacity) {
            if (!channel_.serverWritten()) {
                // Lapped: the clients advance the count only as they write, so the whole ring is
                // unread; what it no longer holds is lost.
                addLost(result, position - kRingCapacity - next_);
                next_ = position - kRingCapacity;
            } else {
                // Further than the ring holds: skip to the writer without reading.
                addLost(result, position - next_);
                next_ = position;
                syncIndexes();
                result.status = RingReadStatus::Empty;
                return;
            }
        }
        syncIndexes();
        if (next_ >= position) {
            result.status = RingReadStatus::Empty;
            return;
        }
        const bool valid = ring_detail::loadEntry(out, channel_.ring().entries[next_ % kRingCapacity]);
        ++next_;
        delivered_ = next_;
        syncIndexes();
        result.status = valid ? RingReadStatus::Entry : RingReadStatus::Rejected;
    }

    static void addLost(RingRead& result, uint64_t count) noexcept {
        result.lost += static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX - result.lost));
    }

    // The index form of the position, for the restart count.
    void syncIndexes() noexcept {
        lastSeenWrite_ = static_cast<uint32_t>(lastPosition_ % kRingCapacity);
        unread_ = next_ < lastPosition_ ? static_cast<uint32_t>(lastPosition_ - next_) : 0;
    }

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
        lastSeenWrite_ = 0;
        unread_ = 0;
        next_ = 0;
        delivered_ = 0;
        lastPosition_ = 0;
        return static_cast<uint32_t>(dropped < kRingCapacity ? dropped : kRingCapacity);
    }

    RingChannel<Entry>& channel_;
    uint32_t lastSeenWrite_ = 0;  // the write index at our last look
    uint32_t unread_ = 0;         // entries written and not yet taken, as of our last look
    uint32_t epoch_ = 0;          // the ring's epoch that our position belongs to
    // Positions in the epoch.
    uint64_t next_ = 0;          // the next entry to read
    uint64_t delivered_ = 0;     // one past the last entry handed on: never read below it again
    uint64_t lastPosition_ = 0;  // the published position at our last look
};

} // namespace ostrel::halvorn
