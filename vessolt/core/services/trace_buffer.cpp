#include "services/trace_buffer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <span>
#include <thread>
#include <vector>

#include "services/canopen_api.h"
#include "services/log.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {

namespace {

constexpr const char* kOverrunWarning = "Warning: receive buffer overrun!";
constexpr const char* kDropWarning = "Warning: receive buffer busy, frames dropped!";

// Records examined per hold of the lock by a search, so that the engine thread never waits long.
constexpr uint64_t kSearchChunk = 4096;
// Bounds how long a search gives way to the receive path between two chunks.
constexpr int kMaxYields = 1000;

[[nodiscard]] int64_t stampUs(const CANTimeStamp& t) {
    return static_cast<int64_t>(t.timeMs) * 1000 + static_cast<int64_t>(t.timeUs);
}

[[nodiscard]] int64_t diffUs(const CANTimeStamp& a, const CANTimeStamp& b) { return stampUs(a) - stampUs(b); }

[[nodiscard]] uint64_t dataWord(const uint8_t (&bytes)[8]) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

struct CompiledFilter {
    uint32_t idMask = 0, idValue = 0;
    uint8_t dlcMask = 0, dlcValue = 0, flagsMask = 0, flagsValue = 0;
    uint64_t dataMask = 0, dataValue = 0;

    CompiledFilter() = default;

    explicit CompiledFilter(const TraceFilter& f)
        : idMask(f.idMask), idValue(f.idValue), dlcMask(f.dlcMask), dlcValue(f.dlcValue), flagsMask(f.flagsMask),
          flagsValue(f.flagsValue), dataMask(dataWord(f.dataMask)), dataValue(dataWord(f.dataValue)) {}

    [[nodiscard]] bool matches(const TraceMessage& m) const {
        return (m.identifier & idMask) == idValue && (m.dlc & dlcMask) == dlcValue &&
               (m.flags & flagsMask) == flagsValue && (dataWord(m.data) & dataMask) == dataValue;
    }
};

// The filters of one search; a walk calls FindNext once per record, so the usual few filters are
// kept off the heap.
class CompiledFilters {
public:
    CompiledFilters(const TraceFilter* filters, int n) {
        const size_t count = (filters && n > 0) ? static_cast<size_t>(n) : 0;
        if (count > local_.size()) {
            heap_.reserve(count);
            for (size_t i = 0; i < count; ++i)
                heap_.emplace_back(filters[i]);
            view_ = heap_;
        } else {
            for (size_t i = 0; i < count; ++i)
                local_[i] = CompiledFilter(filters[i]);
            view_ = std::span<const CompiledFilter>(local_.data(), count);
        }
    }
    [[nodiscard]] bool empty() const { return view_.empty(); }
    [[nodiscard]] bool match(const TraceMessage& m) const {
        for (const CompiledFilter& f : view_)
            if (f.matches(m))
                return true;
        return false;
    }

private:
    std::array<CompiledFilter, 16> local_;
    std::vector<CompiledFilter> heap_;
    std::span<const CompiledFilter> view_;
};

} // namespace

bool traceFrameMatches(const TraceMessage& message, const TraceFilter& filter) {
    return CompiledFilter(filter).matches(message);
}

TTraceBuffer::TTraceBuffer(CanopenApi& api, ReceiveFanout& fanout, TLog& log, UserPrompt& prompt)
    : api_(api), fanout_(fanout), log_(log) {
    try {
        ring_ = std::make_unique<TraceMessage[]>(kRingCapacity);
    } catch (const std::bad_alloc&) {
        (void)prompt.ask(PromptIcon::Warning, "Failed to allocate trace buffer memory", kProductName,
                         PromptButtons::Ok);
    }
    captureStart_ = api_.getCurrentTime();
    fanout_.attach(ReceiveStageSlot::Trace, *this);
    fanout_.registerWith(api_);
}

TTraceBuffer::~TTraceBuffer() { fanout_.detach(ReceiveStageSlot::Trace); }

void TTraceBuffer::onReceive(const CANFrame& frame, bool answersRequest) {
    Add(frame.id, frame.length, answersRequest ? kTraceKindAnswer : kTraceKindOther, frame.timeMs,
        frame.timeMsOverflow, frame.timeUs, (frame.flags & DRN_FLAG_REMOTE) != 0,
        (frame.flags & DRN_FLAG_EXTENDED) != 0, frame.data);
}

