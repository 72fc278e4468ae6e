#include "timing_rules.h"

#include <algorithm>

#include "nsm/nsm.h"
#include "timing_config.h"

namespace ostrel::vessolt {

namespace {
constexpr uint32_t kMaxDeviceEventTimeMs = 65535;
constexpr uint32_t kMaxListTimeMs = kNSMMaxEntryTimeUs / 1000;
constexpr int64_t kMaxSyncId = 0x7FF;  // the lists and the trace checks carry 11-bit identifiers
} // namespace

bool TimingRule::accepts(int64_t v) const {
    if (transmissionTypes)
        return v == 0 || v == 254 || v == 255;
    return v >= min && v <= max;
}

StoredRule TimingRule::stored() const {
    const TimingRule rule = *this;
    return {[rule](int64_t v) { return rule.accepts(v); },
            transmissionTypes ? std::string("0, 254 or 255") : std::to_string(min) + " to " + std::to_string(max)};
}

uint32_t timingMaxPeriodMs(TimingTestKind kind) {
    switch (kind) {
    case TimingTestKind::TPDOSync: return kMaxListTimeMs;
    case TimingTestKind::TPDOSyncRPDOs: return kMaxListTimeMs - kTimingMaxPdos;
    case TimingTestKind::TPDOEvent:
    case TimingTestKind::TPDOEventRPDOs: return std::min(kMaxDeviceEventTimeMs, kMaxListTimeMs - kTimingMaxPdos);
    case TimingTestKind::PDOTurnaround: return kMaxListTimeMs / 2;
    }
    return 0;
}

TimingRule timingRule(TimingTestKind kind, TimingValue value) {
    switch (value) {
    case TimingValue::Flag: return {0, 1};
    case TimingValue::CycleCount: return {0, kTimingMaxCycles};
    case TimingValue::Period: return {1, timingMaxPeriodMs(kind)};
    case TimingValue::Limit: return {0, timingMaxPeriodMs(kind)};
    case TimingValue::SyncId: return {1, kMaxSyncId};
    case TimingValue::AlarmOperation: return {0, 2};
    case TimingValue::Options: return {0, 15};
    case TimingValue::FrameLength: return {0, 8};
    case TimingValue::FrameByte: return {0, 255};
    case TimingValue::TransmissionType: return {0, 255, true};
    }
    return {};
}

} // namespace ostrel::vessolt
