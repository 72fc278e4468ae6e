// Shared memory, robust named mutexes and Windows-style events over named segments.
//
// An event is a small state record guarded by its own robust mutex plus a 32-bit sequence word
// that waiters sleep on with futexes. Every set or pulse bumps the word, so a waiter that read it
// under the lock can never miss a wake. Pulses are told apart from sets by tickets: each waiter
// draws one when it starts to wait, and a pulse releases the tickets drawn before it.
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

// Holders keep an event's state lock for a few instructions; the bound only matters when one
// of them is stopped.
constexpr uint32_t kStateLockTimeoutMs = 5000;
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

// Lives at the body of an event segment (or on the heap for a local event).
struct EventState {
    pthread_mutex_t lock;    // robust when shared
    uint32_t seq;            // futex word, bumped by every set and pulse
    uint32_t signalled;
    uint32_t manual;
    uint32_t waiters;        // threads inside a wait (may over-count after a waiter was killed)
    uint64_t tickets;        // last ticket drawn
    uint64_t releasedUpTo;   // manual reset: tickets up to this one were released by a pulse
    uint64_t grantLimit;     // automatic reset: pulse grants apply to tickets up to this one
    uint32_t grants;         // automatic reset: pulse releases not yet taken
    uint32_t reserved;
};
static_assert(offsetof(EventState, seq) == sizeof(pthread_mutex_t));
static_assert(offsetof(EventState, seq) % 4 == 0);
static_assert(offsetof(EventState, tickets) % 8 == 0);
static_assert(sizeof(EventState) == 88);
static_assert(sizeof(EventState) <= ipc_detail::kMaxBodySize);

struct MutexState {
    pthread_mutex_t mutex;
};
static_assert(sizeof(MutexState) <= ipc_detail::kMaxBodySize);

uint32_t loadWord(uint32_t& word)
{
    return std::atomic_ref<uint32_t>(word).load(std::memory_order_acquire);
}

void storeWord(uint32_t& word, uint32_t value)
{
    std::atomic_ref<uint32_t>(word).store(value, std::memory_order_release);
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
    bool shared;
};

bool initEventState(EventState* state, const EventInit& init)
{
    state->manual = init.manual ? 1 : 0;
    state->signalled = init.initiallySet ? 1 : 0;
    return initMutex(&state->lock, init.shared, PTHREAD_MUTEX_NORMAL);
}

void initSharedEvent(void* body, const void* context)
{
    auto* state = ::new (body) EventState();
    (void)initEventState(state, *static_cast<const EventInit*>(context));
}

void initSharedMutex(void* body, const void*)
{
    auto* state = ::new (body) MutexState();
    (void)initMutex(&state->mutex, true, PTHREAD_MUTEX_RECURSIVE);
}

// Holds an event's state lock; a holder that died leaves consistent-enough counters behind.
class StateLock {
public:
    explicit StateLock(EventState& state) : mutex_(&state.lock)
    {
        int rc = pthread_mutex_trylock(mutex_);
        if (rc == EBUSY) {
            const timespec deadline = deadlineAfterMs(kStateLockTimeoutMs);
            rc = pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline);
        }
        if (rc == EOWNERDEAD)
            rc = pthread_mutex_consistent(mutex_);
        held_ = rc == 0;
    }
    ~StateLock() { release(); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    [[nodiscard]] bool held() const noexcept { return held_; }
    void release()
    {
        if (held_)
            pthread_mutex_unlock(mutex_);
        held_ = false;
    }

private:
    pthread_mutex_t* mutex_;
    bool held_ = false;
};

} // namespace

// ---- SharedMemory -------------------------------------------------------------------------------

struct SharedMemory::Impl {
    std::unique_ptr<Segment> segment;
};

SharedMemory::SharedMemory(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SharedMemory::~SharedMemory() = default;

std::unique_ptr<SharedMemory> SharedMemory::open(std::string_view name, std::size_t size)
{
    if (size == 0)
        return nullptr;
    auto segment = Segment::open(name, ObjectKind::Memory, size, nullptr, nullptr);
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

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view name)
{
    auto segment = Segment::open(name, ObjectKind::Mutex, 0, initSharedMutex, nullptr);
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

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl()
    {
        if (localState)
            pthread_mutex_destroy(&localState->lock);
    }
};

NamedEvent::NamedEvent(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NamedEvent::~NamedEvent() = default;

std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name, EventReset reset, bool initiallySet)
{
    const EventInit init { reset == EventReset::Manual, initiallySet, true };
    auto segment = Segment::open(name, ObjectKind::Event, 0, initSharedEvent, &init);
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
    auto state = std::make_unique<EventState>();
    if (!initEventState(state.get(), EventInit { reset == EventReset::Manual, initiallySet, false }))
        return nullptr;
    impl->localState = std::move(state);
    impl->state = impl->localState.get();
    impl->shared = false;
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(impl)));
}

