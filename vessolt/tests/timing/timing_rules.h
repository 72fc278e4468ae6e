#pragma once
// What a timing test's settings page accepts of each stored value. The page's checks and the loaders
// of the registry and of test configuration files apply these same rules, so that a loaded value is
// one the page could have produced.
#include <cstdint>
#include <string>

#include "services/stored_setting.h"
#include "timing_variant.h"

namespace ostrel::vessolt {

enum class TimingValue {
    Flag,              // manual_enable, alarm_enable, limit_enable: 0 or 1
    CycleCount,        // manualtestcycles
    Period,            // each manualtime
    Limit,             // limit_upperlimit, limit_lowerlimit (0 only while the search is off)
    SyncId,
    AlarmOperation,
    Options,           // ciatr308options
    FrameLength,       // dlc of an RPDO frame
    FrameByte,         // its data bytes
    TransmissionType,  // 0, 254 or 255
};

struct TimingRule {
    int64_t min = 0;
    int64_t max = 0;
    bool transmissionTypes = false;  // only the three values of the page's list

    [[nodiscard]] bool accepts(int64_t v) const;
    [[nodiscard]] StoredRule stored() const;
};

[[nodiscard]] TimingRule timingRule(TimingTestKind kind, TimingValue value);

// The longest period the test can run: the device's 16-bit event timer on the Event pages, else
// what the support module's list entries hold (a Sync test's RPDO frames follow the SYNC by up to
// 8 ms; "PDO Turnaround" sends its second phase at twice the period).
[[nodiscard]] uint32_t timingMaxPeriodMs(TimingTestKind kind);

} // namespace ostrel::vessolt
