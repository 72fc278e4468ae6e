#pragma once
// The trace: every frame received while capture is on, in a ring of 500,000 records, with the
// library's time stamps; masked searches over the recording; bus load and message rate figures.
//
// The usual measurement: Stop, Reset, Start(bit rate), stimulate, wait, Stop, then FindFirst /
// FindNext and TimestampDiff over the recording.
#include <drennic/drennic.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "services/receive_fanout.h"
#include "services/timed_mutex.h"

namespace ostrel::vessolt {

class CanopenApi;
class TLog;
class UserPrompt;

// One recorded frame.
struct TraceMessage {
    uint32_t identifier;
    uint8_t dlc;      // 0 to 8
    uint8_t data[8];  // bytes past dlc are 0
    uint8_t flags;    // bit 0 extended identifier, bit 1 remote request
    uint8_t kind;     // 0: answer to the request the engine was running; 2: any other frame
    uint32_t valid;   // 1 for a written record
    CANTimeStamp time;
};
static_assert(sizeof(TraceMessage) == 32);
static_assert(offsetof(TraceMessage, dlc) == 4);
static_assert(offsetof(TraceMessage, data) == 5);
static_assert(offsetof(TraceMessage, flags) == 13);
static_assert(offsetof(TraceMessage, kind) == 14);
static_assert(offsetof(TraceMessage, valid) == 16);
static_assert(offsetof(TraceMessage, time) == 20);

inline constexpr uint8_t kTraceFlagExtended = 0x01;
inline constexpr uint8_t kTraceFlagRemote = 0x02;
inline constexpr uint8_t kTraceKindAnswer = 0;
inline constexpr uint8_t kTraceKindOther = 2;

// A frame matches when (field AND mask) == value for the identifier, the dlc, the flags and each data
// byte. An all-zero filter matches every frame.
struct TraceFilter {
    uint32_t idMask;
    uint32_t idValue;
    uint8_t dlcMask;
    uint8_t dlcValue;
    uint8_t flagsMask;
    uint8_t flagsValue;
    uint8_t dataMask[8];
    uint8_t dataValue[8];
};
static_assert(sizeof(TraceFilter) == 28);
static_assert(offsetof(TraceFilter, dlcMask) == 8);
static_assert(offsetof(TraceFilter, dataMask) == 12);
static_assert(offsetof(TraceFilter, dataValue) == 20);

[[nodiscard]] bool traceFrameMatches(const TraceMessage& message, const TraceFilter& filter);

class TTraceBuffer final : public ReceiveStage {
public:
    static constexpr size_t kRingCapacity = 500'000;
    static constexpr auto kReceiveLockWait = std::chrono::milliseconds(100);

    // Allocates the ring (a warning box when that fails; the object then records nothing), attaches
    // the trace stage and registers the fan-out with the library, also without a ring, so that the
    // other stages still receive.
    TTraceBuffer(CanopenApi& api, ReceiveFanout& fanout, TLog& log, UserPrompt& prompt);
    // Detaches the trace stage (waiting for a running call); the fan-out stays registered.
    ~TTraceBuffer() override;
    TTraceBuffer(const TTraceBuffer&) = delete;
    TTraceBuffer& operator=(const TTraceBuffer&) = delete;

    // The trace stage of the receive fan-out.
    void onReceive(const CANFrame& frame, bool answersRequest) override;

    // Stores one frame while capturing (engine thread). dlc above 8 counts as 8.
    void Add(uint32_t identifier, uint8_t dlc, uint8_t kind, uint32_t timeMs, uint32_t timeMsOverflow,
             uint32_t timeUs, bool remote, bool extended, const uint8_t* data);

    // Clears the statistics, builds the frame-time table for bitRate kbit/s (kept when 0), takes the
    // capture start time and switches capture on.
    void Start(uint32_t bitRate);
    void Stop();
    // Empties the recording; the capture state is kept.
    void Reset();

