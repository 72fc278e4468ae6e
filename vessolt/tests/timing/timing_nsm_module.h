#pragma once
// The timing cycles' support module: the program's module driver, which loads the lists over SDO
// into the hardware or the software module. The NMT reset that ends every cycle stops the lists.
#include "timing_cycle.h"

namespace ostrel::vessolt {

class TNSM;

class TimingNSMModule final : public TimingSupportModule {
public:
    explicit TimingNSMModule(TNSM& nsm) : nsm_(nsm) {}

    // The list writer of the stimulus's test; false when the module refused a list.
    [[nodiscard]] bool WriteLists(const TimingStimulus& stimulus) override;
    [[nodiscard]] bool StartTransmission() override;
    void StopTransmission() override {}

private:
    TNSM& nsm_;
};

} // namespace ostrel::vessolt
