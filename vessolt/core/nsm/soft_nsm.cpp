#include "nsm/soft_nsm.h"

#include <platform/clock.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "services/canopen_api.h"
#include "services/log.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {

namespace {
constexpr uint32_t kAbortUnsupported = 0x05040001;   // command specifier not valid
constexpr uint32_t kAbortWriteOnly = 0x06010001;     // read of a write-only object
constexpr uint32_t kAbortReadOnly = 0x06010002;      // write to a read-only object
constexpr uint32_t kAbortNoObject = 0x06020000;
constexpr uint32_t kAbortNoSubIndex = 0x06090011;
constexpr uint32_t kAbortCannotStore = 0x08000021;
// Without frames or due entries the worker still looks at its state this often.
constexpr uint64_t kIdleWaitUs = 100'000;
constexpr uint64_t kMinCycleUs = 1000;

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

TSoftNSM::TSoftNSM(CanopenApi& api, TLog& log, UserPrompt& prompt, std::function<SoftNSMSettings()> settings)
    : api_(api), log_(log), prompt_(prompt), settings_(std::move(settings)),
      ring_(std::make_unique<RingRecord[]>(kRingSize)) {
    // The monotonic clock has microseconds here: nothing to configure for the list times.
    timerPeriodSet_ = true;
}

TSoftNSM::~TSoftNSM() {
    StopTimer();
    Stop();
}

void TSoftNSM::StartTimer() { timerRunning_ = true; }

void TSoftNSM::StopTimer() { timerRunning_ = false; }

void TSoftNSM::Start() {
    const SoftNSMSettings s = settings_ ? settings_() : SoftNSMSettings{};
    if (!s.enabled || s.nodeId < 1 || s.nodeId > 127)
        return;
    Stop();
    std::lock_guard control(controlMutex_);
    nodeId_ = s.nodeId;
    {
        std::lock_guard lock(ringLock_);
        writeIndex_ = readIndex_ = 0;
    }
    StartTimer();
    worker_ = std::thread([this] { run(); });
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(kStartStopWaitMs), [this] { return workerState_.load() == 1; });
}

void TSoftNSM::Stop() {
    std::lock_guard control(controlMutex_);
    uint32_t running = 1;
    if (workerState_.compare_exchange_strong(running, 2)) {
        std::lock_guard lock(wakeMutex_);
        wake_.notify_all();
    }
    if (worker_.joinable())
        worker_.join();
    StopTimer();
    workerState_ = 0;
}

void TSoftNSM::onReceive(const CANFrame& frame, bool) {
    OnCANReceive(frame.id, frame.length, frame.timeMs, frame.timeMsOverflow, frame.timeUs, frame.flags, frame.data);
}

void TSoftNSM::OnCANReceive(uint32_t identifier, uint8_t dlc, uint32_t time0, uint32_t time1, uint32_t time2,
                            uint8_t flags, const uint8_t* data) {
    const uint8_t node = nodeId_.load();
    if (workerState_.load() == 0 || (flags & DRN_FLAG_EXTENDED) != 0 ||
        (identifier != 0 && identifier != 0x600u + node))
        return;
    bool overflow = false;
    {
        std::unique_lock lock(ringLock_, std::chrono::milliseconds(kLockWaitMs));
        if (!lock.owns_lock())
            return;  // the frame is dropped
        RingRecord& r = ring_[writeIndex_];
        r = RingRecord{};
        r.identifier = identifier;
        r.dlc = std::min<uint8_t>(dlc, 8);
        if (data != nullptr)
            std::memcpy(r.data, data, r.dlc);
        r.flags = flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE);
        r.time[0] = time0;
        r.time[1] = time1;
        r.time[2] = time2;
        writeIndex_ = (writeIndex_ + 1) % kRingSize;
        if (writeIndex_ == readIndex_) {
            readIndex_ = (readIndex_ + 1) % kRingSize;
            overflow = true;
        }
    }
    if (overflow)
        log_.Add("Warning: SoftNSM receive buffer overflow");
    std::lock_guard wake(wakeMutex_);
    frameQueued_ = true;
    wake_.notify_all();
}

bool TSoftNSM::popFrame(RingRecord& record) {
    std::unique_lock lock(ringLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock() || readIndex_ == writeIndex_)
        return false;  // a time-out is retried on the next pass
    record = ring_[readIndex_];
    readIndex_ = (readIndex_ + 1) % kRingSize;
    return true;
}