    // Copies, never pointers into the ring. n <= 0 or a null array finds nothing.
    [[nodiscard]] std::optional<TraceMessage> FindFirst(const TraceFilter* filters, int n);
    // The next match after the last found record; without a FindFirst since construction or Reset
    // it starts at the oldest record.
    [[nodiscard]] std::optional<TraceMessage> FindNext(const TraceFilter* filters, int n);
    static void ClearFilter(TraceFilter& filter);

    // Frames recorded since the last Reset: a mark between the frames before a moment and after it.
    [[nodiscard]] uint64_t GetRecordedCount() const;
    // Searches end before the first frame from frame `from` on that matches `closing` (before frame
    // `from` when none does) until EndSearchLimit or Reset: the analysis of a measurement ends at
    // the moment that closed it, though the recording went on.
    void LimitSearches(uint64_t from, const TraceFilter& closing);
    void EndSearchLimit();
    // When the searched recording ends: the time of the frame that closed it (LimitSearches), else
    // that of the newest frame; nullopt when nothing is recorded.
    [[nodiscard]] std::optional<CANTimeStamp> GetSearchEndTime() const;

    // a - b, never negative, to the microsecond.
    [[nodiscard]] static CANTimeStamp TimestampDiff(CANTimeStamp a, CANTimeStamp b);

    void ClearBusLoad();
    void ClearMessageRate();
    [[nodiscard]] float GetBusLoad() const;
    [[nodiscard]] float GetMaxBusLoad() const;
    [[nodiscard]] float GetMessageRate() const;
    [[nodiscard]] float GetPeakMessageRate() const;

    [[nodiscard]] bool IsCapturing() const;
    [[nodiscard]] bool HasRing() const noexcept { return ring_ != nullptr; }
    [[nodiscard]] CANTimeStamp GetCaptureStartTime() const;
    [[nodiscard]] size_t GetStoredCount() const;
    // Frames dropped because the lock could not be had in time since the last reset.
    [[nodiscard]] uint64_t GetDroppedCount() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    // From the oldest record, or from the one after the cursor.
    [[nodiscard]] std::optional<TraceMessage> search(bool resumeAtCursor, const TraceFilter* filters, int n);
    void buildFrameTimes(uint32_t bitRate);
    void updateStatistics();  // ring lock held
    [[nodiscard]] const TraceMessage& record(uint64_t sequence) const {
        return ring_[sequence % kRingCapacity];
    }

    CanopenApi& api_;
    ReceiveFanout& fanout_;
    TLog& log_;

    mutable TimedMutex mutex_;
    std::unique_ptr<TraceMessage[]> ring_;
    // Frames are numbered from 0 since the last reset; frame k lives in slot k % capacity and
    // survives until frame k + capacity overwrites it.
    uint64_t added_ = 0;
    bool overrunWarned_ = false;
    bool capturing_ = false;
    CANTimeStamp captureStart_{};
    uint64_t cursor_ = 0;  // sequence number of the last found record, or of the next slot
    bool cursorSet_ = false;
    uint32_t generation_ = 0;  // counts resets, so that a search that spans one starts over
    uint64_t searchEnd_ = UINT64_MAX;  // searches see the frames before this one
    // Time in µs a frame with 0 to 8 data bytes occupies the bus: standard and extended identifiers.
    uint32_t frameTimeUs_[2][9] = {};
    float busLoad_ = 0, maxBusLoad_ = 0;
    float messageRate_ = 0, peakMessageRate_ = 0;

    std::atomic<int> receiveWaiting_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> dropWarned_{false};
};

// Limits the trace's searches (TTraceBuffer::LimitSearches) while it lives.
class TraceSearchLimit {
public:
    TraceSearchLimit(TTraceBuffer& trace, uint64_t from, const TraceFilter& closing) : trace_(trace) {
        trace_.LimitSearches(from, closing);
    }
    ~TraceSearchLimit() { trace_.EndSearchLimit(); }
    TraceSearchLimit(const TraceSearchLimit&) = delete;
    TraceSearchLimit& operator=(const TraceSearchLimit&) = delete;

private:
    TTraceBuffer& trace_;
};

} // namespace ostrel::vessolt
