#pragma once
// The five timing tests of the program over its services: one engine per test, all driving their
// cycles through the program's support module. Made after the services and dropped before them.
#include <array>
#include <memory>

#include "timing_cycle.h"
#include "timing_engine.h"
#include "timing_nsm_module.h"

namespace ostrel::vessolt {

class Services;

class TimingTestSet {
public:
    static constexpr int kTests = 5;

    explicit TimingTestSet(Services& services);
    ~TimingTestSet();
    TimingTestSet(const TimingTestSet&) = delete;
    TimingTestSet& operator=(const TimingTestSet&) = delete;

    [[nodiscard]] TimingTestEngine& Engine(TimingTestKind kind);

private:
    TimingNSMModule module_;
    // One driver serves all five: a cycle keeps nothing between calls and runs one at a time.
    TimingCycle cycle_;
    std::array<std::unique_ptr<TimingTestEngine>, kTests> engines_;
};

} // namespace ostrel::vessolt
