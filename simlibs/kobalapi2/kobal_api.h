// The binary interface of the Kobal client-and-network CAN libraries (Kobalapi2 and KobalPlsapi2):
// the records, numbers and entry-point types that the libraries offer and the Drennic drivers use.
//
// The model: CAN hardware and named networks (handle, name, hardware, bit rate) are registered in
// the library; a program registers clients, connects each client to a network by the network's
// name, registers the identifier ranges a client wants to receive, and reads and writes messages
// through its clients. A message written by one client reaches the other clients connected to
// networks of the same hardware and goes out on the hardware's bus.
//
// Both libraries export the same functions under the same names; KobalPlsapi2 differs in that it
// hands out names as UTF-16 text (and connects by a UTF-16 name), holds bit rates in kbit/s instead
// of bit-timing register values, and has no CAN_SetHwParam. Every function returns 0 for success,
// except CAN_Status, which returns the status word.
#pragma once

#include <cstddef>
#include <cstdint>

// One CAN message.
struct KobalMessage {
    uint32_t id;      // 11-bit or 29-bit identifier
    uint8_t type;     // KOBAL_MSG_* bits
    uint8_t length;   // 0..8
    uint8_t data[8];
};
static_assert(sizeof(KobalMessage) == 16);
static_assert(offsetof(KobalMessage, id) == 0);
static_assert(offsetof(KobalMessage, type) == 4);
static_assert(offsetof(KobalMessage, length) == 5);
static_assert(offsetof(KobalMessage, data) == 6);

// A time stamp of the library's clock.
struct KobalTimeStamp {
    uint32_t ms;          // milliseconds
    uint16_t msOverflow;  // the millisecond count above 32 bits
    uint16_t us;          // microseconds within the millisecond, 0..999
};
static_assert(sizeof(KobalTimeStamp) == 8);
static_assert(offsetof(KobalTimeStamp, ms) == 0);
static_assert(offsetof(KobalTimeStamp, msOverflow) == 4);
static_assert(offsetof(KobalTimeStamp, us) == 6);

// One end of an identifier range for CAN_RegisterMsg; the type selects standard (0) or extended
// (KOBAL_MSG_EXTENDED) identifiers and must be the same at both ends.
struct KobalMsgBound {
    uint32_t id;
    uint8_t type;
};
static_assert(sizeof(KobalMsgBound) == 8);
static_assert(offsetof(KobalMsgBound, id) == 0);
static_assert(offsetof(KobalMsgBound, type) == 4);

// The receive event of a client (client parameter KOBAL_CLIENT_RX_EVENT): the library copies the
// record and calls signal(context) after it has queued messages for the client, on the thread that
// delivered them. The call has ended when clearing the parameter (value 0) returns, so `context`
// may be destroyed then.
struct KobalEvent {
    void (*signal)(void* context);
    void* context;
};
static_assert(sizeof(KobalEvent) == 16);
static_assert(offsetof(KobalEvent, signal) == 0);
static_assert(offsetof(KobalEvent, context) == 8);

// Message type bits.
inline constexpr uint8_t KOBAL_MSG_REMOTE = 0x01;
inline constexpr uint8_t KOBAL_MSG_EXTENDED = 0x02;
inline constexpr uint8_t KOBAL_MSG_SINGLE_SHOT = 0x08;  // on write: no automatic retransmission
inline constexpr uint8_t KOBAL_MSG_ERROR = 0x40;        // error/status frame

// Hardware parameters (CAN_GetHwParam).
inline constexpr uint32_t KOBAL_HW_NAME = 3;  // text, zero-terminated, cut to the buffer
// Network parameters (CAN_GetNetParam, CAN_SetNetParam).
inline constexpr uint32_t KOBAL_NET_NAME = 3;                  // text, as above
inline constexpr uint32_t KOBAL_NET_BIT_RATE = 7;              // u32: register value (Kobalapi2), kbit/s (KobalPlsapi2)
inline constexpr uint32_t KOBAL_NET_HARDWARE = 19;             // u32: hardware handle
inline constexpr uint32_t KOBAL_NET_DELAYED_DISTRIBUTION = 29; // u32: 1 on, 0 off
// Client parameters (CAN_SetClientParam).
inline constexpr uint32_t KOBAL_CLIENT_RX_EVENT = 26;     // const KobalEvent* as the value, 0 clears
inline constexpr uint32_t KOBAL_CLIENT_ERROR_FRAMES = 53; // 1: error frames are delivered, 0: not