void TTraceBuffer::Add(uint32_t identifier, uint8_t dlc, uint8_t kind, uint32_t timeMs, uint32_t timeMsOverflow,
                       uint32_t timeUs, bool remote, bool extended, const uint8_t* data) {
    if (!ring_)
        return;
    bool warnOverrun = false;
    {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            // Searches see this and let the receive path in between their chunks.
            receiveWaiting_.fetch_add(1);
            lock = std::unique_lock(mutex_, kReceiveLockWait);
            receiveWaiting_.fetch_sub(1);
        }
        if (!lock.owns_lock()) {
            // Never written unlocked: the frame is lost, and said so once per reset.
            dropped_.fetch_add(1, std::memory_order_relaxed);
            if (!dropWarned_.exchange(true))
                log_.Add(kDropWarning);
            return;
        }
        if (!capturing_)
            return;
        if (added_ >= kRingCapacity && !overrunWarned_) {
            overrunWarned_ = true;
            warnOverrun = true;
        }
        TraceMessage& r = ring_[added_ % kRingCapacity];
        const uint8_t length = std::min<uint8_t>(dlc, 8);
        r.identifier = identifier;
        r.dlc = length;
        std::memset(r.data, 0, sizeof r.data);
        if (data)
            std::memcpy(r.data, data, length);
        r.flags = static_cast<uint8_t>((extended ? kTraceFlagExtended : 0) | (remote ? kTraceFlagRemote : 0));
        r.kind = kind;
        r.valid = 1;
        r.time = CANTimeStamp{timeMs, timeMsOverflow, timeUs};
        ++added_;
        updateStatistics();
    }
    // Logged after the ring lock is released: the log takes a lock of its own and posts.
    if (warnOverrun)
        log_.Add(kOverrunWarning);
}

void TTraceBuffer::updateStatistics() {
    const uint64_t stored = std::min<uint64_t>(added_, kRingCapacity);
    const uint64_t newest = added_ - 1;
    const TraceMessage& n = record(newest);
    if (stored >= 10) {
        uint64_t busyUs = 0;
        for (uint64_t back = 1; back <= 9; ++back) {
            const TraceMessage& r = record(newest - back);
            const bool ext = (r.flags & kTraceFlagExtended) != 0;
            busyUs += frameTimeUs_[ext ? 1 : 0][(r.flags & kTraceFlagRemote) ? 0 : r.dlc];
        }
        // Whole-millisecond stamps can give a span of 0: no figure then, rather than infinity.
        const int64_t span = diffUs(n.time, record(newest - 9).time);
        if (span > 0) {
            busLoad_ = static_cast<float>(std::min(100.0, static_cast<double>(busyUs) * 100.0 / static_cast<double>(span)));
            maxBusLoad_ = std::max(maxBusLoad_, busLoad_);
        }
    }
    if (stored >= 20) {
        // Twenty frames span nineteen intervals.
        const int64_t span = diffUs(n.time, record(newest - 19).time);
        if (span > 0) {
            messageRate_ = static_cast<float>(19'000'000.0 / static_cast<double>(span));
            peakMessageRate_ = std::max(peakMessageRate_, messageRate_);
        }
    }
}

void TTraceBuffer::buildFrameTimes(uint32_t bitRate) {
    if (bitRate == 0)
        return;
    // Bits on the wire without stuffing: 47 + 8 per data byte for a standard frame, 67 + 8 for an
    // extended one.
    for (uint32_t d = 0; d <= 8; ++d) {
        frameTimeUs_[0][d] = (47 + 8 * d) * 1000 / bitRate;
        frameTimeUs_[1][d] = (67 + 8 * d) * 1000 / bitRate;
    }
}

void TTraceBuffer::Start(uint32_t bitRate) {
    // A server round trip in client mode: asked before the lock is taken, so that the engine thread
    // is not held up meanwhile.
    const CANTimeStamp now = api_.getCurrentTime();
    std::lock_guard lock(mutex_);
    busLoad_ = maxBusLoad_ = 0;
    messageRate_ = peakMessageRate_ = 0;
    buildFrameTimes(bitRate);
    captureStart_ = now;
    capturing_ = true;
}

void TTraceBuffer::Stop() {
    std::lock_guard lock(mutex_);
    capturing_ = false;
}

void TTraceBuffer::Reset() {
    std::lock_guard lock(mutex_);
    added_ = 0;
    overrunWarned_ = false;
    cursor_ = 0;
    cursorSet_ = false;
    ++generation_;
    searchEnd_ = UINT64_MAX;
    busLoad_ = maxBusLoad_ = 0;
    messageRate_ = peakMessageRate_ = 0;
    dropped_.store(0, std::memory_order_relaxed);
    dropWarned_.store(false);
}

std::optional<TraceMessage> TTraceBuffer::FindFirst(const TraceFilter* filters, int n) {
    return search(false, filters, n);
}

std::optional<TraceMessage> TTraceBuffer::FindNext(const TraceFilter* filters, int n) {
    return search(true, filters, n);
}

