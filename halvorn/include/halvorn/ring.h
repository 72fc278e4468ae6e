// The ring discipline shared by the server and its clients, the same for all four rings.
//
// The truth of a ring is what lies beside each slot in the record: its stamp, the place in the epoch of
// the entry the slot holds (slotStamp), and a check over the stamp and the entry's bytes. A writer copies
// its entry into the slot of its place, then writes the check and the stamp, under the ring's mutex; a
// reader takes a slot only when its stamp is the place it reads next, and hands the entry on only when
// the check agrees (otherwise it is skipped as rejected: its bytes are not what was written there).
// The header's write index and the record's count are hints that the server writes back; a reader looks
// at all the stamps only when the count says more was written than it finds.
//
// Where a writer writes: the server, which alone writes the response and receive rings, at its own
// count. The clients, which write the command and send rings, one past the latest place stamped in the
// epoch (whether or not its check agrees: the stamp is written after the check, so that place was
// written and only its bytes were scribbled on), never below the place the server reads next (the
// record's floor, which the server keeps), nor below the count the last writer left when the stamps of
// the latest entries were taken away (neither hint moves a writer more than a ring beyond the stamps or
// the other hint), nor below its own last place (forgotten once the keeper stamped its slot with an
// earlier place). A count, header or epoch word scribbled on moves no writer back, so no place is
// written twice; stamps more than a ring beyond the count, the floor and the writer's own place move
// nobody.
//
// A reader whose next place is not stamped while the count says it should be goes on at the first
// place stamped after it, wherever in the ring, and counts as lost every place it passed that may have
// held an entry (a slot still holding the entry of a lap before was never written again; a reader
// lapped by the writers goes on with the oldest entry still in the ring). In the rings the server
// writes, the record's check also covers the server's count, and a client's reader takes nothing at or
// beyond the count the check vouches for: an entry forged ahead of it, check and all, moves nobody.
//
// The server starts every ring afresh in an epoch that no slot, reader or hint is in yet: stamps cleared,
// epoch word advanced beyond the word's, the floor's and its own. It counts the entries of the epoch
// before (the one the record's check names, be it the word's, the floor's or a stamp's, else the one most
// entries are stamped in, in the rings it writes the floor's on a tie) from its stamps, check or not, and
// from the record's count when that is at most a ring beyond, and writes into the record how many
// entries all the epochs before its own held, with a check binding that number to its epoch (the rings
// it writes keep a second copy in the floor, which a new server takes only from the floor's own epoch,
// or when nothing told the epoch). It keeps epoch word, floor, number and check, and puts them back
// whenever it looks. A ring the clients write whose reader stands beyond every place the writers go on
// from (an entry forged far ahead took it there), or that holds a stamp near the end of the places, is
// started afresh too.
// A reader follows another epoch only once an entry is stamped in it and none is left of its own (an
// epoch word scribbled on changes nothing; in a ring the server writes, a stamp forged in the old epoch
// keeps nobody there once the record's check agrees with the new one and counts at least what the
// reader took), and only once the new record's check agrees (in a ring the clients write, or once the
// new epoch holds half a ring): the record's number, less the one its own epoch began with and the
// entries it took, is what it missed, however many servers started meanwhile (counted as lost). A reader
// whose epoch's number changes under it was started afresh by a server that could not tell its epoch
// from a new one, and follows that start. The server's own readers follow only the epoch it keeps.
// A client's writer writes only when the epoch word agrees with the floor the server set, and drops its
// entry when a new server started the ring while it was writing. Entries written while epoch word and
// floor were scribbled to agree on another epoch are counted lost by the server's reader, and each slot
// they took is stamped with the kept epoch's place it holds next, its check disagreeing: the entry it
// may have been written over is rejected (counted) and never written again.
#pragma once

#include "halvorn/server_block.h"
#include "platform/ipc.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <optional>

namespace ostrel::halvorn {

enum class RingSignal { Set, Pulse };

enum class RingWriteResult {
    Written,
    LockFailed,  // mutex not obtained within 500 ms: entry dropped, no event
    Rejected,    // the entry's length is out of range: nothing copied
    Unusable,    // the epoch word and the server's floor disagree, or the places ran out: wait for the server
    Restarted,   // a new server started the ring afresh while we were writing: entry dropped, not counted
};

// What the server found in a ring's hints and record when it wrote them back, and what it wrote.
struct RingRepair {
    uint32_t capacity = 0;
    uint32_t writeIndex = 0;
    uint64_t count = 0;
    uint32_t epoch = 0;
    uint64_t restored = 0;  // the count written back
};

enum class RingReadStatus {
    Entry,       // `out` holds the next entry
    Empty,       // nothing new
    LockFailed,  // mutex not obtained within 500 ms: end this pass
    Rejected,    // the slot's bytes are not what was written there (or its length is out of range): skipped
};

struct RingRead {
    RingReadStatus status = RingReadStatus::Empty;
    uint32_t lost = 0;  // places passed without an entry delivered (overwritten, scribbled on, a restart)
    bool restarted = false;  // the reader followed the ring into a new epoch
    // Empty, but the next place is stamped with bytes that disagree with its check: it is passed, as
    // rejected, once an entry is written after it (until then its writer may still write it).
    bool heldBack = false;
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

// The check beside a slot: the stamp and the bytes of the entry as written (a command's data up to its
// length), mixed eight bytes at a time.
inline uint64_t mix(uint64_t h, const void* bytes, std::size_t size) noexcept {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (; size >= 8; size -= 8, p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0x100000001B3ULL;
        h ^= h >> 29;
    }
    for (; size > 0; --size, ++p) h = (h ^ *p) * 0x100000001B3ULL;
    return h;
}
[[nodiscard]] inline uint64_t entryCheck(uint64_t stamp, const ServerCommand& entry) noexcept {
    uint64_t h = mix(0xCBF29CE484222325ULL ^ stamp, &entry, offsetof(ServerCommand, data));
    h = mix(h, &entry.processId, sizeof entry.processId);
    return lengthValid(entry.length) ? mix(h, entry.data, static_cast<std::size_t>(entry.length)) : ~h;
}
[[nodiscard]] inline uint64_t entryCheck(uint64_t stamp, const ServerFrame& entry) noexcept {
    return mix(0xCBF29CE484222325ULL ^ stamp, &entry, sizeof entry);
}
// The record's check over its epoch (the low 16 bits, as the stamps hold it) and its count of earlier entries.
[[nodiscard]] inline uint32_t recordCheck(uint32_t epoch, uint64_t earlier) noexcept {
    const uint64_t h = mix(0x84222325CBF29CE4ULL ^ (epoch & 0xFFFF), &earlier, sizeof earlier);
    return static_cast<uint32_t>(h ^ (h >> 32));
}
// The same for a ring the server writes, where it also covers the server's count.
[[nodiscard]] inline uint32_t recordCheck(uint32_t epoch, uint64_t earlier, uint64_t count) noexcept {
    uint64_t h = mix(0x84222325CBF29CE4ULL ^ (epoch & 0xFFFF), &earlier, sizeof earlier);
    h = mix(h, &count, sizeof count);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

[[nodiscard]] constexpr uint64_t placeOf(uint64_t stamp) noexcept { return stamp & (kStampPlaceLimit - 1); }
[[nodiscard]] constexpr uint32_t epochOf(uint64_t stamp) noexcept { return static_cast<uint32_t>(stamp >> kStampPlaceBits); }
[[nodiscard]] constexpr bool inEpoch(uint64_t stamp, uint32_t epoch) noexcept {
    return stamp >> kStampPlaceBits == (epoch & 0xFFFF);
}

} // namespace ring_detail

// One ring of the block with its stamps, mutex and event. Does not own them. Writing is safe from any
// thread of any process.
template <typename Entry>
class RingChannel {
public:
    RingChannel(ServerRing<Entry>& ring, RingRestart& record, uint64_t* stamps, uint64_t* checks, bool clientsWrite,
                platform::NamedMutex& mutex, platform::NamedEvent& event, RingSignal signal) noexcept
        : ring_(ring), record_(record), stamps_(stamps), checks_(checks), clientsWrite_(clientsWrite), mutex_(mutex),
          event_(event), signal_(signal) {}

