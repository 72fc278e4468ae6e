// The timing tests' support module bound to the simulated module of the test fixtures: the lists
// are handed to it as frames to play, and started the way the module driver starts them,
// [1F51,TLst] := 1 over SDO. A reset stops them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "testing/common_test.h"
#include "nsm/nsm.h"
#include "sim_nsm.h"
#include "timing_cycle.h"

namespace ostrel::vessolt::test {

class NsmPlayback final : public TimingSupportModule {
public:
    static constexpr uint32_t kBackgroundSdoMs = 100;

    NsmPlayback(TCommonTest& common, TNSM& nsm) : common_(common), nsm_(nsm) {}

    bool WriteLists(const TimingStimulus& s) override {
        written.push_back(s);
        if (onWrite)
            onWrite(s);
        std::vector<fixtures::SimNsmPlayEntry> entries;
        auto add = [&](uint32_t id, uint8_t dlc, const uint8_t* data, uint32_t periodMs) {
            fixtures::SimNsmPlayEntry e;
            e.frame.id = id;
            e.frame.len = dlc;
            if (data)
                std::copy(data, data + 8, e.frame.data);
            e.periodUs = uint64_t{periodMs} * 1000;
            entries.push_back(e);
        };
        if (s.kind == TimingTestKind::TPDOSync || s.kind == TimingTestKind::TPDOSyncRPDOs)
            add(s.syncId, 0, nullptr, s.periodMs);
        // The background list: reads of the device type.
        const uint8_t read1000[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
        add(0x600u + s.node, 8, read1000, kBackgroundSdoMs);
        for (uint32_t k = 0; s.rpdo && k < s.rpdoCount; ++k)
            add(s.rpdo[k].id, s.rpdo[k].dlc, s.rpdo[k].data, s.periodMs);
        if (s.phase1rpdo && s.subRun >= 1 && s.subRun <= s.rpdoCount) {
            const RPDOFrame& one = s.phase1rpdo[s.subRun - 1];
            const RPDOFrame& two = s.phase2rpdo[s.subRun - 1];
            add(one.id, one.dlc, one.data, s.periodMs);
            add(two.id, two.dlc, two.data, 2 * s.periodMs);
        }
        if (!module)
            return false;
        module->setPlayback(std::move(entries));
        return true;
    }

    bool StartTransmission() override {
        uint8_t one = 1;
        uint32_t size = 1;
        SDORequest request{nsm_.GetNodeId(), static_cast<uint32_t>(nsm_.GetControlObject()), nsm_.GetControlSubIndex(),
                           &size, &one};
        return nsm_.IsFound() && common_.SDODownload(&request, nullptr);
    }

    void StopTransmission() override {}

    fixtures::SimNsm* module = nullptr;
    std::vector<TimingStimulus> written;
    // Called with each stimulus as it is written: the start of a (sub-)run.
    std::function<void(const TimingStimulus&)> onWrite;

private:
    TCommonTest& common_;
    TNSM& nsm_;
};

} // namespace ostrel::vessolt::test
