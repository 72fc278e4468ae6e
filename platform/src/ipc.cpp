// Shared memory, robust named mutexes and Windows-style events over named segments.
//
// An event is a small record of atomic words, one of them a 32-bit sequence word that waiters
// sleep on with futexes; no lock guards it, so a process stopped inside an event operation (in a
// debugger, say) cannot hold up the others. Every set or pulse bumps the word, so a waiter that
// read it before looking at the event can never miss a wake. Pulses are told apart from sets by
// tickets: each waiter draws one when it starts to wait, and a pulse releases the tickets drawn
// before it.
#include "platform/ipc.h"

#include "ipc_segment.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ostrel::platform {
namespace {

using ipc_detail::ObjectKind;
using ipc_detail::Segment;

// Without futex_waitv the second event of a wait-for-either is re-checked this often.
constexpr long kEitherPollNs = 1'000'000;

// ---- time -------------------------------------------------------------------------------------

timespec monotonicNow()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec addNs(timespec t, long long ns)
{
    t.tv_sec += static_cast<time_t>(ns / 1'000'000'000LL);
    t.tv_nsec += static_cast<long>(ns % 1'000'000'000LL);
    if (t.tv_nsec >= 1'000'000'000L) {
        t.tv_nsec -= 1'000'000'000L;
        ++t.tv_sec;
    }
    return t;
}

timespec deadlineAfterMs(uint32_t timeoutMs)
{
    return addNs(monotonicNow(), static_cast<long long>(timeoutMs) * 1'000'000LL);
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// ---- futexes ----------------------------------------------------------------------------------

struct FutexWaitv {
    uint64_t val;
    uint64_t uaddr;
    uint32_t flags;
    uint32_t reserved;
};
static_assert(sizeof(FutexWaitv) == 24);

constexpr long kSysFutexWaitv = 449;
constexpr uint32_t kFutex2SizeU32 = 0x02;
constexpr uint32_t kFutex2Private = 128;

// Process-wide: whether futex_waitv may be used. OSTREL_IPC_FUTEX_WAITV=0 forces the fallback.
struct IpcModuleState {
    enum : int { Unknown, Available, Unavailable };
    std::atomic<int> futexWaitv { Unknown };
};

IpcModuleState& moduleState()
{
    static IpcModuleState state;
    return state;
}

bool futexWaitvUsable()
{
    auto& state = moduleState().futexWaitv;
    int known = state.load(std::memory_order_relaxed);
    if (known == IpcModuleState::Unknown) {
        const char* setting = std::getenv("OSTREL_IPC_FUTEX_WAITV");
        known = setting != nullptr && std::strcmp(setting, "0") == 0 ? IpcModuleState::Unavailable
                                                                      : IpcModuleState::Available;
        state.store(known, std::memory_order_relaxed);
    }
    return known == IpcModuleState::Available;
}

// Sleeps while *word == expected, until woken or the absolute monotonic deadline.
void futexWait(uint32_t* word, uint32_t expected, bool shared, const timespec& deadline)
{
    const int op = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
    (void)syscall(SYS_futex, word, op, expected, &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWakeAll(uint32_t* word, bool shared)
{
    const int op = FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG);
    (void)syscall(SYS_futex, word, op, INT_MAX, nullptr, nullptr, 0);
}

// ---- event state --------------------------------------------------------------------------------

// Lives at the body of an event segment (or on the heap for a local event). Every field is only
// ever touched atomically and no operation takes a lock: a process stopped or killed anywhere in
// a set, pulse or wait holds up nobody.
struct EventState {
    uint32_t seq;            // futex word, bumped by every set and pulse
    uint32_t signalled;
    uint32_t manual;
    uint32_t waiters;        // threads inside a wait (may over-count after a waiter was killed)
    uint64_t tickets;        // last ticket drawn
    uint64_t releasedUpTo;   // manual reset: tickets up to this one were released by a pulse
    uint64_t grants;         // automatic reset: pulse releases not yet taken, packed (see below)
};
static_assert(offsetof(EventState, seq) == 0);
static_assert(offsetof(EventState, waiters) == 12);
static_assert(offsetof(EventState, tickets) == 16);
static_assert(offsetof(EventState, grants) == 32);
static_assert(sizeof(EventState) == 40);
static_assert(sizeof(EventState) <= ipc_detail::kMaxBodySize);

// The grants word of an automatic event: the last ticket that the pending releases apply to (high
// 48 bits; tickets stay far below 2^48, nine years at a million waits a second) and their count
// (low 16 bits). One word, so that a waiter checks its ticket and takes a release in one step.
constexpr unsigned kGrantCountBits = 16;
constexpr uint64_t kGrantCountMask = (uint64_t { 1 } << kGrantCountBits) - 1;
constexpr uint64_t kGrantLimitMask = ~uint64_t { 0 } >> kGrantCountBits;

uint64_t grantLimit(uint64_t word) { return word >> kGrantCountBits; }
uint32_t grantCount(uint64_t word) { return static_cast<uint32_t>(word & kGrantCountMask); }
uint64_t grantWord(uint64_t limit, uint32_t count)
{
    return ((limit & kGrantLimitMask) << kGrantCountBits) | std::min<uint64_t>(count, kGrantCountMask);
}

struct MutexState {
    pthread_mutex_t mutex;
};
static_assert(sizeof(MutexState) <= ipc_detail::kMaxBodySize);

template <typename T>
std::atomic_ref<T> atomic(T& word)
{
    return std::atomic_ref<T>(word);
}

bool initMutex(pthread_mutex_t* mutex, bool shared, int type)
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    bool ok = pthread_mutexattr_settype(&attr, type) == 0;
    if (shared) {
        ok = ok && pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0;
        ok = ok && pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
    }
    ok = ok && pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

struct EventInit {
    bool manual;
    bool initiallySet;
};

void initEventState(EventState* state, const EventInit& init)
{
    state->manual = init.manual ? 1 : 0;
    state->signalled = init.initiallySet ? 1 : 0;
}

void initSharedEvent(void* body, const void* context)
{
    initEventState(::new (body) EventState(), *static_cast<const EventInit*>(context));
}

void initSharedMutex(void* body, const void*)
{
    auto* state = ::new (body) MutexState();
    (void)initMutex(&state->mutex, true, PTHREAD_MUTEX_RECURSIVE);
}

// Raises a monotonic word to at least `value`.
void raiseTo(uint64_t& word, uint64_t value)
{
    uint64_t seen = atomic(word).load();
    while (seen < value && !atomic(word).compare_exchange_weak(seen, value)) {
    }
}

} // namespace

// ---- SharedMemory -------------------------------------------------------------------------------

struct SharedMemory::Impl {
    std::unique_ptr<Segment> segment;
};

SharedMemory::SharedMemory(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SharedMemory::~SharedMemory() = default;

std::unique_ptr<SharedMemory> SharedMemory::open(std::string_view name, std::size_t size, OpenFailure* failure)
{
    if (failure != nullptr)
        *failure = OpenFailure::Failed;
    if (size == 0)
        return nullptr;
    auto segment = Segment::open(name, ObjectKind::Memory, size, nullptr, nullptr, failure);
    if (!segment)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->segment = std::move(segment);
    return std::unique_ptr<SharedMemory>(new SharedMemory(std::move(impl)));
}

void* SharedMemory::data() const noexcept { return impl_->segment->payload(); }
std::size_t SharedMemory::size() const noexcept { return impl_->segment->payloadSize(); }
bool SharedMemory::created() const noexcept { return impl_->segment->created(); }

// ---- NamedMutex ---------------------------------------------------------------------------------

struct NamedMutex::Impl {
    std::unique_ptr<Segment> segment;
    pthread_mutex_t* mutex = nullptr;
};

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

NamedMutex::~NamedMutex()
{
    // A robust mutex stays linked into its owner thread's robust list; unmapping it while held
    // would leave that list pointing into nothing. Release it first (Windows would abandon it).
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    for (int depth = 0; depth < 1'000'000; ++depth) {
        const int owner = std::atomic_ref<int>(impl_->mutex->__data.__owner).load(std::memory_order_relaxed);
        if ((owner & FUTEX_TID_MASK) != self || pthread_mutex_unlock(impl_->mutex) != 0)
            break;
    }
}

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view name, OpenFailure* failure)
{
    auto segment = Segment::open(name, ObjectKind::Mutex, 0, initSharedMutex, nullptr, failure);
    if (!segment)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->mutex = &static_cast<MutexState*>(segment->body())->mutex;
    impl->segment = std::move(segment);
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(impl)));
}

LockResult NamedMutex::lock(uint32_t timeoutMs)
{
    pthread_mutex_t* mutex = impl_->mutex;
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EBUSY && timeoutMs > 0) {
        const timespec deadline = deadlineAfterMs(timeoutMs);
        rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (rc) {
    case 0:
        return LockResult::Acquired;
    case EOWNERDEAD:
        // Like a Windows abandoned mutex: the caller owns it and is told the data may be torn.
        if (pthread_mutex_consistent(mutex) != 0) {
            pthread_mutex_unlock(mutex);
            return LockResult::Failed;
        }
        return LockResult::OwnerDied;
    case EBUSY:
    case ETIMEDOUT:
        return LockResult::TimedOut;
    default:
        return LockResult::Failed;
    }
}

void NamedMutex::unlock()
{
    // A release by a thread that does not own the mutex fails harmlessly (EPERM), as on Windows.
    (void)pthread_mutex_unlock(impl_->mutex);
}

// ---- NamedEvent ---------------------------------------------------------------------------------

struct NamedEvent::Impl {
    std::unique_ptr<Segment> segment;        // named events
    std::unique_ptr<EventState> localState;  // local events
    EventState* state = nullptr;
    bool shared = false;
};

NamedEvent::NamedEvent(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NamedEvent::~NamedEvent() = default;

std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name, EventReset reset, bool initiallySet,
                                             OpenFailure* failure)
{
    const EventInit init { reset == EventReset::Manual, initiallySet };
    auto segment = Segment::open(name, ObjectKind::Event, 0, initSharedEvent, &init, failure);
    if (!segment)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->state = static_cast<EventState*>(segment->body());
    impl->segment = std::move(segment);
    impl->shared = true;
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(impl)));
}

