// Named kernel objects shared between processes: shared memory, mutexes and events.
//
// Every name is machine-global in the original design. Here each name gets a prefix
// (OSTREL_IPC_NAMESPACE, else the user id) so that users and parallel test runs never meet,
// and objects are created with mode 0600.
//
// Lifetime follows the Windows model where it is observable: an object lives while some
// live process holds it open. Opening an object whose every previous holder has died
// re-initialises it (so a crashed server leaves no event set and no stale state), and the
// last close removes its name.
//
// Each object is a file "/dev/shm/ostrel.<namespace>.<name>" (namespace characters other than
// letters, digits, '-' and '_' are %XX-encoded). A name is 1..200 bytes without '/' or NUL;
// mutexes, events and shared memory share one name space, and opening a name as another kind
// fails. Handles are not meant to survive fork() without exec (a forked copy only unmaps).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ostrel::platform {

// The prefix every global name gets: OSTREL_IPC_NAMESPACE when set, else "u<uid>".
[[nodiscard]] std::string ipcNamespace();

// Why an open gave no object, for callers that act on it.
enum class OpenFailure {
    None,
    // Another process is inside the open or close of the object and has not finished within the
    // bound (a process stopped there, in a debugger say): the object may well be fine, try again.
    Busy,
    // A live process holds the object in another format or size: a program of another installation.
    OtherFormat,
    Failed,  // anything else: name, permission, system failure
};

// Shared memory mapped read-write. Create-or-open: the first opener (or the first after every
// holder died) gets zero-filled memory and `created()` true.
class SharedMemory {
public:
    // Empty on failure (name too long, no permission, size mismatch with a live mapping); `failure`,
    // when given, learns why.
    [[nodiscard]] static std::unique_ptr<SharedMemory> open(std::string_view name, std::size_t size,
                                                            OpenFailure* failure = nullptr);
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    [[nodiscard]] void* data() const noexcept;
    [[nodiscard]] std::size_t size() const noexcept;
    // True when this open initialised the memory (no live holder before).
    [[nodiscard]] bool created() const noexcept;

    struct Impl;
private:
    explicit SharedMemory(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

enum class LockResult {
    Acquired,       // normal acquisition
    OwnerDied,      // acquired; the previous holder died while holding it (Windows: abandoned)
    TimedOut,
    Failed,
};

// Process-shared, robust mutex with a timed acquire. Like a Windows mutex it is owned by a
// thread and recursive for its owner (each lock needs its unlock). Destroying a handle while the
// calling thread owns the mutex releases it.
class NamedMutex {
public:
    [[nodiscard]] static std::unique_ptr<NamedMutex> open(std::string_view name, OpenFailure* failure = nullptr);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Acquired and OwnerDied both mean the caller now holds the mutex.
    [[nodiscard]] LockResult lock(uint32_t timeoutMs);
    void unlock();

    struct Impl;
private:
    explicit NamedMutex(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// RAII holder for a NamedMutex acquired with a bounded wait.
class NamedMutexLock {
public:
    NamedMutexLock(NamedMutex& mutex, uint32_t timeoutMs) : mutex_(mutex) {
        const LockResult r = mutex.lock(timeoutMs);
        held_ = r == LockResult::Acquired || r == LockResult::OwnerDied;
    }
    ~NamedMutexLock() { if (held_) mutex_.unlock(); }
    NamedMutexLock(const NamedMutexLock&) = delete;
    NamedMutexLock& operator=(const NamedMutexLock&) = delete;
    [[nodiscard]] bool held() const noexcept { return held_; }
private:
    NamedMutex& mutex_;
    bool held_ = false;
};

enum class EventReset { Automatic, Manual };

// A Windows-style event. Automatic reset: a set releases exactly one waiter and resets (it stays
// set until a waiter takes it). Manual reset: a set stays until reset. Pulse: releases the waiters
// present at that moment (one for automatic reset) and leaves the event not signalled.
// An event may be named (shared between processes) or unnamed (process-local, same semantics).
// No operation takes a lock: a process stopped or killed inside one holds up no other.
class NamedEvent {
public:
    // Create-or-open. The reset kind and initial state apply when this open initialises it.
    [[nodiscard]] static std::unique_ptr<NamedEvent> open(std::string_view name, EventReset reset,
                                                          bool initiallySet = false,
                                                          OpenFailure* failure = nullptr);
    // The state of a named event, read without opening it: takes no lock and never waits, so a
    // process stopped inside an open or close of the event holds nobody up. An event that no live
    // process holds is not set (its last holder died or closed it).
    enum class Look { NotSet, Set, OtherFormat };
    [[nodiscard]] static Look peek(std::string_view name);
    // A process-local event with no name.
    [[nodiscard]] static std::unique_ptr<NamedEvent> createLocal(EventReset reset, bool initiallySet = false);
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    void set();
    void reset();
    void pulse();
    // True when the event was signalled (and, for automatic reset, taken) within timeoutMs.
    [[nodiscard]] bool wait(uint32_t timeoutMs);
    // The same, and true at once (nothing taken) when the event changed since its `changes()` was `seen`.
    [[nodiscard]] bool waitSince(uint32_t seen, uint32_t timeoutMs);
    // Non-consuming look at the current state.
    [[nodiscard]] bool isSet() const;
    // Moves with every set and pulse. A waiter that notes it before it looks at what the event guards
    // and hands it to waitSince or waitForEitherSince misses no pulse that came while it looked.
    [[nodiscard]] uint32_t changes() const;

    struct Impl;
    Impl& impl() noexcept { return *impl_; }
private:
    explicit NamedEvent(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Waits for the first of two events. Returns 0 or 1 for the event that released the caller
// (when both are signalled, the first in the list wins and only it is taken), -1 on time-out.
// Uses futex_waitv; where the kernel lacks it (or OSTREL_IPC_FUTEX_WAITV=0) the second event is
// re-checked every millisecond.
[[nodiscard]] int waitForEither(NamedEvent& first, NamedEvent& second, uint32_t timeoutMs);
// The same, and returns at once (0 or 1, nothing taken) for an event that changed since its `changes()`
// was `firstSeen` or `secondSeen`.
[[nodiscard]] int waitForEitherSince(NamedEvent& first, uint32_t firstSeen, NamedEvent& second, uint32_t secondSeen,
                                     uint32_t timeoutMs);

// True when a live process holds the named object in another format or size than this build's (a
// program of another installation). Takes no lock and never waits.
[[nodiscard]] bool namedObjectOfAnotherFormat(std::string_view name);

// Removes every object of the current namespace whose holders are all gone (tests, crash recovery).
void removeStaleObjects();

} // namespace ostrel::platform