    // `repaired` (when given) learns what scribbled hints the server's write put right.
    [[nodiscard]] RingWriteResult write(const Entry& entry, std::optional<RingRepair>* repaired = nullptr) {
        if (!ring_detail::entryValid(entry)) return RingWriteResult::Rejected;
        {
            platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
            if (!lock.held()) return RingWriteResult::LockFailed;
            const RingWriteResult r = writeLocked(entry, repaired);
            if (r != RingWriteResult::Written) return r;
        }
        if (signal_ == RingSignal::Set) {
            event_.set();
        } else {
            event_.pulse();
        }
        return RingWriteResult::Written;
    }

    // Starts the ring afresh in a new epoch (only the server, at its start): whatever a dead server left
    // is gone for every reader. The caller becomes the ring's keeper: it keeps the epoch and, for a ring
    // it writes, the count.
    void initialise() {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        // Written even when the lock is not had: the server's start-up state wins over a stale holder.
        restartFresh();
        keeper_.store(true);
    }

    // The keeper's look at the ring, under the mutex: the epoch word, the floor (rings the clients write:
    // `readerNext`, the place its reader takes next), the count of earlier entries with its check and the
    // hints go back to what it keeps or what the stamps say. Entries the clients wrote into another epoch
    // (epoch word and floor scribbled to agree) are counted lost by the keeper's reader, their slots marked
    // as places of the kept epoch that may have been written over. A ring whose places run out, or whose
    // reader stands beyond every place its writers go on from, is started afresh. Returns what it found
    // when it wrote anything back; nothing when all was sound or the mutex was not had (the next look
    // tries again).
    [[nodiscard]] std::optional<RingRepair> keep(uint64_t readerNext = 0) {
        platform::NamedMutexLock lock(mutex_, kRingMutexWaitMs);
        if (!lock.held() || !keeper_.load()) return std::nullopt;
        const uint32_t epoch = keptEpoch_.load();
        RingRepair found = seen();
        const uint64_t floor = keptFloor(readerNext);
        const uint64_t floorNow = ring_detail::loadCount(record_.floor);
        const bool epochSound = found.epoch == epoch && ring_detail::inEpoch(floorNow, epoch);
        const bool sound = epochSound && floorNow == floor && recordKept();
        if (clientsWrite_) {
            // A writer whose own last place lies near the end of the places can write no more.
            const bool placesLeft = highestStamped(epoch) < kStampPlaceLimit - 2 * kRingCapacity;
            if (sound && hintsAgree(found, found.count) && found.count < kStampPlaceLimit - 2 * kRingCapacity &&
                readerNext <= found.count && placesLeft) {
                return std::nullopt;  // the writers keep these hints; only a disagreement asks for the stamps
            }
            // What it keeps first: the writers' next place is bounded by the floor.
            if (!epochSound) sweepStrays(readerNext);
            if (!sound) putRecordBack(floor);
            found.restored = nextPlace(epoch);
            // Writers into another epoch left their count, which tells nothing of ours: our highest stamp does.
            if (!epochSound) found.restored = std::max(found.restored, highestStamped(epoch));
            // A reader that an entry forged far ahead took more than a ring beyond every place the writers
            // go on from would wait for ever: started afresh like a ring whose places ran out.
            if (found.restored >= kStampPlaceLimit - 2 * kRingCapacity || readerNext > found.restored || !placesLeft) {
                restartFresh();
                found.restored = 0;
                return found;
            }
        } else {
            found.restored = kept_.load();
            if (!sound) putRecordBack(floor);
        }
        if (!sound || !hintsAgree(found, found.restored)) {
            publish(found.restored);
            return found;
        }
        return std::nullopt;
    }