// Text sizes: Kobalapi2 counts buffer sizes in bytes of UTF-8, KobalPlsapi2 in UTF-16 characters.
// A network name holds at most 19 bytes of UTF-8.
inline constexpr std::size_t KOBAL_MAX_NET_NAME_BYTES = 19;
inline constexpr uint32_t KOBAL_MAX_NETWORKS = 32;      // network handles 1..32
inline constexpr uint32_t KOBAL_MAX_HARDWARE = 16;      // hardware handles 1..16; 0 is the internal bus

// Status word bits (CAN_Status).
inline constexpr uint32_t KOBAL_STATUS_BUS_OFF = 0x0002;
inline constexpr uint32_t KOBAL_STATUS_ERROR_PASSIVE = 0x0010;
inline constexpr uint32_t KOBAL_STATUS_HARDWARE_FAULT = 0x1400;  // also: no such hardware

// Results.
inline constexpr int32_t KOBAL_OK = 0;
inline constexpr int32_t KOBAL_ERR_QUEUE_EMPTY = 0x0001;    // CAN_Read: no message waiting
inline constexpr int32_t KOBAL_ERR_HANDLE = 0x0002;         // no such client or handle out of range
inline constexpr int32_t KOBAL_ERR_PARAMETER = 0x0003;      // unknown parameter, bad value, short buffer
inline constexpr int32_t KOBAL_ERR_NO_NETWORK = 0x0004;     // no network of that handle or name
inline constexpr int32_t KOBAL_ERR_NO_HARDWARE = 0x0005;    // the hardware is not present
inline constexpr int32_t KOBAL_ERR_EXISTS = 0x0006;         // network handle or name taken
inline constexpr int32_t KOBAL_ERR_IN_USE = 0x0007;         // network has connected clients
inline constexpr int32_t KOBAL_ERR_NO_RESOURCES = 0x0008;   // no free client handle
inline constexpr int32_t KOBAL_ERR_NOT_CONNECTED = 0x0009;  // client not connected to that network
inline constexpr int32_t KOBAL_ERR_BUS_OFF = 0x000A;        // the hardware is bus-off
inline constexpr int32_t KOBAL_ERR_NAME = 0x000B;           // name missing, empty or too long

// Entry points, by the names the libraries export them under.
using KobalGetHwParamFn = int32_t (*)(uint32_t hardware, uint32_t param, void* buffer, uint32_t size);
using KobalSetHwParamFn = int32_t (*)(uint32_t hardware, uint32_t param, const void* buffer, uint32_t size);
using KobalGetNetParamFn = int32_t (*)(uint32_t network, uint32_t param, void* buffer, uint32_t size);
using KobalSetNetParamFn = int32_t (*)(uint32_t network, uint32_t param, uint32_t value);
using KobalRegisterNetFn = int32_t (*)(uint32_t network, const char* name, uint32_t hardware, uint32_t bitRate);
using KobalRemoveNetFn = int32_t (*)(uint32_t network);
using KobalRegisterClientFn = int32_t (*)(const char* name, uint32_t windowHandle, uint8_t* client);
using KobalRemoveClientFn = int32_t (*)(uint8_t client);
using KobalConnectToNetFn = int32_t (*)(uint8_t client, const char* networkName, uint8_t* network);
using KobalPlsConnectToNetFn = int32_t (*)(uint8_t client, const char16_t* networkName, uint8_t* network);
using KobalDisconnectFromNetFn = int32_t (*)(uint8_t client, uint32_t network);
using KobalRegisterMsgFn = int32_t (*)(uint8_t client, uint32_t network, const KobalMsgBound* low,
                                       const KobalMsgBound* high);
using KobalSetClientParamFn = int32_t (*)(uint8_t client, uint32_t param, uintptr_t value);
using KobalWriteFn = int32_t (*)(uint8_t client, uint32_t network, const KobalMessage* message,
                                 const KobalTimeStamp* time);
using KobalReadFn = int32_t (*)(uint8_t client, KobalMessage* message, uint8_t* network, KobalTimeStamp* time);
using KobalGetSystemTimeFn = int32_t (*)(KobalTimeStamp* time);
using KobalStatusFn = uint32_t (*)(uint32_t hardware);
using KobalResetHardwareFn = int32_t (*)(uint32_t hardware);