std::unique_ptr<NamedEvent> NamedEvent::createLocal(EventReset reset, bool initiallySet)
{
    auto impl = std::make_unique<Impl>();
    impl->localState = std::make_unique<EventState>();
    initEventState(impl->localState.get(), EventInit { reset == EventReset::Manual, initiallySet });
    impl->state = impl->localState.get();
    impl->shared = false;
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(impl)));
}

// A waiter reads the sequence word before it looks at the state, and every set or pulse changes
// the state before it bumps the word: a waiter can never sleep through a change it did not see.
void NamedEvent::set()
{
    EventState& state = *impl_->state;
    atomic(state.signalled).store(1);
    atomic(state.seq).fetch_add(1);
    // Every waiter re-checks its whole list, so waking one could strand another waiter of an
    // automatic event when the woken one takes a different event; waiters are few.
    if (atomic(state.waiters).load() > 0)
        futexWakeAll(&state.seq, impl_->shared);
}

void NamedEvent::reset()
{
    atomic(impl_->state->signalled).store(0);
}

void NamedEvent::pulse()
{
    EventState& state = *impl_->state;
    atomic(state.signalled).store(0);
    const uint32_t waiters = atomic(state.waiters).load();
    if (waiters == 0) {
        // Releases nobody, but one who noted the word before it looked learns of it (waitForEitherSince).
        atomic(state.seq).fetch_add(1);
        return;
    }
    // The waiters present now hold the tickets drawn so far.
    const uint64_t present = atomic(state.tickets).load();
    if (atomic(state.manual).load() != 0) {
        raiseTo(state.releasedUpTo, present);
    } else {
        // One release more for them; never more pending releases than waiters.
        uint64_t seen = atomic(state.grants).load();
        while (!atomic(state.grants).compare_exchange_weak(
            seen, grantWord(std::max(grantLimit(seen), present), std::min(grantCount(seen) + 1, waiters)))) {
        }
    }
    atomic(state.seq).fetch_add(1);
    futexWakeAll(&state.seq, impl_->shared);
}

