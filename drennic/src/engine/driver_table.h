// The 21 driver operations through which the library reaches a CAN interface.
#pragma once

#include <drennic/drennic.h>

#include <cstdint>

// The whole table from slot functions named like the slots in lower camel case (status, receive,
// initDriver, ...) and visible where this is used: every driver lists its slots through it, so the
// order of the 21 slots is written down once.
#define DRENNIC_DRIVER_OPS_OF_SCOPE \
    ::drennic::DriverOps { \
        .Status = status, \
        .Receive = receive, \
        .InitDriver = initDriver, \
        .CloseDriver = closeDriver, \
        .AddNetworksToHardware = addNetworksToHardware, \
        .GetCurrentTime = getCurrentTime, \
        .EnumerateHardware = enumerateHardware, \
        .EnumerateNetworks = enumerateNetworks, \
        .AddNetwork = addNetwork, \
        .DeleteNetwork = deleteNetwork, \
        .GetBaudrate = getBaudrate, \
        .Initialize = initialize, \
        .SwitchNetworks = switchNetworks, \
        .Close = close, \
        .Reset = reset, \
        .ErrorFrames = errorFrames, \
        .OneShot = oneShot, \
        .SelfReceive = selfReceive, \
        .IsNetworkFunctional = isNetworkFunctional, \
        .Transmit = transmit, \
        .SetTransmitCallback = setTransmitCallback, \
    }

namespace drennic {

// Every driver fills all 21 slots; the library calls nothing else of a driver. Slots are plain
// functions over the driver's own module state. CloseDriver runs after the table has been withdrawn
// from the exports, so a driver keeps whatever it needs (entry points) from InitDriver.
struct DriverOps {
    // 0: current status word, code 0; a failing query sets a nonzero code.
    void (*Status)(uint32_t* status, ResultBlock* result);
    // 1: next received frame (only `length` data bytes written) and code 0, or -11 when none
    // arrived within a short wait (about 10 ms).
    void (*Receive)(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                    uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs,
                    ResultBlock* result);
    // 2: per-process start (its result is not acted on).
    int32_t (*InitDriver)();
    // 3: undo InitDriver.
    void (*CloseDriver)();
    // 4: reserved, never called; returns 1.
    int32_t (*AddNetworksToHardware)(uint32_t, uint32_t, uint32_t, uint32_t);
    // 5: driver clock now; all 0 on failure.
    void (*GetCurrentTime)(CANTimeStamp* time);
    // 6: at most maxCount entries; the count, 0 on failure.
    int32_t (*EnumerateHardware)(HardwareInfo* hardware, int32_t maxCount);
    // 7: networks of one hardware; the count, 0 on failure.
    int32_t (*EnumerateNetworks)(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle);
    // 8: new network handle, -1 on failure.
    int32_t (*AddNetwork)(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle);
    // 9: 0 done, negative code otherwise.
    int32_t (*DeleteNetwork)(uint32_t networkHandle);
    // 10: kbit/s, 0 on failure.
    int32_t (*GetBaudrate)(uint32_t networkHandle);
    // 11: open the network and start the engine (engineStart); code 0 or -7 with a message.
    void (*Initialize)(uint32_t networkHandle, const char16_t* clientName, uint32_t windowHandle, uint32_t reserved,
                       ResultBlock* result);
    // 12: join (1) or leave (0) a network.
    void (*SwitchNetworks)(int32_t connect, uint32_t networkHandle, ResultBlock* result);
    // 13: stop the engine (engineStop) and close the network.
    void (*Close)();
    // 14: reset the CAN controller.
    void (*Reset)();
    // 15: deliver error frames or not.
    int32_t (*ErrorFrames)(int32_t on);
    // 16: single-shot transmission on or off.
    void (*OneShot)(int32_t on);
    // 17: receive own transmissions or not.
    void (*SelfReceive)(int32_t on, ResultBlock* result);
    // 18: nonzero when the bus can be used.
    int32_t (*IsNetworkFunctional)();
    // 19: send one frame; code 0, -8 with the driver's message, -4 when length exceeds 8. On success
    // the registered TransmitCallback gets the frame (time fields 0).
    void (*Transmit)(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                     int32_t errorFrame, ResultBlock* result);
    // 20: remember the callback for Transmit.
    void (*SetTransmitCallback)(TransmitCallback callback, void* user);

    // Not one of the 21 slots: cuts a Receive wait short (it then returns -11), so that a request
    // posted while the engine waits for a frame starts at once instead of after the wait. Drivers
    // whose Receive waits only briefly leave it null.
    void (*WakeReceive)() = nullptr;
    // Not slots either: how the library's own transmissions come back through Receive.
    // SelfReceiving: nonzero while they come back like any frame from the bus (self-reception on).
    // Null: they never do, or the driver tells them apart itself (ReceivedOwnFrame).
    int32_t (*SelfReceiving)() = nullptr;
    // For a driver that knows its own frames when they come back (the CAN server client, by process
    // id): nonzero when the frame Receive returned last is one of them. Engine thread only.
    int32_t (*ReceivedOwnFrame)() = nullptr;
};

// A table whose every slot gives the results of a missing driver ("Hardware not initialized",
// -7, no frames, nothing enumerated). Drivers start from it, so that no slot is ever null.
[[nodiscard]] DriverOps unavailableDriverOps();

} // namespace drennic
