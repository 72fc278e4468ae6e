// The binary interface of the WinCE-style CAN port library: the records, numbers and entry points
// that the library offers and the Drennic driver uses.
//
// The model: the device has numbered CAN interfaces, 1..WinCE_NumberOfInterfaces(), each opened as
// a port by its device name "CAN<n>:" (UTF-16) and a bit rate in kbit/s. An open port is started to
// take part in the bus; it then sends frames and queues the frames it hears. Error-frame delivery
// and self-reception (a port also queues what it sends) are settings of the whole library.
// The functions answer as the device's drivers do: WinCE_Open a port handle or WINCE_INVALID_PORT,
// WinCE_NumberOfInterfaces a count, all others a truth value (nonzero = done).
#pragma once

#include <cstddef>
#include <cstdint>

using WinceBool = int32_t;

inline constexpr int32_t WINCE_INVALID_PORT = -1;

// The receive event of a port (WinCE_SetReceiveEvent): the library copies the record and calls
// signal(context) after it queued a frame, on the delivering thread. Once registering a null
// record returns, no signal runs any more.
struct WinceEvent {
    void (*signal)(void* context);
    void* context;
};
static_assert(sizeof(WinceEvent) == 16);
static_assert(offsetof(WinceEvent, signal) == 0);
static_assert(offsetof(WinceEvent, context) == 8);

// The bit rates a port can be opened with.
inline constexpr uint32_t WINCE_RATES_KBIT[] = {10, 20, 50, 125, 250, 500, 800, 1000};

// Controller state bits of an interface. A test sets them as the interface's status word on the
// simulated bus; WinCE_Status reports them.
inline constexpr uint32_t WINCE_STATE_ERROR_PASSIVE = 0x01;
inline constexpr uint32_t WINCE_STATE_BUS_OFF = 0x02;  // a bus-off port sends nothing

// Error counters that WinCE_Status reports for each state (transmit counter << 16 | receive counter).
inline constexpr uint32_t WINCE_COUNTERS_ERROR_PASSIVE = 128u << 16;
inline constexpr uint32_t WINCE_COUNTERS_BUS_OFF = 256u << 16;

// Entry points, by the names the library exports them under.
using WinceNumberOfInterfacesFn = int32_t (*)();
using WinceOpenFn = int32_t (*)(const char16_t* portName, uint32_t rateKbit);
using WinceCloseFn = WinceBool (*)(int32_t port);
using WinceSetReceiveEventFn = WinceBool (*)(int32_t port, const WinceEvent* event);
using WinceStartFn = WinceBool (*)(int32_t port);
using WinceStopFn = WinceBool (*)(int32_t port);
using WinceTransmitFn = WinceBool (*)(int32_t port, uint32_t id, WinceBool remote, WinceBool extended,
                                      WinceBool errorFrame, uint8_t length, const uint8_t* data);
// `data` has room for 8 bytes; only `length` of them are written.
using WinceReceiveFn = WinceBool (*)(int32_t port, uint32_t* id, WinceBool* remote, WinceBool* extended,
                                     WinceBool* errorFrame, uint8_t* length, uint8_t* data);
// errorPassive and busOff: nonzero while the controller is in that state; errorCounters as above.
using WinceStatusFn = WinceBool (*)(int32_t port, uint32_t* errorPassive, uint32_t* errorCounters, uint32_t* busOff);
using WinceConfigureErrorFramesFn = WinceBool (*)(WinceBool on);
using WinceConfigureSelfReceiveFn = WinceBool (*)(WinceBool on);
