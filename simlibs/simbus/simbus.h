// The simulated CAN bus that every simulated interface library of this tree sits on.
//
// One bus core per process (libostrel_simbus.so): every simulated library loaded into the process,
// and the test code that drives it, link this one shared library, so they all see the same wires,
// devices, hardware lists, statuses and provoked failures.
//
// A wire is a numbered line. On it sit ports (a controller of a simulated library: one per
// hardware channel in use) and devices (attached by tests or by a plugin). A frame sent by any of
// them reaches every other port and device on the same line, stamped with the bus clock.
//
// Delivery is synchronous and queued: the thread that sends while nobody delivers delivers every
// queued frame, one at a time, before it returns; a frame sent from inside a delivery (a device
// answering) is queued behind it. No bus lock is held while a receiver or listener runs.
//
// This header is what a simulated library uses; tests use simbus_control.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#define OSTREL_SIMBUS_API __attribute__((visibility("default")))

namespace ostrel::simbus {

// A frame on the simulated wire.
struct Frame {
    uint32_t id = 0;        // 11-bit or 29-bit identifier
    uint8_t length = 0;     // 0..8
    bool extended = false;  // 29-bit identifier
    bool remote = false;    // remote request
    bool error = false;     // error/status frame
    uint8_t data[8] = {};
};

[[nodiscard]] OSTREL_SIMBUS_API bool operator==(const Frame& a, const Frame& b);

// Microseconds of the bus clock (CLOCK_MONOTONIC, the clock of std::chrono::steady_clock).
[[nodiscard]] OSTREL_SIMBUS_API uint64_t nowUs();

// One hardware channel a simulated library offers, and the line it is wired to.
struct HardwareEntry {
    uint32_t handle = 0;
    std::string name;  // UTF-8
    uint32_t line = 0;
};

// A simulated library announces itself when it is loaded (its name is the key tests use, e.g.
// "kobalapi2") with the hardware it offers until a test says otherwise, and the function that
// makes it forget its own state (networks, clients, queues) when the bus is reset. It withdraws
// before it is unloaded; withdrawing waits until a reset running on another thread has finished
// with it.
OSTREL_SIMBUS_API void registerLibrary(std::string_view library, std::vector<HardwareEntry> defaultHardware,
                                       std::function<void()> resetState);
OSTREL_SIMBUS_API void unregisterLibrary(std::string_view library);

// The hardware a library offers now (a test's list, else the library's defaults).
[[nodiscard]] OSTREL_SIMBUS_API std::vector<HardwareEntry> hardware(std::string_view library);
[[nodiscard]] OSTREL_SIMBUS_API std::optional<HardwareEntry> findHardware(std::string_view library, uint32_t handle);

// The status word of one hardware channel (0 until a test or the library sets another).
[[nodiscard]] OSTREL_SIMBUS_API uint32_t hardwareStatus(std::string_view library, uint32_t handle);
OSTREL_SIMBUS_API void setHardwareStatus(std::string_view library, uint32_t handle, uint32_t status);

// Provoked failures: a simulated library asks at the start of each entry point whether this call
// is to fail, and with which result. `detail` narrows the call (a parameter number), or kAnyDetail.
inline constexpr uint32_t kAnyDetail = 0xFFFFFFFFu;
[[nodiscard]] OSTREL_SIMBUS_API std::optional<int32_t> takeFault(std::string_view library, std::string_view function,
                                                                 uint32_t detail = kAnyDetail);

// A line of the library's call journal (what it was asked to do), for tests to read.
OSTREL_SIMBUS_API void record(std::string_view library, std::string text);

// A controller of a simulated library on the line of one of its hardware channels.
using PortId = uint64_t;
using Receiver = std::function<void(const Frame& frame, uint64_t timeUs)>;
// The receiver gets every frame that another port or a device sends on the same line.
[[nodiscard]] OSTREL_SIMBUS_API PortId openPort(std::string_view library, uint32_t hardwareHandle, Receiver receiver);
// After it returns the receiver is not running and is never called again (when called from inside
// that receiver, only the latter holds). False when a running delivery did not end within 10 s.
OSTREL_SIMBUS_API bool closePort(PortId port);
// Sends a frame on the port's line; returns its time stamp. Unknown ports send nothing (stamp 0).
OSTREL_SIMBUS_API uint64_t transmit(PortId port, const Frame& frame);

} // namespace ostrel::simbus