    // Under the mutex: the slot of `place` holds the entry written there in `epoch`.
    [[nodiscard]] bool stamped(uint32_t epoch, uint64_t place) const noexcept {
        return place < kStampPlaceLimit &&
               ring_detail::loadCount(stamps_[place % kRingCapacity]) == slotStamp(epoch, place);
    }
    // One past the latest entry written in `epoch` (0: none): the latest place stamped whose check agrees
    // with its slot. A stamp whose check does not has been scribbled on, and the one below it is tried.
    // Places more than a ring beyond the count and the floor were never written: a stamp there is forged.
    [[nodiscard]] uint64_t latest(uint32_t epoch) const noexcept { return latestIn(epoch, true); }
    // One past the latest place stamped in `epoch`, in its own slot and within reach, whatever its check
    // says: the stamp is written after the check, so the place was written, and only its bytes or its check
    // were scribbled on. Writers never write it again (its reader rejects it, which is counted).
    [[nodiscard]] uint64_t latestStamped(uint32_t epoch) const noexcept { return latestIn(epoch, false); }
    // Under the mutex: the slot of `place` holds the entry written there in `epoch`, check and all.
    [[nodiscard]] bool holds(uint32_t epoch, uint64_t place) const noexcept {
        const auto slot = static_cast<uint32_t>(place % kRingCapacity);
        const uint64_t stamp = slotStamp(epoch, place);
        return ring_detail::loadCount(stamps_[slot]) == stamp &&
               ring_detail::loadCount(checks_[slot]) == ring_detail::entryCheck(stamp, ring_.entries[slot]);
    }
    // Under the mutex: the first place from `from` on and below `end` whose slot holds the entry written there
    // in `epoch`, check and all (UINT64_MAX: none). Every slot is looked at: writers that a hint moved ahead
    // left the entries before the jump in their slots, more than a ring below the latest.
    [[nodiscard]] uint64_t firstHeld(uint32_t epoch, uint64_t from, uint64_t end) const noexcept {
        uint64_t first = UINT64_MAX;
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            const uint64_t place = ring_detail::placeOf(stamp);
            if (ring_detail::inEpoch(stamp, epoch) && place % kRingCapacity == slot && place >= from && place < end &&
                place < first && holds(epoch, place)) {
                first = place;
            }
        }
        return first;
    }
    // Under the mutex: the slot of `place` holds, byte for byte, what was written there (its copy in `out`).
    [[nodiscard]] bool take(uint32_t epoch, uint64_t place, Entry& out) const noexcept {
        const auto slot = static_cast<uint32_t>(place % kRingCapacity);
        const bool valid = ring_detail::loadEntry(out, ring_.entries[slot]);
        return valid && ring_detail::loadCount(checks_[slot]) == ring_detail::entryCheck(slotStamp(epoch, place), out);
    }

    // A look without the mutex, for a writer waiting for the server: the epoch word agrees with the floor.
    [[nodiscard]] bool looksWritable() const noexcept {
        return !clientsWrite_ || ring_detail::inEpoch(ring_detail::loadCount(record_.floor), epoch());
    }
    // The slot of `place` holds an entry of the epoch from before `place`, with its stamp intact.
    [[nodiscard]] bool holdsOlder(uint32_t epoch, uint64_t place) const noexcept {
        const uint64_t stamp = stampOf(place);
        const uint64_t held = ring_detail::placeOf(stamp);
        return ring_detail::inEpoch(stamp, epoch) && held < place && held % kRingCapacity == place % kRingCapacity;
    }

