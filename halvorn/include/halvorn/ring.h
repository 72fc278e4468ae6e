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
// The rings the clients write (commands, frames to send): every client advances the count, and stamps
// each slot it writes with the entry's place in the count and the epoch (slotStamp), so the count is
// checked, never trusted: it must agree with the header and be borne out by the stamps (the last entry
// it counts is stamped with its place, the next slot holds an older one), and for the server it must
// be in the epoch the server set and not behind the server's own copy. A count moved ahead, moved
// back, or given another epoch fails that, whatever it was moved by; writers then wait, and the
// server writes the record back from the stamps (the latest entry written in its epoch), so the rings
// go on where they were. The server takes a slot only when its stamp is the place it reads next, so
// nothing is ever taken twice; it checks the count when a slot is not, or when the count is further
// ahead than the ring holds. A reader that the writers have really lapped (the stamps bear the count
// out) counts what it lost and goes on with the oldest entry still in the ring. A writer checks the
// epoch again before it counts its entry: one stopped inside its write while a new server started the
// ring afresh drops the entry rather than carry its old count into the new epoch.
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
    Restarted,   // a new server started the ring afresh while we were writing: entry dropped, not counted
};

// What a repair found in the header and the record it replaced, and the count it wrote them back from.
struct RingRepair {
    uint32_t capacity = 0;
    uint32_t writeIndex = 0;
    uint64_t count = 0;
    uint32_t epoch = 0;
    uint64_t restored = 0;
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
[[nodiscard]] inline uint64_t loadCount(const uint64_t& word) noexcept {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(word)).load(std::memory_order_acquire);
}
inline void storeCount(uint64_t& word, uint64_t value) noexcept {
    std::atomic_ref<uint64_t>(word).store(value, std::memory_order_release);
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
    // `clientStamps`: the slots' stamps of a ring the clients write; none for a ring only the server writes.
    RingChannel(ServerRing<Entry>& ring, RingRestart& restart, uint64_t* clientStamps,
                platform::NamedMutex& mutex, platform::NamedEvent& event, RingSignal signal) noexcept
        : ring_(ring), restart_(restart), stamps_(clientStamps), mutex_(mutex), event_(event), signal_(signal) {}

    // `repaired` (when given) learns what a scribbled header held before this write put it right.
    [[nodiscard]] RingWriteResult write(const Entry& entry, std::optional<RingRepair>* repaired = nullptr) {
        if (!ring_detail::entryValid(entry)) return RingWriteResult::Rejected;
        {
            platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
            if (!lock.held()) return RingWriteResult::LockFailed;
            const RingWriteResult r = serverWritten() ? writeAtPosition(entry, repaired) : writeForClient(entry);
            if (r != RingWriteResult::Written) return r;
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
    // becomes the keeper of the ring: it keeps its own copy of the epoch and of where the ring stands.
    void initialise() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        // Written even when the lock is not had: the server's start-up state wins over a stale holder.
        restartEmpty();
        kept_.store(0);
        keptEpoch_.store(epoch());
        keeper_.store(true);
    }

    // The server's repair, under the mutex. A ring only the server writes gets its header back from the
    // server's own count. A ring the clients write whose header or record (count, epoch) is not borne
    // out gets both back from the stamps: the latest entry written in the server's epoch. Returns what
    // was found when it was repaired; nothing when it was sound (or the mutex was not had: the next
    // pass tries again).
    [[nodiscard]] std::optional<RingRepair> repairIfCorrupt() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        if (!lock.held()) return std::nullopt;
        const uint64_t count = position();
        RingRepair found{ring_detail::loadIndex(ring_.header.capacity), ring_detail::loadIndex(ring_.header.writeIndex),
                         count, epoch(), keeper_.load() ? kept_.load() : count};
        if (serverWritten()) {
            if (agreesWith(found.restored)) return std::nullopt;
        } else {
            if (clientRingSound(count)) return std::nullopt;
            found.restored = stampedCount(trustedEpoch());
            ring_detail::storeIndex(restart_.epoch, trustedEpoch());
            if (keeper_.load(std::memory_order_relaxed)) kept_.store(found.restored, std::memory_order_relaxed);
        }
        publish(found.restored);
        return found;
    }

    // A look without the mutex: for a writer waiting for a repair, and the server's quick check
    // before it takes the mutex.
    [[nodiscard]] bool headerLooksValid() const noexcept {
        if (!serverWritten()) return clientRingSound(position());
        return agreesWith(keeper_.load(std::memory_order_relaxed) ? kept_.load(std::memory_order_relaxed)
                                                                  : position());
    }

    // Rings the clients write, under the mutex. True when the count is borne out; the keeper then takes
    // it as its own copy of where the ring stands.
    [[nodiscard]] bool countTrusted(uint64_t count) noexcept {
        // A count once borne out stays so until a writer moves it on, and a writer stamps first.
        const bool keeper = keeper_.load(std::memory_order_relaxed);
        if (keeper && count == kept_.load(std::memory_order_relaxed) && epoch() == keptEpoch_.load() &&
            agreesWith(count)) {
            return true;
        }
        if (!clientRingSound(count)) return false;
        if (keeper) kept_.store(count, std::memory_order_relaxed);
        return true;
    }
    // The slot of `position` holds the entry written there in the epoch the ring is trusted in.
    [[nodiscard]] bool stamped(uint64_t position) const noexcept { return stamped(position, trustedEpoch()); }
    // The keeper's own copy of the epoch; for anybody else the record's.
    [[nodiscard]] uint32_t trustedEpoch() const noexcept {
        return keeper_.load(std::memory_order_relaxed) ? keptEpoch_.load(std::memory_order_relaxed) : epoch();
    }

    [[nodiscard]] uint32_t epoch() const noexcept { return ring_detail::loadIndex(restart_.epoch); }
    [[nodiscard]] bool serverWritten() const noexcept { return stamps_ == nullptr; }
    [[nodiscard]] uint64_t position() const noexcept { return ring_detail::loadCount(restart_.position); }

    [[nodiscard]] ServerRing<Entry>& ring() noexcept { return ring_; }
    [[nodiscard]] const RingRestart& restart() const noexcept { return restart_; }
    [[nodiscard]] platform::NamedMutex& mutex() noexcept { return mutex_; }
    [[nodiscard]] platform::NamedEvent& event() noexcept { return event_; }

private:
    // Under the mutex, a ring only the server writes. Its keeper writes at its own position and puts a
    // header that differs from it right; any other writer (a stand-in in a test) follows the published
    // count while the header agrees with it.
    RingWriteResult writeAtPosition(const Entry& entry, std::optional<RingRepair>* repaired) noexcept {
        uint64_t position = 0;
        if (keeper_.load()) {
            position = kept_.load();
            if (!agreesWith(position) && repaired != nullptr) {
                *repaired = RingRepair{ring_detail::loadIndex(ring_.header.capacity),
                                       ring_detail::loadIndex(ring_.header.writeIndex), this->position(), epoch(),
                                       position};
            }
        } else {
            position = this->position();
            if (!agreesWith(position)) return RingWriteResult::Unusable;
        }
        ring_detail::storeEntry(ring_.entries[position % kRingCapacity], entry);
        ++position;
        if (keeper_.load()) kept_.store(position);
        publish(position);
        return RingWriteResult::Written;
    }

    // Under the mutex, a ring the clients write: only at a count that is borne out, and counted only in
    // the epoch it was written in. A new server that found the mutex held too long (its writer stopped
    // in here) has started the ring afresh meanwhile: our count is the dead server's, and carrying it
    // into the new epoch would hand the new server the old entries.
    RingWriteResult writeForClient(const Entry& entry) noexcept {
        const uint32_t epoch = trustedEpoch();
        const uint64_t count = position();
        if (!clientRingSound(count)) return RingWriteResult::Unusable;
        ring_detail::storeEntry(ring_.entries[count % kRingCapacity], entry);
        if (this->epoch() != epoch) return RingWriteResult::Restarted;
        ring_detail::storeCount(stamps_[count % kRingCapacity], slotStamp(epoch, count));
        publish(count + 1);
        return RingWriteResult::Written;
    }

    [[nodiscard]] bool stamped(uint64_t position, uint32_t epoch) const noexcept {
        return position < kStampPlaceLimit &&
               ring_detail::loadCount(stamps_[position % kRingCapacity]) == slotStamp(epoch, position);
    }

    // A ring the clients write: header and record agree, the record is in the trusted epoch and, for the
    // keeper, not behind its copy; the last entry counted is stamped with its place and the slot to be
    // written next holds an older entry (or one of another epoch).
    [[nodiscard]] bool clientRingSound(uint64_t count) const noexcept {
        const uint32_t epoch = trustedEpoch();
        const auto slot = static_cast<uint32_t>(count % kRingCapacity);
        if (this->epoch() != epoch || ring_detail::loadIndex(ring_.header.capacity) != kRingCapacity ||
            ring_detail::loadIndex(ring_.header.writeIndex) != slot || position() != count) {
            return false;
        }
        if (count >= kStampPlaceLimit || (keeper_.load(std::memory_order_relaxed) &&
                                          count < kept_.load(std::memory_order_relaxed))) {
            return false;
        }
        const uint64_t last = ring_detail::loadCount(stamps_[slot == 0 ? kRingCapacity - 1 : slot - 1]);
        if (count != 0 && last != slotStamp(epoch, count - 1)) return false;
        const uint64_t next = ring_detail::loadCount(stamps_[slot]);
        return next == kUnstamped || next >> kStampPlaceBits != (epoch & 0xFFFF) ||
               (next & (kStampPlaceLimit - 1)) < count;
    }

    // One past the latest entry stamped in the epoch. Writers write only at a count the stamps bear out,
    // so this is where they really stand.
    [[nodiscard]] uint64_t stampedCount(uint32_t epoch) const noexcept {
        uint64_t count = 0;
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            const uint64_t place = stamp & (kStampPlaceLimit - 1);
            if (stamp != kUnstamped && stamp == slotStamp(epoch, place) && place % kRingCapacity == slot) {
                count = std::max(count, place + 1);
            }
        }
        return count;
    }

    [[nodiscard]] bool agreesWith(uint64_t position) const noexcept {
        return ring_detail::loadIndex(ring_.header.capacity) == kRingCapacity &&
               ring_detail::loadIndex(ring_.header.writeIndex) == position % kRingCapacity &&
               this->position() == position;
    }

    void publish(uint64_t position) noexcept {
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, static_cast<uint32_t>(position % kRingCapacity));
        ring_detail::storeCount(restart_.position, position);
    }

    void restartEmpty() noexcept {
        ring_detail::storeIndex(restart_.previousWriteIndex, ring_detail::loadIndex(ring_.header.writeIndex));
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, 0);
        ring_detail::storeCount(restart_.position, 0);
        // A new epoch starts with no slot stamped, whatever epoch the record held.
        for (uint32_t slot = 0; stamps_ != nullptr && slot < kRingCapacity; ++slot) {
            ring_detail::storeCount(stamps_[slot], kUnstamped);
        }
        ring_detail::storeIndex(restart_.epoch, ring_detail::loadIndex(restart_.epoch) + 1);
    }

    ServerRing<Entry>& ring_;
    RingRestart& restart_;
    uint64_t* const stamps_;
    platform::NamedMutex& mutex_;
    platform::NamedEvent& event_;
    RingSignal signal_;
    // The keeper's own copy of the epoch and of where the ring stands (the server, after initialise()):
    // the count it writes from, or, for a ring the clients write, the last count it found borne out.
    std::atomic<bool> keeper_{false};
    std::atomic<uint64_t> kept_{0};
    std::atomic<uint32_t> keptEpoch_{0};
};