void TSoftNSM::run() {
    {
        std::lock_guard lock(wakeMutex_);
        workerState_ = 1;
        wake_.notify_all();
    }
    SendBootup();
    while (workerState_.load() != 2) {
        RingRecord record{};
        for (uint32_t i = 0; i < kRingSize && popFrame(record); ++i)
            HandleFrame(record);
        TransmitScheduler();
        const uint64_t now = platform::monotonicUs();
        const uint64_t due = std::min(nextDueUs(), now + kIdleWaitUs);
        std::unique_lock lock(wakeMutex_);
        if (due > now)
            wake_.wait_for(lock, std::chrono::microseconds(due - now),
                           [this] { return frameQueued_ || workerState_.load() == 2; });
        frameQueued_ = false;
    }
    workerState_ = 0;
}

void TSoftNSM::transmit(uint32_t identifier, uint8_t dlc, const uint8_t* data, bool remote) {
    CANFrame frame{};
    frame.id = identifier;
    frame.length = std::min<uint8_t>(dlc, 8);
    frame.flags = remote ? DRN_FLAG_REMOTE : 0;
    if (data != nullptr)
        std::memcpy(frame.data, data, frame.length);
    ResultBlock result{};
    api_.canTransmit(frame, &result);
}

void TSoftNSM::answer(const uint8_t* data) { transmit(0x580u + nodeId_.load(), 8, data, false); }

void TSoftNSM::SendResetFrame() {
    const uint8_t zeros[8] = {};
    transmit(0x002, 8, zeros, false);
}

void TSoftNSM::SendBootup() {
    transmissionState_ = 0;
    versionReply_ = 0;
    selectedList_ = 0;
    bytePosition_ = 0;
    for (ListState& list : lists_) {
        list.count = 0;
        list.next = 0;
    }
    const uint8_t node = nodeId_.load();
    const uint8_t zeros[8] = {};
    transmit(0x700u + node, 1, zeros, false);
    transmit(0x080u + node, 8, zeros, false);
}

void TSoftNSM::SendAbort(uint8_t* reply, uint32_t code) {
    reply[0] = 0x80;
    putLe32(reply + 4, code);
    answer(reply);
}

bool TSoftNSM::AppendListData(bool last, uint8_t count, const uint8_t* bytes) {
    // Segments with no list selected have nowhere to go.
    if (selectedList_ < 1 || selectedList_ > kListCount)
        return false;
    ListState& list = lists_[selectedList_ - 1];
    const uint8_t capacity = kListCapacity[selectedList_ - 1];
    for (uint8_t i = 0; i < count; ++i) {
        if (list.count >= capacity)
            return false;
        auto* raw = reinterpret_cast<uint8_t*>(&list.entries[list.count]);
        raw[bytePosition_++] = bytes[i];
        if (bytePosition_ == sizeof(NSMListEntry)) {
            ++list.count;
            bytePosition_ = 0;
        }
    }
    return !(last && bytePosition_ != 0);
}

void TSoftNSM::HandleFrame(const RingRecord& record) {
    const uint8_t node = nodeId_.load();
    if (record.identifier == 0) {
        const uint8_t command = record.data[0];
        if ((command == 0x81 || command == 0x82) && (record.data[1] == 0 || record.data[1] == node)) {
            SendResetFrame();
            SendBootup();
        }
        return;
    }
    if (record.identifier == 0x600u + node && record.dlc >= 1)
        handleSdo(record);
}

