// The simulated HICANPCI library: the card's HiCOCAN functions over the simulated bus.
#include "hico_card.h"

#include <type_traits>

#define HICO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

ostrel::simhico::HicoCard& card() {
    static ostrel::simhico::HicoCard instance;
    return instance;
}

} // namespace

HICO_EXPORT int32_t HiCOCANOpenDriver() { return card().openDriver(); }
HICO_EXPORT int32_t HiCOCANCloseDriver() { return card().closeDriver(); }
HICO_EXPORT int32_t HiCOCANOpen(uint32_t channel) { return card().open(channel); }
HICO_EXPORT int32_t HiCOCANClose(uint32_t channel) { return card().close(channel); }
HICO_EXPORT int32_t HiCOCANStart(uint32_t channel) { return card().start(channel); }
HICO_EXPORT int32_t HiCOCANStop(uint32_t channel) { return card().stop(channel); }
HICO_EXPORT int32_t HiCOCANSetBaud(uint32_t channel, uint32_t baud) { return card().setBaud(channel, baud); }
HICO_EXPORT int32_t HiCOCANCanCtrl(uint32_t channel, uint32_t command) { return card().canCtrl(channel, command); }
HICO_EXPORT int32_t HiCOCANSetTimestamp(uint32_t channel, const HiCanTimeStamp* time) {
    return card().setTimestamp(channel, time);
}
HICO_EXPORT int32_t HiCOCANWrite(uint32_t node, const HiCanMessage* message, uint32_t timeoutUs) {
    return card().write(node, message, timeoutUs);
}
HICO_EXPORT int32_t HiCOCANRead(uint32_t node, HiCanMessage* message, uint32_t timeoutUs) {
    return card().read(node, message, timeoutUs);
}
HICO_EXPORT int32_t HiCOCANResetContr(uint32_t channel, uint32_t mode) { return card().resetContr(channel, mode); }
HICO_EXPORT int32_t HiCOCANClrOverrun(uint32_t channel) { return card().clrOverrun(channel); }
HICO_EXPORT int32_t HiCOCANRegisterEvent(uint32_t channel, const HiCanEvent* event) {
    return card().registerEvent(channel, event);
}

// The exports have exactly the types the driver resolves them as.
static_assert(std::is_same_v<decltype(&HiCOCANOpenDriver), HiCanOpenDriverFn>);
static_assert(std::is_same_v<decltype(&HiCOCANCloseDriver), HiCanCloseDriverFn>);
static_assert(std::is_same_v<decltype(&HiCOCANOpen), HiCanOpenFn>);
static_assert(std::is_same_v<decltype(&HiCOCANClose), HiCanCloseFn>);
static_assert(std::is_same_v<decltype(&HiCOCANStart), HiCanStartFn>);
static_assert(std::is_same_v<decltype(&HiCOCANStop), HiCanStopFn>);
static_assert(std::is_same_v<decltype(&HiCOCANSetBaud), HiCanSetBaudFn>);
static_assert(std::is_same_v<decltype(&HiCOCANCanCtrl), HiCanCanCtrlFn>);
static_assert(std::is_same_v<decltype(&HiCOCANSetTimestamp), HiCanSetTimestampFn>);
static_assert(std::is_same_v<decltype(&HiCOCANWrite), HiCanWriteFn>);
static_assert(std::is_same_v<decltype(&HiCOCANRead), HiCanReadFn>);
static_assert(std::is_same_v<decltype(&HiCOCANResetContr), HiCanResetContrFn>);
static_assert(std::is_same_v<decltype(&HiCOCANClrOverrun), HiCanClrOverrunFn>);
static_assert(std::is_same_v<decltype(&HiCOCANRegisterEvent), HiCanRegisterEventFn>);