std::optional<TraceMessage> TTraceBuffer::search(bool resumeAtCursor, const TraceFilter* filters, int n) {
    const CompiledFilters compiled(filters, n);
    std::unique_lock lock(mutex_);
    auto limit = [this] { return std::min(added_, searchEnd_); };
    if (!ring_ || limit() == 0)
        return std::nullopt;
    const uint32_t generation = generation_;
    uint64_t seq = 0;  // clamped to the oldest record below
    if (compiled.empty()) {
        cursor_ = limit();
        cursorSet_ = true;
        return std::nullopt;
    }
    if (resumeAtCursor && cursorSet_) {
        seq = cursor_ + 1;
        if (seq >= limit()) {
            // Reached the slot of the next frame.
            cursor_ = limit();
            return std::nullopt;
        }
    }
    for (;;) {
        seq = std::max(seq, added_ > kRingCapacity ? added_ - kRingCapacity : 0);
        const uint64_t end = std::min(limit(), seq + kSearchChunk);
        for (; seq < end; ++seq) {
            const TraceMessage& r = record(seq);
            if (compiled.match(r)) {
                cursor_ = seq;
                cursorSet_ = true;
                return r;
            }
        }
        if (seq >= limit())
            break;
        // Let the engine store what arrived meanwhile. The mutex is not fair: without waiting for the
        // receive path to get in, this thread could take it straight back, chunk after chunk.
        lock.unlock();
        for (int i = 0; i < kMaxYields && receiveWaiting_.load() != 0; ++i)
            std::this_thread::yield();
        lock.lock();
        if (generation_ != generation)
            break;  // reset under our feet: nothing of what we searched is left
    }
    cursor_ = limit();
    cursorSet_ = true;
    return std::nullopt;
}

uint64_t TTraceBuffer::GetRecordedCount() const {
    std::lock_guard lock(mutex_);
    return added_;
}

void TTraceBuffer::LimitSearches(uint64_t from, const TraceFilter& closing) {
    const CompiledFilter filter(closing);
    std::lock_guard lock(mutex_);
    uint64_t seq = std::max(from, added_ > kRingCapacity ? added_ - kRingCapacity : 0);
    while (seq < added_ && !filter.matches(record(seq)))
        ++seq;
    searchEnd_ = seq < added_ ? seq : std::min(from, added_);
}

std::optional<CANTimeStamp> TTraceBuffer::GetSearchEndTime() const {
    std::lock_guard lock(mutex_);
    if (!ring_ || added_ == 0)
        return std::nullopt;
    const uint64_t oldest = added_ > kRingCapacity ? added_ - kRingCapacity : 0;
    const uint64_t end = searchEnd_ < added_ ? std::max(searchEnd_, oldest) : added_ - 1;
    return record(end).time;
}

void TTraceBuffer::EndSearchLimit() {
    std::lock_guard lock(mutex_);
    searchEnd_ = UINT64_MAX;
}

void TTraceBuffer::ClearFilter(TraceFilter& filter) { filter = TraceFilter{}; }

CANTimeStamp TTraceBuffer::TimestampDiff(CANTimeStamp a, CANTimeStamp b) {
    const int64_t d = diffUs(a, b);
    if (d <= 0)
        return CANTimeStamp{0, 0, 0};
    return CANTimeStamp{static_cast<uint32_t>(d / 1000), 0, static_cast<uint32_t>(d % 1000)};
}

void TTraceBuffer::ClearBusLoad() {
    std::lock_guard lock(mutex_);
    busLoad_ = maxBusLoad_ = 0;
}

void TTraceBuffer::ClearMessageRate() {
    std::lock_guard lock(mutex_);
    messageRate_ = peakMessageRate_ = 0;
}

float TTraceBuffer::GetBusLoad() const {
    std::lock_guard lock(mutex_);
    return busLoad_;
}

float TTraceBuffer::GetMaxBusLoad() const {
    std::lock_guard lock(mutex_);
    return maxBusLoad_;
}

float TTraceBuffer::GetMessageRate() const {
    std::lock_guard lock(mutex_);
    return messageRate_;
}

float TTraceBuffer::GetPeakMessageRate() const {
    std::lock_guard lock(mutex_);
    return peakMessageRate_;
}

bool TTraceBuffer::IsCapturing() const {
    std::lock_guard lock(mutex_);
    return capturing_;
}

CANTimeStamp TTraceBuffer::GetCaptureStartTime() const {
    std::lock_guard lock(mutex_);
    return captureStart_;
}

size_t TTraceBuffer::GetStoredCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::min<uint64_t>(added_, kRingCapacity));
}

} // namespace ostrel::vessolt