// A reader with its own position. One thread at a time uses a reader.
template <typename Entry>
class RingReader {
public:
    // Starts at index 0 of the ring's current epoch, as the server's readers do.
    explicit RingReader(RingChannel<Entry>& channel) noexcept : channel_(channel), epoch_(channel.trustedEpoch()) {}

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

    // The stale slots that a scribbled header or record, as found by a repair, offered this reader
    // beyond the entries really written: those a reader that followed them would have taken again (by
    // the header up to its write index; by the count up to it, from slot 0 in another epoch).
    [[nodiscard]] uint32_t staleEntriesOffered(const RingRepair& found) const noexcept {
        uint64_t offered = 0;
        if (ring_detail::headerValid(found.capacity, found.writeIndex)) {
            offered = (found.writeIndex + kRingCapacity - next_ % kRingCapacity) % kRingCapacity;
        }
        const uint64_t from = found.epoch == epoch_ ? next_ : 0;
        if (found.count > from) {
            offered = std::max<uint64_t>(offered, std::min<uint64_t>(found.count - from, kRingCapacity));
        }
        const uint64_t unread = found.restored > next_ ? found.restored - next_ : 0;
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
            if (!channel_.serverWritten()) {
                takeFromClients(out, result);
                return result;
            }
            if (channel_.epoch() != epoch_) {
                result.lost = catchUpWithRestart(channel_.epoch());
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
    // Under the mutex, a ring the clients write: takes a slot only when its stamp says it holds the entry
    // at our place. One that does not, or a count further ahead than the ring holds, has the count
    // checked: it was lapped (what the ring no longer holds is lost) or scribbled on (the server writes
    // it back; we read on then).
    void takeFromClients(Entry& out, RingRead& result) noexcept {
        if (channel_.trustedEpoch() != epoch_) {
            result.lost = catchUpWithRestart(channel_.trustedEpoch());
            result.restarted = true;
        }
        const uint64_t count = channel_.position();
        if (count > next_ && (count - next_ > kRingCapacity || !channel_.stamped(next_))) {
            if (!channel_.countTrusted(count)) {
                result.status = RingReadStatus::Unusable;
                return;
            }
            if (count - next_ > kRingCapacity) {
                addLost(result, count - kRingCapacity - next_);
                next_ = count - kRingCapacity;
            }
            for (; next_ < count && !channel_.stamped(next_); ++next_) addLost(result, 1);
        }
        lastPosition_ = count;
        result.status = RingReadStatus::Empty;
        if (next_ < count) {
            const bool valid = ring_detail::loadEntry(out, channel_.ring().entries[next_ % kRingCapacity]);
            delivered_ = ++next_;
            result.status = valid ? RingReadStatus::Entry : RingReadStatus::Rejected;
        }
        syncIndexes();
    }

    // Under the mutex, a ring only the server writes: follows the published count, and only while the
    // header agrees with it. Never reads an entry before the last one it delivered.
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
            // Further than the ring holds: skip to the writer without reading.
            addLost(result, position - next_);
            next_ = position;
            syncIndexes();
            result.status = RingReadStatus::Empty;
            return;
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
    uint32_t catchUpWithRestart(uint32_t epoch) noexcept {
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