bool NamedEvent::isSet() const
{
    return atomic(impl_->state->signalled).load() != 0;
}

NamedEvent::Look NamedEvent::peek(std::string_view name)
{
    EventState state {};
    switch (Segment::peek(name, ObjectKind::Event, &state, sizeof state)) {
    case Segment::Peek::Unheld:
        return Look::NotSet;
    case Segment::Peek::OtherFormat:
        return Look::OtherFormat;
    case Segment::Peek::Held:
        break;
    }
    return state.signalled != 0 ? Look::Set : Look::NotSet;
}

uint32_t NamedEvent::changes() const
{
    return atomic(impl_->state->seq).load();
}

namespace {

// Takes the event for a waiter with `ticket` (0 = not waiting yet).
bool tryTake(EventState& state, uint64_t ticket)
{
    if (atomic(state.manual).load() != 0) {
        return atomic(state.signalled).load() != 0
               || (ticket != 0 && atomic(state.releasedUpTo).load() >= ticket);
    }
    uint32_t set = 1;
    if (atomic(state.signalled).compare_exchange_strong(set, 0))
        return true;
    if (ticket == 0)
        return false;
    uint64_t seen = atomic(state.grants).load();
    while (grantCount(seen) > 0 && (ticket & kGrantLimitMask) <= grantLimit(seen)) {
        if (atomic(state.grants).compare_exchange_weak(seen, seen - 1))
            return true;
    }
    return false;
}

void addWaiter(EventState& state, uint64_t& ticket)
{
    atomic(state.waiters).fetch_add(1);
    ticket = atomic(state.tickets).fetch_add(1) + 1;
}

// A registered waiter leaves. Pending pulse releases never outnumber the waiters left, so a
// release meant for a waiter that went elsewhere does not pile up.
void dropWaiter(EventState& state)
{
    uint32_t waiters = atomic(state.waiters).load();
    while (waiters > 0 && !atomic(state.waiters).compare_exchange_weak(waiters, waiters - 1)) {
    }
    const uint32_t left = waiters > 0 ? waiters - 1 : 0;
    uint64_t seen = atomic(state.grants).load();
    while (grantCount(seen) > left
           && !atomic(state.grants).compare_exchange_weak(seen, grantWord(grantLimit(seen), left))) {
    }
}

// Sleeps until one of the sequence words moves away from its snapshot, or the deadline.
void sleepOnEvents(NamedEvent::Impl* const* events, const uint32_t* snapshots, int count,
                   const timespec& deadline)
{
    if (count == 1) {
        futexWait(&events[0]->state->seq, snapshots[0], events[0]->shared, deadline);
        return;
    }
    if (futexWaitvUsable()) {
        FutexWaitv waiters[2] {};
        for (int i = 0; i < count; ++i) {
            waiters[i].val = snapshots[i];
            waiters[i].uaddr = reinterpret_cast<uintptr_t>(&events[i]->state->seq);
            waiters[i].flags = kFutex2SizeU32 | (events[i]->shared ? 0 : kFutex2Private);
        }
        const long rc = syscall(kSysFutexWaitv, waiters, count, 0, &deadline, CLOCK_MONOTONIC);
        if (rc >= 0 || errno != ENOSYS)
            return;
        moduleState().futexWaitv.store(IpcModuleState::Unavailable, std::memory_order_relaxed);
    }
    // Fallback: sleep on the first, look at the second again after a short while.
    const timespec soon = addNs(monotonicNow(), kEitherPollNs);
    futexWait(&events[0]->state->seq, snapshots[0], events[0]->shared, before(soon, deadline) ? soon : deadline);
}

// Waits for the first of `count` (1 or 2) events; returns its index or -1 on time-out. With `since`,
// an event whose sequence word moved away from it counts as released (nothing taken).
int waitEvents(NamedEvent::Impl* const* events, int count, uint32_t timeoutMs, const uint32_t* since = nullptr)
{
    const timespec deadline = deadlineAfterMs(timeoutMs);
    uint64_t tickets[2] = { 0, 0 };
    uint32_t snapshots[2] = { 0, 0 };

    const auto leave = [&](int result) {
        for (int i = 0; i < count; ++i) {
            if (tickets[i] != 0)
                dropWaiter(*events[i]->state);
        }
        return result;
    };

    for (;;) {
        for (int i = 0; i < count; ++i) {
            EventState& state = *events[i]->state;
            snapshots[i] = atomic(state.seq).load();
            if (since != nullptr && snapshots[i] != since[i])
                return leave(i);
            if (tryTake(state, tickets[i]))
                return leave(i);
            if (tickets[i] == 0 && timeoutMs > 0)
                addWaiter(state, tickets[i]);
        }
        if (!before(monotonicNow(), deadline))
            return leave(-1);
        sleepOnEvents(events, snapshots, count, deadline);
    }
}

} // namespace

bool NamedEvent::wait(uint32_t timeoutMs)
{
    NamedEvent::Impl* const events[1] = { impl_.get() };
    return waitEvents(events, 1, timeoutMs) == 0;
}

bool NamedEvent::waitSince(uint32_t seen, uint32_t timeoutMs)
{
    NamedEvent::Impl* const events[1] = { impl_.get() };
    return waitEvents(events, 1, timeoutMs, &seen) == 0;
}

int waitForEither(NamedEvent& first, NamedEvent& second, uint32_t timeoutMs)
{
    NamedEvent::Impl* const events[2] = { &first.impl(), &second.impl() };
    return waitEvents(events, 2, timeoutMs);
}

int waitForEitherSince(NamedEvent& first, uint32_t firstSeen, NamedEvent& second, uint32_t secondSeen,
                       uint32_t timeoutMs)
{
    NamedEvent::Impl* const events[2] = { &first.impl(), &second.impl() };
    const uint32_t since[2] = { firstSeen, secondSeen };
    return waitEvents(events, 2, timeoutMs, since);
}

} // namespace ostrel::platform
