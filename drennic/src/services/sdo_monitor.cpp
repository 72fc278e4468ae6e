// The SDO monitor. Slot fields live in the caller-visible MonitorSlot records; every change of them
// (caller's start and stop, the engine's steps) is made under the monitor's lock, and the data
// callback runs after the lock is released.
#include "services/sdo_monitor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace drennic {
namespace {

constexpr uint32_t kStopped = 1;
constexpr uint32_t kRunning = 2;
constexpr uint64_t kNoSize = UINT64_MAX;

enum Phase : uint32_t {
    kWaitUploadRequest = 0,
    kWaitUploadResponse = 1,
    kWaitSegmentRequest = 2,
    kWaitSegment = 3,
};

struct MonitorModule {
    std::mutex mutex;
    std::array<MonitorSlot, kMonitorSlotCount> slots{};
    std::size_t handedOut = 0;
    // Slots whose upload was aborted: they keep their phase but take no frame until restarted, so
    // that a later upload's segments are never appended to the aborted one's bytes.
    std::array<bool, kMonitorSlotCount> aborted{};
    // The size a segmented upload's initiate answer announced, per slot (kNoSize: none announced).
    std::array<uint64_t, kMonitorSlotCount> announced{};
    MonitorDataCallback callback = nullptr;
    void* user = nullptr;
};

MonitorModule& monitor() {
    static MonitorModule instance;
    return instance;
}

// A pointer the caller got from CANopenMonitor_SDO; anything else is ignored.
[[nodiscard]] bool isOurSlot(const MonitorModule& m, const MonitorSlot* slot) noexcept {
    if (slot == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < m.handedOut; ++i) {
        if (&m.slots[i] == slot) {
            return true;
        }
    }
    return false;
}

[[nodiscard]] bool addresses(const MonitorSlot& slot, const CANFrame& frame) noexcept {
    const uint32_t index = frame.data[1] | (uint32_t{frame.data[2]} << 8);
    return index == (slot.index & 0xFFFF) && frame.data[3] == (slot.subIndex & 0xFF);
}

// Back to waiting for the next upload; the slot keeps running, and nothing is reported.
void returnToIdle(MonitorSlot& slot) noexcept {
    slot.phase = kWaitUploadRequest;
    slot.received = 0;
    slot.writePos = slot.buffer;
}

// A completed upload: the slot stops itself; the caller restarts it for the next one.
void complete(MonitorSlot& slot, uint32_t length, std::size_t& reportCount,
              std::array<std::pair<MonitorSlot*, uint32_t>, kMonitorSlotCount>& reports) noexcept {
    slot.runState = kStopped;
    slot.phase = kWaitUploadRequest;
    reports[reportCount++] = {&slot, length};
}

// A client's initiate of any transfer (download, upload, block download, block upload).
[[nodiscard]] bool isInitiateRequest(uint8_t command) noexcept {
    switch (command >> 5) {
    case 1:
    case 2: return true;
    case 5: return (command & 0x03) == 0;
    case 6: return (command & 0x01) == 0;
    default: return false;
    }
}

// One frame for one running slot. True when the upload completed with `length` bytes.
[[nodiscard]] bool step(MonitorSlot& slot, uint64_t& announced, const CANFrame& frame, uint32_t& length) noexcept {
    const bool request = frame.id == slot.requestCobId;
    const bool response = frame.id == slot.responseCobId;
    const uint8_t command = frame.data[0];
    const uint8_t specifier = static_cast<uint8_t>(command >> 5);

    // A channel carries one transfer at a time: an initiate while segments are awaited means the
    // client left the upload without an abort. Its bytes are dropped, so that a new upload of the
    // object is captured from its start and nobody else's segments are appended to them.
    if (request && (slot.phase == kWaitSegmentRequest || slot.phase == kWaitSegment) && isInitiateRequest(command)) {
        returnToIdle(slot);
    }

    // Aborts are not followed: a slot left hanging by an aborted upload stays where it is until the
    // caller restarts it.
    switch (slot.phase) {
    case kWaitUploadRequest:
        if (request && specifier == 2 && addresses(slot, frame)) {
            slot.phase = kWaitUploadResponse;
        }
        return false;
    case kWaitUploadResponse:
        if (response && specifier == 2 && addresses(slot, frame)) {
            if ((command & 0x02) != 0) {  // expedited
                const uint32_t n = (command & 0x01) != 0 ? 4u - ((command >> 2) & 3u) : 4u;
                if (n > slot.bufferSize) {
                    returnToIdle(slot);
                    return false;
                }
                std::memcpy(slot.buffer, frame.data + 4, n);
                slot.received = n;
                slot.writePos = slot.buffer + n;
                length = n;
                return true;
            }
            slot.received = 0;
            slot.writePos = slot.buffer;
            slot.toggle = 0;
            slot.phase = kWaitSegmentRequest;
            announced = (command & 0x01) != 0 ? (frame.data[4] | (uint32_t{frame.data[5]} << 8) |
                                                 (uint32_t{frame.data[6]} << 16) | (uint32_t{frame.data[7]} << 24))
                                              : kNoSize;
        }
        return false;
    case kWaitSegmentRequest:
        if (request && command >= 0x60 && command <= 0x7F && ((command >> 4) & 1u) == slot.toggle) {
            slot.phase = kWaitSegment;
        }
        return false;
    case kWaitSegment:
        if (response && command < 0x20 && ((command >> 4) & 1u) == slot.toggle) {
            const uint32_t n = 7u - ((command >> 1) & 7u);
            if (n > slot.bufferSize - slot.received) {
                returnToIdle(slot);  // the upload does not fit: nothing is written past the buffer
                return false;
            }
            // Segments that do not add up to the announced size are not the upload the device
            // announced: nothing of it is reported.
            const bool last = (command & 0x01) != 0;
            if (announced != kNoSize &&
                (slot.received + n > announced || (last && slot.received + n != announced))) {
                returnToIdle(slot);
                return false;
            }
            std::memcpy(slot.writePos, frame.data + 1, n);
            slot.writePos += n;
            slot.received += n;
            if (last) {
                length = slot.received;
                return true;
            }
            slot.toggle ^= 1u;
        }
        return false;
    default:
        return false;
    }
}

} // namespace