    // The epoch and place this process's last write was stamped with; under the mutex, those of the write
    // just made.
    [[nodiscard]] uint32_t lastWrittenEpoch() const noexcept { return ownEpoch_.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t lastWrittenPlace() const noexcept { return own_.load(std::memory_order_relaxed) - 1; }
    // A look without the mutex, for a ring the clients write: its reader reads in `epoch` (the floor it
    // keeps says so) and has taken the entry written at `place`, or will (its slot still holds it). Neither
    // holds once the ring was started afresh, or when the entry went into an epoch scribbled on.
    [[nodiscard]] bool heldOrTaken(uint32_t epoch, uint64_t place) const noexcept {
        const uint64_t floor = ring_detail::loadCount(record_.floor);
        return clientsWrite_ && ring_detail::inEpoch(floor, epoch) &&
               (ring_detail::placeOf(floor) > place || stamped(epoch, place));
    }
    // The epoch word: the keeper's epoch, unless scribbled on.
    [[nodiscard]] uint32_t epoch() const noexcept { return ring_detail::loadIndex(record_.epoch); }
    // The record's count: one past the latest entry written, as its writer left it (a hint).
    [[nodiscard]] uint64_t position() const noexcept { return ring_detail::loadCount(record_.position); }
    // The record's count of the entries written in all epochs before its own.
    [[nodiscard]] uint64_t earlier() const noexcept { return ring_detail::loadCount(record_.earlier); }
    // The record's count of earlier entries (and, in a ring the server writes, its count) is the one the
    // keeper of `epoch` wrote: its check agrees.
    [[nodiscard]] bool recordAgrees(uint32_t epoch) const noexcept {
        return ring_detail::loadIndex(record_.check) == checkOf(epoch, earlier(), position());
    }
    // Where a reader of `epoch` stops: in a ring the server writes, at the count its check vouches for (0 while
    // the check disagrees); an entry forged ahead of it, check and all, would take the reader past the places
    // the server writes next. The rings the clients write have no such bound.
    [[nodiscard]] uint64_t readLimit(uint32_t epoch) const noexcept {
        if (clientsWrite_ || keeper_.load(std::memory_order_relaxed)) return UINT64_MAX;
        return recordAgrees(epoch) ? position() : 0;
    }
    // Under the mutex, for the keeper's reader: how many entries were written into another epoch and taken
    // away since it last asked.
    [[nodiscard]] uint64_t takeStrays() noexcept { return strays_.exchange(0, std::memory_order_relaxed); }
    // Under the mutex, for the keeper of a ring the clients write, whose reader takes `readerNext` next:
    // entries written into another epoch than the kept one are counted, and each slot is stamped again with
    // the place of the kept epoch it holds next, with a check that disagrees: an entry of ours not read yet
    // may have been written over there. The reader rejects it (counted), the writers never write it again.
    void sweepStrays(uint64_t readerNext) noexcept {
        if (!keeper_.load(std::memory_order_relaxed) || !clientsWrite_) return;
        const uint32_t epoch = keptEpoch_.load(std::memory_order_relaxed);
        uint64_t found = 0;
        // The entry a stray may have been written over is the latest of ours in its slot, when our reader
        // has not taken it yet (writers a hint moved ahead may be more than a ring beyond our reader).
        const uint64_t latest = highestStamped(epoch);
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            if (stamp != kUnstamped && !ring_detail::inEpoch(stamp, epoch) &&
                ring_detail::placeOf(stamp) % kRingCapacity == slot) {
                const uint64_t ahead = latest > slot ? latest - 1 - (latest - 1 - slot) % kRingCapacity : 0;
                const uint64_t place =
                    latest > slot && ahead >= readerNext
                        ? ahead
                        : readerNext + (slot + kRingCapacity - readerNext % kRingCapacity) % kRingCapacity;
                const uint64_t ours = slotStamp(epoch, place);
                ring_detail::storeCount(checks_[slot], ~ring_detail::entryCheck(ours, ring_.entries[slot]));
                ring_detail::storeCount(stamps_[slot], ours);
                ++found;
            }
        }
        strays_.fetch_add(found, std::memory_order_relaxed);
    }
    [[nodiscard]] bool clientsWrite() const noexcept { return clientsWrite_; }
    [[nodiscard]] bool keeper() const noexcept { return keeper_.load(std::memory_order_relaxed); }
    [[nodiscard]] uint32_t keptEpoch() const noexcept { return keptEpoch_.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t keptEarlier() const noexcept { return keptEarlier_.load(std::memory_order_relaxed); }

    // The reader of a ring the clients write tells the writers where it stands (under the mutex).
    void setFloor(uint32_t epoch, uint64_t place) noexcept {
        if (clientsWrite_) ring_detail::storeCount(record_.floor, slotStamp(epoch, place));
    }
    [[nodiscard]] uint64_t stampOf(uint64_t place) const noexcept {
        return ring_detail::loadCount(stamps_[place % kRingCapacity]);
    }

    [[nodiscard]] ServerRing<Entry>& ring() noexcept { return ring_; }
    [[nodiscard]] const RingRestart& restart() const noexcept { return record_; }
    [[nodiscard]] platform::NamedMutex& mutex() noexcept { return mutex_; }
    [[nodiscard]] platform::NamedEvent& event() noexcept { return event_; }

private:
    RingWriteResult writeLocked(const Entry& entry, std::optional<RingRepair>* repaired) noexcept {
        uint32_t epoch = 0;
        uint64_t place = 0;
        const bool ownCount = keeper_.load(std::memory_order_relaxed) && !clientsWrite_;
        if (ownCount) {
            epoch = keptEpoch_.load(std::memory_order_relaxed);
            place = kept_.load(std::memory_order_relaxed);
            const RingRepair found = seen();
            const bool sound = found.epoch == epoch && recordKept() &&
                               ring_detail::loadCount(record_.floor) == keptFloor();
            if (!sound || !hintsAgree(found, place)) {
                if (!sound) putRecordBack(keptFloor());
                if (repaired != nullptr) {
                    *repaired = found;
                    (*repaired)->restored = place + 1;
                }
            }
        } else {
            epoch = this->epoch();
            if (clientsWrite_ && !ring_detail::inEpoch(ring_detail::loadCount(record_.floor), epoch)) {
                return RingWriteResult::Unusable;
            }
            place = nextPlace(epoch);
            if (place >= kStampPlaceLimit - kRingCapacity) return RingWriteResult::Unusable;
        }
        const auto slot = static_cast<uint32_t>(place % kRingCapacity);
        ring_detail::storeEntry(ring_.entries[slot], entry);
        // A new server that found the mutex held too long has started the ring afresh meanwhile.
        if (!ownCount && this->epoch() != epoch) return RingWriteResult::Restarted;
        ring_detail::storeCount(checks_[slot], ring_detail::entryCheck(slotStamp(epoch, place), entry));
        ring_detail::storeCount(stamps_[slot], slotStamp(epoch, place));
        if (ownCount) kept_.store(place + 1, std::memory_order_relaxed);
        own_.store(place + 1, std::memory_order_relaxed);
        ownEpoch_.store(epoch, std::memory_order_relaxed);
        publish(place + 1);
        return RingWriteResult::Written;
    }

    // Where a writer that keeps no count writes next: one past the latest stamped place, or the
    // count the last writer left when the stamps of the latest entries were taken away, or the server's
    // floor (neither hint further than the ring holds). A place stamped whose check disagrees was
    // written: never again.
    [[nodiscard]] uint64_t nextPlace(uint32_t epoch) const noexcept {
        const uint64_t position = this->position();
        const uint64_t floor = ring_detail::loadCount(record_.floor);
        const bool floorHeld = clientsWrite_ && ring_detail::inEpoch(floor, epoch);
        const uint64_t floorPlace = floorHeld ? ring_detail::placeOf(floor) : 0;
        // Our own last place, unless the keeper has since stamped its slot with an earlier place of the epoch
        // (it swept strays there): then the ring no longer holds what we wrote.
        const uint64_t ownPlace = own_.load(std::memory_order_relaxed);
        const uint64_t ownSlot = ownPlace > 0 ? stampOf(ownPlace - 1) : kUnstamped;
        const bool ownSwept = ring_detail::inEpoch(ownSlot, epoch) && ring_detail::placeOf(ownSlot) < ownPlace - 1 &&
                              ring_detail::placeOf(ownSlot) % kRingCapacity == (ownPlace - 1) % kRingCapacity;
        const uint64_t own =
            ((ownEpoch_.load(std::memory_order_relaxed) ^ epoch) & 0xFFFF) == 0 && !ownSwept ? ownPlace : 0;
        // The count is borne out when the place before it is stamped and its own slot holds the entry a lap
        // before it (or none yet); anything else asks all the stamps.
        const bool counted = position > 0 && position < kStampPlaceLimit && stamped(epoch, position - 1) &&
                             (position < kRingCapacity ? !ring_detail::inEpoch(stampOf(position), epoch)
                                                       : stamped(epoch, position - kRingCapacity));
        // Our own last place is no hint: stamps within a ring beyond it are real whatever the count says.
        const uint64_t last = counted && position >= own ? position : latestIn(epoch, false, own);
        uint64_t place = std::max(last, own);
        // A count moved ahead finds the slots before it holding older entries, their stamps intact.
        // (Within a ring of the latest stamp or of the floor: a stamp scribbled on leaves the floor to vouch.)
        if (position > place &&
            (position - last <= kRingCapacity || (floorPlace <= position && position - floorPlace <= kRingCapacity)) &&
            !holdsOlder(epoch, position - 1)) {
            place = position;
        }
        if (floorPlace > place && (floorPlace - last <= kRingCapacity || floorPlace - place <= kRingCapacity)) {
            place = floorPlace;
        }
        return place;
    }

    // Stamps count up to a ring beyond the count, the floor and `known`, a place the caller knows was written.
    [[nodiscard]] uint64_t latestIn(uint32_t epoch, bool checked, uint64_t known = 0) const noexcept {
        // A count beyond every place (scribbled on) would make the reach wrap round.
        const uint64_t count = std::min(position(), kStampPlaceLimit);
        const uint64_t floor = ring_detail::loadCount(record_.floor);
        const uint64_t reach =
            std::max({count, clientsWrite_ && ring_detail::inEpoch(floor, epoch) ? ring_detail::placeOf(floor) : 0,
                      known}) +
            kRingCapacity;
        // Backwards from where the count says the latest is: in a sound ring only that first one is checked.
        const auto start = static_cast<uint32_t>((count + kRingCapacity - 1) % kRingCapacity);
        uint64_t found = 0;
        for (uint32_t i = 0; i < kRingCapacity; ++i) {
            const uint32_t slot = (start + kRingCapacity - i) % kRingCapacity;
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            const uint64_t place = ring_detail::placeOf(stamp);
            if (ring_detail::inEpoch(stamp, epoch) && place % kRingCapacity == slot && place >= found &&
                place < reach && (!checked || holds(epoch, place))) {
                found = place + 1;
            }
        }
        return found;
    }

    // The record's check as the keeper of `epoch` writes it.
    [[nodiscard]] uint32_t checkOf(uint32_t epoch, uint64_t earlier, uint64_t count) const noexcept {
        return clientsWrite_ ? ring_detail::recordCheck(epoch, earlier) : ring_detail::recordCheck(epoch, earlier, count);
    }
    // The count of earlier entries and its check are those the keeper wrote (in a ring it writes, for its count).
    [[nodiscard]] bool recordKept() const noexcept {
        const uint64_t earlier = keptEarlier_.load(std::memory_order_relaxed);
        return this->earlier() == earlier &&
               ring_detail::loadIndex(record_.check) ==
                   checkOf(keptEpoch_.load(std::memory_order_relaxed), earlier, kept_.load(std::memory_order_relaxed));
    }
    // What the keeper keeps in the floor: for a ring the clients write, the place its reader takes next; for
    // one it writes, a second copy of the count of earlier entries, which a new server falls back on.
    [[nodiscard]] uint64_t keptFloor(uint64_t readerNext = 0) const noexcept {
        return slotStamp(keptEpoch_.load(std::memory_order_relaxed),
                         clientsWrite_ ? readerNext : keptEarlier_.load(std::memory_order_relaxed));
    }
    void putRecordBack(uint64_t floor) noexcept {
        const uint32_t epoch = keptEpoch_.load(std::memory_order_relaxed);
        const uint64_t earlier = keptEarlier_.load(std::memory_order_relaxed);
        ring_detail::storeCount(record_.earlier, earlier);
        ring_detail::storeIndex(record_.check, checkOf(epoch, earlier, kept_.load(std::memory_order_relaxed)));
        ring_detail::storeCount(record_.floor, floor);
        ring_detail::storeIndex(record_.epoch, epoch);
    }

    [[nodiscard]] RingRepair seen() const noexcept {
        return RingRepair{ring_detail::loadIndex(ring_.header.capacity),
                          ring_detail::loadIndex(ring_.header.writeIndex), position(), epoch(), 0};
    }
    [[nodiscard]] static bool hintsAgree(const RingRepair& found, uint64_t count) noexcept {
        return found.capacity == kRingCapacity && found.writeIndex == count % kRingCapacity && found.count == count;
    }

    void publish(uint64_t count) noexcept {
        ring_detail::storeIndex(ring_.header.capacity, kRingCapacity);
        ring_detail::storeIndex(ring_.header.writeIndex, static_cast<uint32_t>(count % kRingCapacity));
        ring_detail::storeCount(record_.position, count);
        if (!clientsWrite_ && keeper_.load(std::memory_order_relaxed)) {
            ring_detail::storeIndex(record_.check, checkOf(keptEpoch_.load(std::memory_order_relaxed),
                                                           keptEarlier_.load(std::memory_order_relaxed), count));
        }
    }

    // The epoch the ring was in before a start, how many entries it held and how many all epochs before it
    // held.
    struct Ending {
        uint32_t epoch = 0;
        uint64_t count = 0;
        uint64_t earlier = 0;
    };

    // What a new server finds of the epoch before its own. The epoch is the word's or the floor's, whichever
    // the record's check agrees with; with neither, the one holding most entries whose checks agree (the
    // word's when none does). Its count is one past the latest place stamped in it, check or not, or the
    // record's count when that is at most a ring beyond: an entry whose bytes or stamp were scribbled on was
    // still written. The count of earlier entries is the larger of the record's and the floor's copy (rings
    // the server writes): readers may count more lost than they missed, never fewer unless both were
    // moved back.
    [[nodiscard]] Ending ending() const noexcept {
        Ending found;
        const uint64_t earlier = this->earlier();
        const uint32_t word = epoch();
        const uint64_t floor = ring_detail::loadCount(record_.floor);
        const uint32_t floorEpoch = ring_detail::epochOf(floor);
        if (!keeper_.load() && word == 0 && floor == 0 && earlier == 0 && position() == 0 &&
            ring_detail::loadIndex(record_.check) == 0) {
            return found;  // a record nobody wrote yet: no server before us, whatever the stamps say
        }
        if (keeper_.load()) {
            found.epoch = keptEpoch_.load();
            found.earlier = keptEarlier_.load();
        } else {
            // In a ring the server wrote, the check also covers its count: a count scribbled on hides the epoch
            // unless the count its stamps tell agrees instead.
            const auto agrees = [this, earlier](uint32_t e) {
                return recordAgrees(e) ||
                       (!clientsWrite_ && ring_detail::loadIndex(record_.check) == checkOf(e, earlier, highestStamped(e)));
            };
            found.epoch = agrees(word)         ? word
                          : agrees(floorEpoch) ? (word & ~uint32_t{0xFFFF}) | floorEpoch
                                               : mostHeldEpoch(word);
            if (!clientsWrite_ && !agrees(found.epoch) && found.epoch == word && floorEpoch != (word & 0xFFFF) &&
                heldIn(floorEpoch) > 0 && heldIn(floorEpoch) >= heldIn(word)) {
                // The floor of a ring the server writes names its epoch too: on a tie it outweighs a word
                // that a stamp forged in it may have carried.
                found.epoch = (word & ~uint32_t{0xFFFF}) | floorEpoch;
            }
            if (!agrees(found.epoch)) {
                // Word and floor both moved: the check may still name the epoch of one of the stamps.
                for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
                    const uint32_t e = ring_detail::epochOf(ring_detail::loadCount(stamps_[slot]));
                    if (ring_detail::loadCount(stamps_[slot]) != kUnstamped && agrees(e)) {
                        found.epoch = (word & ~uint32_t{0xFFFF}) | e;
                        break;
                    }
                }
            }
            // The larger copy even when the check agrees: a record written back from an older start agrees too.
            // The floor's copy counts when the floor is in that epoch (moved back, it may be in another), or when
            // nothing told the epoch (no check agrees, no entry is held).
            const bool told = agrees(found.epoch) || mostHeldEpoch(word) != word || latestStamped(found.epoch) != 0;
            const uint64_t copy = clientsWrite_ ? earlier
                                  : ring_detail::inEpoch(floor, found.epoch) || !told ? ring_detail::placeOf(floor)
                                                                                      : 0;
            found.earlier = std::max(ring_detail::placeOf(earlier), copy);
        }
        if (keeper_.load() && !clientsWrite_) {
            found.count = kept_.load();
        } else {
            // The keeper of a ring the clients write, starting it afresh, counts every entry stamped in its
            // epoch, however far hints moved the writers: its reader counts what it had not taken.
            const uint64_t last = latestStamped(found.epoch);
            const uint64_t count = position();
            found.count = count > last && count - last <= kRingCapacity ? count : last;
        }
        return found;
    }

