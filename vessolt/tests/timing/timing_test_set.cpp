#include "timing_test_set.h"

#include "app/services.h"

namespace ostrel::vessolt {

namespace {

TimingCycleServices cycleServices(Services& services, TimingSupportModule& module) {
    return TimingCycleServices{
        *services.commonTest,
        *services.traceBuffer,
        *services.deviceSummary,
        *services.log,
        module,
        [&services]() -> uint32_t {
            return services.hardware.baudrate > 0 ? static_cast<uint32_t>(services.hardware.baudrate) : 0;
        },
        [&services](uint8_t node, const std::atomic<bool>* cancel) { services.setNodeConfig->Configure(node, cancel); },
    };
}

} // namespace

TimingTestSet::TimingTestSet(Services& services)
    : module_(*services.nsm), cycle_(cycleServices(services, module_)) {
    for (int k = 0; k < kTests; ++k) {
        const auto kind = static_cast<TimingTestKind>(k);
        TimingTestEngine::Services links{*services.testManager, *services.log, *services.expressions};
        if (timingVariant(kind).restartsTransmit)
            links.restartTransmit = [&services] {
                services.transmit->Stop();
                services.transmit->Clear();
                services.transmit->Start();
            };
        engines_[static_cast<size_t>(k)] = std::make_unique<TimingTestEngine>(kind, std::move(links), cycle_);
    }
}

TimingTestSet::~TimingTestSet() = default;

TimingTestEngine& TimingTestSet::Engine(TimingTestKind kind) { return *engines_[static_cast<size_t>(kind)]; }

} // namespace ostrel::vessolt