void SDOMonitor_OnFrame(const CANFrame& frame) {
    if (frame.length != 8 || (frame.flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) != 0) {
        return;
    }
    MonitorModule& m = monitor();
    std::array<std::pair<MonitorSlot*, uint32_t>, kMonitorSlotCount> reports;
    std::size_t reportCount = 0;
    MonitorDataCallback callback = nullptr;
    void* user = nullptr;
    {
        std::lock_guard lock(m.mutex);
        for (std::size_t i = 0; i < m.handedOut; ++i) {
            MonitorSlot& slot = m.slots[i];
            if (slot.runState != kRunning || m.aborted[i] ||
                (frame.id != slot.requestCobId && frame.id != slot.responseCobId)) {
                continue;
            }
            if (slot.phase != kWaitUploadRequest && frame.data[0] == 0x80) {
                m.aborted[i] = true;
                continue;
            }
            uint32_t length = 0;
            if (step(slot, m.announced[i], frame, length)) {
                complete(slot, length, reportCount, reports);
            }
        }
        callback = m.callback;
        user = m.user;
    }
    if (callback == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < reportCount; ++i) {
        callback(reports[i].first, reports[i].second, user);
    }
}

void resetSdoMonitor() {
    MonitorModule& m = monitor();
    std::lock_guard lock(m.mutex);
    m.slots = {};
    m.aborted = {};
    m.announced = {};
    m.handedOut = 0;
    m.callback = nullptr;
    m.user = nullptr;
}

} // namespace drennic

using namespace drennic;

extern "C" {

MonitorSlot* CANopenMonitor_SDO(uint32_t requestCobId, uint32_t responseCobId, uint16_t index, uint8_t subIndex,
                                uint8_t* buffer, uint32_t bufferSize) {
    MonitorModule& m = monitor();
    std::lock_guard lock(m.mutex);
    if (m.handedOut == kMonitorSlotCount) {
        return nullptr;
    }
    MonitorSlot& slot = m.slots[m.handedOut++];
    slot = MonitorSlot{};
    slot.inUse = 1;
    slot.runState = kStopped;
    slot.phase = kWaitUploadRequest;
    slot.requestCobId = requestCobId;
    slot.responseCobId = responseCobId;
    slot.index = index;
    slot.subIndex = subIndex;
    slot.buffer = buffer;
    slot.bufferSize = bufferSize;
    slot.writePos = buffer;
    return &slot;
}

void CANopenMonitor_EventHaveData(MonitorDataCallback callback, void* user) {
    MonitorModule& m = monitor();
    std::lock_guard lock(m.mutex);
    m.callback = callback;
    m.user = user;
}

void CANopenMonitor_Start(MonitorSlot* slot) {
    MonitorModule& m = monitor();
    std::lock_guard lock(m.mutex);
    if (!isOurSlot(m, slot) || slot->inUse != 1 || slot->buffer == nullptr || slot->bufferSize == 0) {
        return;
    }
    slot->writePos = slot->buffer;
    slot->received = 0;
    slot->phase = kWaitUploadRequest;
    slot->runState = kRunning;
    m.aborted[static_cast<std::size_t>(slot - m.slots.data())] = false;
}

void CANopenMonitor_Stop(MonitorSlot* slot) {
    MonitorModule& m = monitor();
    std::lock_guard lock(m.mutex);
    if (isOurSlot(m, slot)) {
        slot->runState = kStopped;
    }
}

} // extern "C"
