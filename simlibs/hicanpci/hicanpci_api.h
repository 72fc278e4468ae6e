// The binary interface of the HiCOCAN PCI card library (HICANPCI): the records, numbers and entry
// points that the library offers and the Drennic driver uses.
//
// The model: one card driver per process (HiCOCANOpenDriver) gives access to the card's CAN
// channels, numbered from 0. A channel is opened, given a bit rate, and started; from then on it
// sends messages and queues the messages it hears, each stamped with the card's clock. Reading and
// writing go through a node selector instead of a channel: HICO_CURRENT_NODE is the channel opened
// last (and still open) by the process. Every function returns 0 for success. Reads and writes may
// instead return a status report (HICO_STATUS_REPORT | state) once after the controller's state
// changed to error passive or bus off; a write that reports error passive was sent.
#pragma once

#include <cstddef>
#include <cstdint>

// A time stamp of the card's clock.
struct HiCanTimeStamp {
    uint16_t day;
    uint8_t hour;         // 0..23
    uint8_t minute;       // 0..59
    uint16_t second;      // 0..59
    uint16_t millisecond; // 0..999
    uint16_t microsecond; // 0..999
};
static_assert(sizeof(HiCanTimeStamp) == 10);
static_assert(offsetof(HiCanTimeStamp, day) == 0);
static_assert(offsetof(HiCanTimeStamp, hour) == 2);
static_assert(offsetof(HiCanTimeStamp, minute) == 3);
static_assert(offsetof(HiCanTimeStamp, second) == 4);
static_assert(offsetof(HiCanTimeStamp, millisecond) == 6);
static_assert(offsetof(HiCanTimeStamp, microsecond) == 8);

// One CAN message, written and read.
struct HiCanMessage {
    uint8_t extended;  // 1: 29-bit identifier
    uint8_t remote;    // 1: remote request
    uint8_t length;    // 0..8
    uint8_t reserved0;
    uint32_t id;
    uint8_t data[8];
    HiCanTimeStamp time;  // reception time (ignored on write)
    uint16_t reserved1;
};
static_assert(sizeof(HiCanMessage) == 28);
static_assert(offsetof(HiCanMessage, extended) == 0);
static_assert(offsetof(HiCanMessage, remote) == 1);
static_assert(offsetof(HiCanMessage, length) == 2);
static_assert(offsetof(HiCanMessage, id) == 4);
static_assert(offsetof(HiCanMessage, data) == 8);
static_assert(offsetof(HiCanMessage, time) == 16);

// The receive event of a channel (HiCOCANRegisterEvent): the library copies the record and calls
// signal(context) after it queued a message, on the delivering thread. Once registering a null
// record returns, no signal runs any more.
struct HiCanEvent {
    void (*signal)(void* context);
    void* context;
};
static_assert(sizeof(HiCanEvent) == 16);
static_assert(offsetof(HiCanEvent, signal) == 0);
static_assert(offsetof(HiCanEvent, context) == 8);

// The node selector of HiCOCANWrite and HiCOCANRead.
inline constexpr uint32_t HICO_CURRENT_NODE = 0;

// Bit-rate parameters (HiCOCANSetBaud): the rate in units of 10 kbit/s, 125 kbit/s rounded down.
inline constexpr uint32_t HICO_BAUD_10K = 1;
inline constexpr uint32_t HICO_BAUD_20K = 2;
inline constexpr uint32_t HICO_BAUD_50K = 5;
inline constexpr uint32_t HICO_BAUD_125K = 12;
inline constexpr uint32_t HICO_BAUD_250K = 25;
inline constexpr uint32_t HICO_BAUD_500K = 50;
inline constexpr uint32_t HICO_BAUD_800K = 80;
inline constexpr uint32_t HICO_BAUD_1M = 100;

// Controller commands (HiCOCANCanCtrl).
inline constexpr uint32_t HICO_CTRL_SELF_RECEPTION_ON = 13;  // the channel also queues what it sends
inline constexpr uint32_t HICO_CTRL_SELF_RECEPTION_OFF = 14;

// Reset modes (HiCOCANResetContr): the controller stops, forgets its bit rate, self-reception and
// queue, and is error active again.
inline constexpr uint32_t HICO_RESET_CONTROLLER = 1;

// Controller states. A test sets a channel's state as its status word on the simulated bus.
inline constexpr uint32_t HICO_STATE_ERROR_ACTIVE = 0;
inline constexpr uint32_t HICO_STATE_BUS_OFF = 2;
inline constexpr uint32_t HICO_STATE_ERROR_PASSIVE = 3;

// Results.
inline constexpr int32_t HICO_OK = 0;
inline constexpr int32_t HICO_STATUS_REPORT = 0x20000000;
inline constexpr int32_t HICO_REPORT_BUS_OFF = HICO_STATUS_REPORT | HICO_STATE_BUS_OFF;              // 0x20000002
inline constexpr int32_t HICO_REPORT_ERROR_PASSIVE = HICO_STATUS_REPORT | HICO_STATE_ERROR_PASSIVE;  // 0x20000003
inline constexpr int32_t HICO_ERR_DRIVER_CLOSED = 0x10000001;   // HiCOCANOpenDriver was not called
inline constexpr int32_t HICO_ERR_NO_CHANNEL = 0x10000002;      // the card has no such channel
inline constexpr int32_t HICO_ERR_CHANNEL_OPEN = 0x10000003;    // opened already
inline constexpr int32_t HICO_ERR_CHANNEL_CLOSED = 0x10000004;  // not open (or no current node)
inline constexpr int32_t HICO_ERR_BAUD = 0x10000005;            // unknown bit-rate parameter
inline constexpr int32_t HICO_ERR_STATE = 0x10000006;           // started (bit rate) or not started (write)
inline constexpr int32_t HICO_ERR_PARAMETER = 0x10000007;       // bad command, mode, record or length
inline constexpr int32_t HICO_ERR_TIMEOUT = 0x10000008;         // read: nothing arrived in time
inline constexpr int32_t HICO_ERR_BUS_OFF = 0x10000009;         // write: the controller is bus off

// Entry points, by the names the library exports them under. Time-outs are in microseconds.
using HiCanOpenDriverFn = int32_t (*)();
using HiCanCloseDriverFn = int32_t (*)();
using HiCanOpenFn = int32_t (*)(uint32_t channel);
using HiCanCloseFn = int32_t (*)(uint32_t channel);
using HiCanStartFn = int32_t (*)(uint32_t channel);
using HiCanStopFn = int32_t (*)(uint32_t channel);
using HiCanSetBaudFn = int32_t (*)(uint32_t channel, uint32_t baud);
using HiCanCanCtrlFn = int32_t (*)(uint32_t channel, uint32_t command);
using HiCanSetTimestampFn = int32_t (*)(uint32_t channel, const HiCanTimeStamp* time);
using HiCanWriteFn = int32_t (*)(uint32_t node, const HiCanMessage* message, uint32_t timeoutUs);
using HiCanReadFn = int32_t (*)(uint32_t node, HiCanMessage* message, uint32_t timeoutUs);
using HiCanResetContrFn = int32_t (*)(uint32_t channel, uint32_t mode);
using HiCanClrOverrunFn = int32_t (*)(uint32_t channel);
using HiCanRegisterEventFn = int32_t (*)(uint32_t channel, const HiCanEvent* event);
