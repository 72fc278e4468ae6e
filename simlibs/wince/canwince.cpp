// The simulated WinCE-style CAN library (file libcanwince.so, looked up as "CANWINCE.DLL"): its
// WinCE_ functions over the simulated bus.
#include "wince_ports.h"

#include <type_traits>

#define WINCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

ostrel::simwince::WincePorts& ports() {
    static ostrel::simwince::WincePorts instance;
    return instance;
}

} // namespace

WINCE_EXPORT int32_t WinCE_NumberOfInterfaces() { return ports().numberOfInterfaces(); }
WINCE_EXPORT int32_t WinCE_Open(const char16_t* portName, uint32_t rateKbit) { return ports().open(portName, rateKbit); }
WINCE_EXPORT WinceBool WinCE_Close(int32_t port) { return ports().close(port); }
WINCE_EXPORT WinceBool WinCE_SetReceiveEvent(int32_t port, const WinceEvent* event) {
    return ports().setReceiveEvent(port, event);
}
WINCE_EXPORT WinceBool WinCE_Start(int32_t port) { return ports().start(port); }
WINCE_EXPORT WinceBool WinCE_Stop(int32_t port) { return ports().stop(port); }
WINCE_EXPORT WinceBool WinCE_Transmit(int32_t port, uint32_t id, WinceBool remote, WinceBool extended,
                                      WinceBool errorFrame, uint8_t length, const uint8_t* data) {
    return ports().transmit(port, id, remote, extended, errorFrame, length, data);
}
WINCE_EXPORT WinceBool WinCE_Receive(int32_t port, uint32_t* id, WinceBool* remote, WinceBool* extended,
                                     WinceBool* errorFrame, uint8_t* length, uint8_t* data) {
    return ports().receive(port, id, remote, extended, errorFrame, length, data);
}
WINCE_EXPORT WinceBool WinCE_Status(int32_t port, uint32_t* errorPassive, uint32_t* errorCounters, uint32_t* busOff) {
    return ports().status(port, errorPassive, errorCounters, busOff);
}
WINCE_EXPORT WinceBool WinCE_ConfigureErrorFrames(WinceBool on) { return ports().configureErrorFrames(on); }
WINCE_EXPORT WinceBool WinCE_ConfigureSelfReceive(WinceBool on) { return ports().configureSelfReceive(on); }

// The exports have exactly the types the driver resolves them as.
static_assert(std::is_same_v<decltype(&WinCE_NumberOfInterfaces), WinceNumberOfInterfacesFn>);
static_assert(std::is_same_v<decltype(&WinCE_Open), WinceOpenFn>);
static_assert(std::is_same_v<decltype(&WinCE_Close), WinceCloseFn>);
static_assert(std::is_same_v<decltype(&WinCE_SetReceiveEvent), WinceSetReceiveEventFn>);
static_assert(std::is_same_v<decltype(&WinCE_Start), WinceStartFn>);
static_assert(std::is_same_v<decltype(&WinCE_Stop), WinceStopFn>);
static_assert(std::is_same_v<decltype(&WinCE_Transmit), WinceTransmitFn>);
static_assert(std::is_same_v<decltype(&WinCE_Receive), WinceReceiveFn>);
static_assert(std::is_same_v<decltype(&WinCE_Status), WinceStatusFn>);
static_assert(std::is_same_v<decltype(&WinCE_ConfigureErrorFrames), WinceConfigureErrorFramesFn>);
static_assert(std::is_same_v<decltype(&WinCE_ConfigureSelfReceive), WinceConfigureSelfReceiveFn>);