    // One past the highest place stamped in `epoch` in its own slot, however far (0: none).
    [[nodiscard]] uint64_t highestStamped(uint32_t epoch) const noexcept {
        uint64_t found = 0;
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            const uint64_t place = ring_detail::placeOf(stamp);
            if (ring_detail::inEpoch(stamp, epoch) && place % kRingCapacity == slot) found = std::max(found, place + 1);
        }
        return found;
    }

    // How many slots hold an entry of `epoch`, check and all.
    [[nodiscard]] std::size_t heldIn(uint32_t epoch) const noexcept {
        std::size_t n = 0;
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            const uint64_t place = ring_detail::placeOf(stamp);
            if (stamp != kUnstamped && ring_detail::inEpoch(stamp, epoch) && place % kRingCapacity == slot &&
                holds(epoch, place)) {
                ++n;
            }
        }
        return n;
    }

    // The epoch most slots hold an entry of, check and all; `word` when none does or it ties.
    [[nodiscard]] uint32_t mostHeldEpoch(uint32_t word) const noexcept {
        std::array<uint16_t, kRingCapacity> epochs{};
        std::size_t n = 0;
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
            const uint64_t place = ring_detail::placeOf(stamp);
            if (stamp != kUnstamped && place % kRingCapacity == slot && holds(ring_detail::epochOf(stamp), place)) {
                epochs[n++] = static_cast<uint16_t>(ring_detail::epochOf(stamp));
            }
        }
        std::sort(epochs.begin(), epochs.begin() + static_cast<std::ptrdiff_t>(n));
        uint32_t best = word;
        std::size_t bestRun = static_cast<std::size_t>(std::count(epochs.begin(), epochs.begin() + static_cast<std::ptrdiff_t>(n),
                                                                  static_cast<uint16_t>(word)));
        for (std::size_t i = 0; i < n;) {
            std::size_t j = i;
            while (j < n && epochs[j] == epochs[i]) ++j;
            if (j - i > bestRun) {
                bestRun = j - i;
                best = (word & ~uint32_t{0xFFFF}) | epochs[i];
            }
            i = j;
        }
        return best;
    }

    void restartFresh() noexcept {
        const Ending old = ending();
        // The rings the server writes keep a copy in the floor, a stamp's place; in the others, a count that
        // hints moved far ahead must not use up every count that follows.
        const uint64_t earlier = clientsWrite_ ? old.earlier + std::min(old.count, UINT64_MAX - old.earlier)
                                               : std::min(ring_detail::placeOf(old.earlier) + old.count, kStampPlaceLimit - 1);
        const uint32_t epoch = unusedEpochAfter(old.epoch);
        if (keeper_.load() && clientsWrite_) {
            // Entries the writers stamped beyond the count (a hint moved them ahead) are not in the count of
            // earlier entries; our reader counts them as lost with what the strays took.
            uint64_t beyond = 0;
            for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
                const uint64_t stamp = ring_detail::loadCount(stamps_[slot]);
                const uint64_t place = ring_detail::placeOf(stamp);
                if (ring_detail::inEpoch(stamp, old.epoch) && place % kRingCapacity == slot && place >= old.count) ++beyond;
            }
            strays_.fetch_add(beyond, std::memory_order_relaxed);
        }
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) ring_detail::storeCount(stamps_[slot], kUnstamped);
        kept_.store(0);
        keptEpoch_.store(epoch);
        keptEarlier_.store(earlier);
        putRecordBack(keptFloor());
        publish(0);
    }

    // The next epoch after `old`, the epoch word, the floor's and the kept one, whichever is furthest on, that
    // no stamp, no floor and no epoch word is in: an epoch word moved back would otherwise give the readers
    // still in the latest epoch (or one before it) a new server's entries under old places.
    [[nodiscard]] uint32_t unusedEpochAfter(uint32_t old) const noexcept {
        const auto furthest = [&old](uint32_t other) {
            const auto ahead = static_cast<uint16_t>(other - old);
            if (ahead != 0 && ahead < 0x8000) old += ahead;
        };
        furthest(epoch());
        furthest(ring_detail::epochOf(ring_detail::loadCount(record_.floor)));
        if (keeper_.load()) furthest(keptEpoch_.load());
        std::bitset<(std::size_t{1} << (64 - kStampPlaceBits))> used;
        used[old & 0xFFFF] = true;
        used[epoch() & 0xFFFF] = true;
        used[ring_detail::loadCount(record_.floor) >> kStampPlaceBits] = true;
        if (keeper_.load()) used[keptEpoch_.load() & 0xFFFF] = true;
        for (uint32_t slot = 0; slot < kRingCapacity; ++slot) {
            used[ring_detail::loadCount(stamps_[slot]) >> kStampPlaceBits] = true;
        }
        uint32_t epoch = old + 1;
        while (used[epoch & 0xFFFF]) ++epoch;
        return epoch;
    }

    ServerRing<Entry>& ring_;
    RingRestart& record_;
    uint64_t* const stamps_;
    uint64_t* const checks_;
    const bool clientsWrite_;
    platform::NamedMutex& mutex_;
    platform::NamedEvent& event_;
    RingSignal signal_;
    // The keeper's own epoch and, for a ring it writes, its count.
    std::atomic<bool> keeper_{false};
    std::atomic<uint64_t> kept_{0};
    std::atomic<uint32_t> keptEpoch_{0};
    std::atomic<uint64_t> keptEarlier_{0};
    std::atomic<uint64_t> strays_{0};  // entries written into another epoch, taken away, not yet counted
    // One past the last entry written through this channel, and its epoch: this process never writes below it.
    std::atomic<uint64_t> own_{0};
    std::atomic<uint32_t> ownEpoch_{UINT32_MAX};
};