void NamedEvent::set()
{
    EventState& state = *impl_->state;
    StateLock lock(state);
    if (!lock.held())
        return;
    storeWord(state.signalled, 1);
    storeWord(state.seq, state.seq + 1);
    const bool wake = state.waiters > 0;
    lock.release();
    // Every waiter re-checks its whole list, so waking one could strand another waiter of an
    // automatic event when the woken one takes a different event; waiters are few.
    if (wake)
        futexWakeAll(&state.seq, impl_->shared);
}

void NamedEvent::reset()
{
    EventState& state = *impl_->state;
    StateLock lock(state);
    if (lock.held())
        storeWord(state.signalled, 0);
}

void NamedEvent::pulse()
{
    EventState& state = *impl_->state;
    StateLock lock(state);
    if (!lock.held())
        return;
    storeWord(state.signalled, 0);
    if (state.waiters == 0)
        return;
    if (state.manual != 0) {
        state.releasedUpTo = state.tickets;
    } else {
        // One release for the waiters present now; never more pending releases than waiters.
        state.grants = std::min(state.grants + 1, state.waiters);
        state.grantLimit = state.tickets;
    }
    storeWord(state.seq, state.seq + 1);
    lock.release();
    futexWakeAll(&state.seq, impl_->shared);
}

bool NamedEvent::isSet() const
{
    return loadWord(impl_->state->signalled) != 0;
}

namespace {

// Under the state lock: takes the event for a waiter with `ticket` (0 = not waiting yet).
bool tryTake(EventState& state, uint64_t ticket)
{
    if (loadWord(state.signalled) != 0) {
        if (state.manual == 0)
            storeWord(state.signalled, 0);
        return true;
    }
    if (ticket == 0)
        return false;
    if (state.manual != 0)
        return state.releasedUpTo >= ticket;
    if (state.grants > 0 && ticket <= state.grantLimit) {
        --state.grants;
        return true;
    }
    return false;
}

// Under the state lock: a registered waiter leaves. Pending pulse releases never outnumber the
// waiters left, so a release meant for a waiter that went elsewhere does not pile up.
void dropWaiter(EventState& state)
{
    if (state.waiters > 0)
        --state.waiters;
    state.grants = std::min(state.grants, state.waiters);
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

// Waits for the first of `count` (1 or 2) events; returns its index or -1 on time-out.
int waitEvents(NamedEvent::Impl* const* events, int count, uint32_t timeoutMs)
{
    const timespec deadline = deadlineAfterMs(timeoutMs);
    uint64_t tickets[2] = { 0, 0 };
    uint32_t snapshots[2] = { 0, 0 };

    const auto leave = [&](int keep) {
        for (int i = 0; i < count; ++i) {
            if (i == keep || tickets[i] == 0)
                continue;
            EventState& state = *events[i]->state;
            StateLock lock(state);
            if (lock.held())
                dropWaiter(state);
            tickets[i] = 0;
        }
    };

    for (;;) {
        int taken = -1;
        bool failed = false;
        for (int i = 0; i < count && taken < 0; ++i) {
            EventState& state = *events[i]->state;
            StateLock lock(state);
            if (!lock.held()) {
                failed = true;
                break;
            }
            if (tryTake(state, tickets[i])) {
                if (tickets[i] != 0)
                    dropWaiter(state);
                tickets[i] = 0;
                taken = i;
                break;
            }
            if (tickets[i] == 0 && timeoutMs > 0) {
                tickets[i] = ++state.tickets;
                ++state.waiters;
            }
            snapshots[i] = loadWord(state.seq);
        }
        if (taken >= 0 || failed) {
            leave(taken);
            return taken;
        }
        if (!before(monotonicNow(), deadline)) {
            leave(-1);
            return -1;
        }
        sleepOnEvents(events, snapshots, count, deadline);
    }
}

} // namespace

bool NamedEvent::wait(uint32_t timeoutMs)
{
    NamedEvent::Impl* const events[1] = { impl_.get() };
    return waitEvents(events, 1, timeoutMs) == 0;
}

int waitForEither(NamedEvent& first, NamedEvent& second, uint32_t timeoutMs)
{
    NamedEvent::Impl* const events[2] = { &first.impl(), &second.impl() };
    return waitEvents(events, 2, timeoutMs);
}

} // namespace ostrel::platform