void TSoftNSM::handleSdo(const RingRecord& record) {
    const uint8_t* request = record.data;
    uint8_t reply[8] = {0, request[1], request[2], request[3], 0, 0, 0, 0};
    const uint8_t command = request[0];
    if (command <= 0x1F) {
        const auto count = static_cast<uint8_t>(7 - ((command & 0x0E) >> 1));
        if (AppendListData((command & 0x01) != 0, count, request + 1)) {
            reply[0] = static_cast<uint8_t>((command & 0x10) | 0x20);
            answer(reply);
        } else {
            if (selectedList_ >= 1 && selectedList_ <= kListCount)
                lists_[selectedList_ - 1].count = 0;
            bytePosition_ = 0;
            SendAbort(reply, kAbortCannotStore);
        }
        return;
    }
    const auto index = static_cast<uint16_t>(request[1] | (request[2] << 8));
    const uint8_t sub = request[3];
    const uint8_t cs = command & 0xE0;
    const bool expedited = (command & 0x02) != 0;
    const bool known = (index == 0x1000 && sub == 0) || ((index == 0x1F50 || index == 0x1F51) && sub <= 1);
    if (!known) {
        SendAbort(reply, sub == 0 ? kAbortNoObject : kAbortNoSubIndex);
        return;
    }
    if (cs == 0x80)
        return;
    if (cs != 0x40 && cs != 0x20) {
        SendAbort(reply, kAbortUnsupported);
        return;
    }
    const bool upload = cs == 0x40;
    if (index == 0x1000) {
        if (upload) {
            reply[0] = 0x43;
            answer(reply);
        } else {
            SendAbort(reply, kAbortReadOnly);
        }
        return;
    }
    if (sub == 0) {
        if (upload) {
            reply[0] = 0x4F;
            reply[4] = 1;
            answer(reply);
        } else {
            SendAbort(reply, kAbortReadOnly);
        }
        return;
    }
    if (index == 0x1F50) {
        if (upload) {
            reply[0] = 0x43;
            if (versionReply_ == 0) {
                std::memcpy(reply + 4, "TLst", 4);
            } else {
                reply[6] = 1;  // minor 0, major 1
                versionReply_ = 0;
            }
            answer(reply);
            return;
        }
        reply[0] = 0x60;
        if (!expedited) {
            answer(reply);  // the data follow as segments
            return;
        }
        if (std::memcmp(request + 4, "Ver?", 4) == 0) {
            versionReply_ = 1;
            answer(reply);
        } else if (std::memcmp(request + 4, "Lst", 3) == 0 && request[7] >= '0' && request[7] <= '9') {
            const uint32_t n = static_cast<uint32_t>(request[7] - '0');
            // A list number outside 1..6 is confirmed but selects nothing.
            selectedList_ = n >= 1 && n <= kListCount ? n : 0;
            if (selectedList_ != 0) {
                // Refilled while transmitting: its cycle starts afresh rather than catching up.
                lists_[n - 1].count = 0;
                lists_[n - 1].next = 0;
                lists_[n - 1].baseUs = platform::monotonicUs();
            }
            bytePosition_ = 0;
            answer(reply);
        }
        return;
    }
    // [0x1F51, 1]
    if (upload) {
        SendAbort(reply, kAbortWriteOnly);
        return;
    }
    if (command == 0x2F && request[4] == 1) {
        reply[0] = 0x60;
        answer(reply);
        log_.Add("SoftNSM: Starting transmission");
        transmissionState_ = 1;
    }
}

uint64_t TSoftNSM::nextDueUs() const {
    uint64_t due = UINT64_MAX;
    if (transmissionState_ == 1)
        return 0;
    if (transmissionState_ != 2)
        return due;
    for (const ListState& list : lists_)
        if (list.count > 0)
            due = std::min(due, list.baseUs + TNSM::GetEntryTime(list.entries[list.next]));
    return due;
}

void TSoftNSM::TransmitScheduler() {
    if (transmissionState_ == 1) {
        if (!timerPeriodSet_) {
            log_.Add("SoftNSM: Multimedia timer not enabled");
            transmissionState_ = 0;
            return;
        }
        const uint64_t now = platform::monotonicUs();
        for (ListState& list : lists_) {
            list.baseUs = now;
            list.next = 0;
        }
        transmissionStartUs_ = now;
        transmissionState_ = 2;
    }
    if (transmissionState_ != 2)
        return;
    // At most one entry per list per pass, so that the worker sees its state and the received
    // frames between two sends, whatever the lists hold: an entry due again before its send has
    // returned (a period of 0) waits for the next pass. The due entries go out in due order; each
    // list's cycle is its last entry's time.
    const uint64_t now = platform::monotonicUs();
    std::array<ListState*, kListCount> due{};
    size_t dueCount = 0;
    for (ListState& list : lists_)
        if (list.count > 0 && list.baseUs + TNSM::GetEntryTime(list.entries[list.next]) <= now)
            due[dueCount++] = &list;
    const auto dueTime = [](const ListState* l) { return l->baseUs + TNSM::GetEntryTime(l->entries[l->next]); };
    std::stable_sort(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(dueCount),
                     [&](const ListState* a, const ListState* b) { return dueTime(a) < dueTime(b); });
    for (size_t i = 0; i < dueCount; ++i) {
        ListState& list = *due[i];
        const NSMListEntry& entry = list.entries[list.next];
        transmit(entry.identifier & kNSMIdentifierMask, static_cast<uint8_t>(entry.timeLength & 0x0F), entry.data,
                 (entry.identifier & kNSMRemoteFrame) != 0);
        if (++list.next < list.count)
            continue;
        const uint64_t cycle = std::max<uint64_t>(kMinCycleUs, TNSM::GetEntryTime(list.entries[list.count - 1]));
        list.next = 0;
        list.baseUs += cycle;
        // A whole cycle missed is skipped, not sent in a bunch.
        const uint64_t after = platform::monotonicUs();
        if (list.baseUs + cycle <= after)
            list.baseUs += (after - list.baseUs) / cycle * cycle;
    }
}

} // namespace ostrel::vessolt