// A reader with its own place. One thread at a time uses a reader.
template <typename Entry>
class RingReader {
public:
    // Starts at place 0 of the ring's epoch (the keeper's when there is one), as the server's readers do.
    explicit RingReader(RingChannel<Entry>& channel) noexcept
        : channel_(channel), epoch_(channel.keeper() ? channel.keptEpoch() : channel.epoch()) {
        if (channel.keeper()) {
            base_ = channel.keptEarlier();
            baseKnown_ = true;
        }
    }

    // Starts after the latest entry found now, so that only later entries are seen (a connecting
    // client). False when the mutex was not obtained; the reader then starts at place 0.
    [[nodiscard]] bool startAtWriteIndex() {
        platform::NamedMutexLock lock(channel_.mutex(), kRingMutexWaitMs);
        if (!lock.held()) return false;
        epoch_ = channel_.epoch();
        // In a ring the server writes, its count when the check vouches for it: a stamp forged ahead moves nobody.
        const uint64_t limit = channel_.readLimit(epoch_);
        next_ = limit != 0 && limit != UINT64_MAX ? limit : channel_.latest(epoch_);
        lastPosition_ = next_;
        seenPosition_ = channel_.position();
        baseKnown_ = false;
        learnBase();
        return true;
    }

    // Takes the next entry into `out`.
    [[nodiscard]] RingRead read(Entry& out) {
        RingRead result;
        platform::NamedMutexLock lock(channel_.mutex(), kRingMutexWaitMs);
        if (!lock.held()) {
            result.status = RingReadStatus::LockFailed;
            return result;
        }
        const uint64_t position = channel_.position();
        seenPosition_ = position;
        learnBase();
        if (channel_.keeper()) {
            // The keeper's reader follows the kept epoch alone (the keeper starts the ring afresh when its
            // places run out); what the clients wrote into another one is lost.
            if (epoch_ != channel_.keptEpoch()) followRestart(channel_.keptEpoch(), result);
            if (channel_.epoch() != epoch_ || !ring_detail::inEpoch(ring_detail::loadCount(channel_.restart().floor), epoch_)) {
                channel_.sweepStrays(next_);
            }
            addLost(result, channel_.takeStrays());
        } else if (baseKnown_ && channel_.earlier() != base_) {
            const uint32_t word = channel_.epoch();
            if (!channel_.recordAgrees(word)) {
                // The record was written into: until the keeper's look puts it back we cannot tell whether a
                // new server started the ring afresh in our epoch, so we wait (not beyond half a ring).
                if (channel_.latest(epoch_) < next_ + kRingCapacity / 2) {
                    result.status = RingReadStatus::Empty;
                    return result;
                }
            } else if (ring_detail::inEpoch(slotStamp(word, 0), epoch_)) {
                // A new server that could not tell our epoch from an unused one (epoch word, floor and check
                // all written into while it held no entry) started the ring afresh in it: its count of earlier
                // entries is not the one our epoch began with.
                followRestart(word, result);
            }
        }
        bool valid = false;
        if (channel_.stamped(epoch_, next_) && next_ < channel_.readLimit(epoch_)) {
            valid = channel_.take(epoch_, next_, out);
            // A slot stamped with our place whose check disagrees is passed (rejected) only once an entry
            // is written after it: until then its writer may still write it.
            if (!valid && channel_.latest(epoch_) <= next_ + 1) {
                result.status = RingReadStatus::Empty;
                result.heldBack = true;
                return result;
            }
        } else if (findNext(position, result)) {
            valid = channel_.take(epoch_, next_, out);
        } else {
            result.status = RingReadStatus::Empty;
            return result;
        }
        if (position > lastPosition_ && position - next_ <= kRingCapacity) lastPosition_ = position;
        ++next_;
        lastPosition_ = std::max(lastPosition_, next_);
        channel_.setFloor(epoch_, next_);
        result.status = valid ? RingReadStatus::Entry : RingReadStatus::Rejected;
        return result;
    }

