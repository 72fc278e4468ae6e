#include "timing_nsm_module.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "nsm/nsm.h"

namespace ostrel::vessolt {

namespace {

using Frames = std::array<NSMStimulusFrame, kTimingMaxPdos>;

// The module takes frames without the record's padding; at most eight of them.
Frames toStimulus(const RPDOFrame* frames, uint32_t count) {
    Frames out{};
    for (uint32_t k = 0; frames && k < std::min<uint32_t>(count, kTimingMaxPdos); ++k) {
        out[k].identifier = frames[k].id;
        out[k].dlc = std::min<uint8_t>(frames[k].dlc, 8);
        std::copy(std::begin(frames[k].data), std::end(frames[k].data), out[k].data);
    }
    return out;
}

} // namespace

bool TimingNSMModule::WriteLists(const TimingStimulus& s) {
    const int count = static_cast<int>(std::min<uint32_t>(s.rpdoCount, kTimingMaxPdos));
    switch (s.kind) {
    case TimingTestKind::TPDOSync:
        return nsm_.WriteTPDOSyncLists(s.syncId, s.periodMs, s.node, s.ciatr308options);
    case TimingTestKind::TPDOSyncRPDOs: {
        const Frames frames = toStimulus(s.rpdo, s.rpdoCount);
        return nsm_.WriteTPDOSyncRPDOsLists(s.syncId, s.periodMs, s.node, frames.data(), s.rpdo ? count : 0,
                                            s.ciatr308options);
    }
    case TimingTestKind::TPDOEvent:
        return nsm_.WriteTPDOEventLists(s.node, s.ciatr308options);
    case TimingTestKind::TPDOEventRPDOs: {
        const Frames frames = toStimulus(s.rpdo, s.rpdoCount);
        return nsm_.WriteTPDOEventRPDOsLists(s.periodMs, s.node, frames.data(), s.rpdo ? count : 0,
                                             s.ciatr308options);
    }
    case TimingTestKind::PDOTurnaround: {
        const Frames one = toStimulus(s.phase1rpdo, s.rpdoCount);
        const Frames two = toStimulus(s.phase2rpdo, s.rpdoCount);
        const bool both = s.phase1rpdo && s.phase2rpdo;
        return nsm_.WritePDOTurnaroundLists(s.periodMs, s.node, one.data(), two.data(), s.subRun,
                                            both ? static_cast<uint32_t>(count) : 0, s.ciatr308options);
    }
    }
    return false;
}

bool TimingNSMModule::StartTransmission() { return nsm_.StartTransmission(); }

} // namespace ostrel::vessolt