    // A look without the mutex: true when the ring may hold an entry this reader has not taken.
    [[nodiscard]] bool mayHaveEntries() const noexcept {
        return channel_.stampOf(next_) == slotStamp(epoch_, next_) || channel_.position() != seenPosition_ ||
               channel_.epoch() != epoch_;
    }

    // The place this reader takes next, in its epoch.
    [[nodiscard]] uint64_t next() const noexcept { return next_; }
    [[nodiscard]] uint32_t epoch() const noexcept { return epoch_; }

private:
    // Under the mutex, when the slot of our place holds no entry for us: is there something further on?
    // True when `next_` now is an entry to take; what we passed is in `result.lost`.
    bool findNext(uint64_t position, RingRead& result) noexcept {
        const uint32_t ringEpoch = channel_.epoch();
        if (position == scannedPosition_ && ringEpoch == scannedEpoch_) return false;  // looked already
        if (ringEpoch == epoch_ && position <= next_) return false;
        scannedPosition_ = position;
        scannedEpoch_ = ringEpoch;
        // A restart clears every stamp of the old epoch; an epoch word scribbled on leaves them. The keeper's
        // own reader never leaves the kept epoch.
        if (ringEpoch != epoch_ && !channel_.keeper() && channel_.latest(ringEpoch) != 0 &&
            (channel_.latest(epoch_) == 0 || keeperMovedOn(ringEpoch))) {
            // The record tells how many entries we missed once the new keeper's check agrees; until its
            // look puts back what was scribbled on, we wait (in a ring the clients write, not beyond half a
            // ring of new entries; the server puts the check back with every entry it writes, so a stamp
            // forged far ahead in another epoch takes nobody there).
            if (!channel_.recordAgrees(ringEpoch) &&
                (!channel_.clientsWrite() || channel_.latest(ringEpoch) < kRingCapacity / 2)) {
                scannedPosition_ = UINT64_MAX;
                return false;
            }
            followRestart(ringEpoch, result);
        }
        const uint64_t limit = channel_.readLimit(epoch_);
        if (limit == 0) {
            scannedPosition_ = UINT64_MAX;  // the keeper's next write or look puts the check back
            return false;
        }
        const uint64_t end = std::min(channel_.latest(epoch_), limit);
        lastPosition_ = std::max(lastPosition_, std::min(end, next_ + kRingCapacity));
        if (end <= next_) return false;
        const uint64_t place = channel_.firstHeld(epoch_, next_, end);
        if (place == UINT64_MAX) return false;
        // Writers write one place after the other, but a hint may move them ahead: the places they skipped
        // end with a slot that still holds the entry of a lap before, and from there on nothing was written
        // and nothing lost.
        const uint64_t lapped = place - next_ > kRingCapacity ? place - kRingCapacity : next_;
        uint64_t runStart = place;
        while (runStart > lapped && !channel_.holdsOlder(epoch_, runStart - 1)) --runStart;
        addLost(result, runStart > lapped ? place - runStart : place - next_);
        next_ = place;
        scannedPosition_ = UINT64_MAX;  // the next gap gets a look of its own
        return true;
    }

    // In a ring the server writes, its record (check, count and all) says that its keeper is in `epoch`, and
    // counts at least the entries we took of ours before it: a new server started the ring afresh, and what
    // is still stamped in our epoch was forged after the start.
    [[nodiscard]] bool keeperMovedOn(uint32_t epoch) const noexcept {
        return !channel_.clientsWrite() && baseKnown_ && ((epoch ^ epoch_) & 0xFFFF) != 0 &&
               channel_.recordAgrees(epoch) && channel_.earlier() >= base_ + next_;
    }

    // A new server started the ring afresh and wrote in it: what we had not read of the old epoch is
    // dropped (counted), and we follow the new one from its first entry. The new epoch's record counts the
    // entries of all epochs before it: less those before our epoch and those we took, it is what we missed,
    // however many servers started meanwhile. Without it we count what we saw the writers write.
    void followRestart(uint32_t epoch, RingRead& result) noexcept {
        uint64_t unread = lastPosition_ > next_ ? lastPosition_ - next_ : 0;
        const bool kept = channel_.keeper() && epoch == channel_.keptEpoch();
        const uint64_t total = kept ? channel_.keptEarlier() : channel_.earlier();
        if ((kept || channel_.recordAgrees(epoch)) && baseKnown_ && total >= base_ + next_) {
            unread = std::max(unread, total - base_ - next_);
        }
        addLost(result, unread);
        result.restarted = true;
        epoch_ = epoch;
        next_ = 0;
        lastPosition_ = 0;
        scannedPosition_ = UINT64_MAX;
        baseKnown_ = false;
        learnBase();
    }

    // Under the mutex: the count of entries before our epoch, once the record's check says it is our keeper's
    // (the keeper's own reader has it from the keeper).
    void learnBase() noexcept {
        if (baseKnown_) return;
        if (channel_.keeper() && epoch_ == channel_.keptEpoch()) {
            base_ = channel_.keptEarlier();
        } else if (channel_.recordAgrees(epoch_)) {
            base_ = channel_.earlier();
        } else {
            return;
        }
        baseKnown_ = true;
    }

    static void addLost(RingRead& result, uint64_t count) noexcept {
        result.lost += static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX - result.lost));
    }

    RingChannel<Entry>& channel_;
    uint32_t epoch_ = 0;          // the epoch our place belongs to
    uint64_t next_ = 0;           // the place we take next
    uint64_t lastPosition_ = 0;   // how far we know the writers went in our epoch
    uint64_t seenPosition_ = 0;   // the record's count at our last read
    uint64_t scannedPosition_ = UINT64_MAX;  // the count and epoch word of our last look at all the stamps
    uint32_t scannedEpoch_ = 0;
    // The entries written before our epoch, once the record's check agreed.
    uint64_t base_ = 0;
    bool baseKnown_ = false;
};

} // namespace ostrel::halvorn
