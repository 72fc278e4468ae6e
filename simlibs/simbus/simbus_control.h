// What tests do to the simulated bus: attach devices, inject frames, read what the simulated
// libraries sent, set hardware and statuses, provoke failures, and put everything back.
//
// Simulated devices from elsewhere (the CANopen device model of the test fixtures) are attached
// through a listener and inject(); the bus itself knows no device model.
//
// A process can also get devices without test code of its own (a CAN server started as a child
// process): when OSTREL_SIMBUS_PLUGIN names a shared library, the bus loads it the first time a
// simulated library opens a port and calls its
//     extern "C" void ostrel_simbus_plugin_attach(void);
// which attaches devices through this header. The plugin stays loaded until the process ends.
#pragma once

#include "simbus.h"

#include <cstddef>
#include <memory>

namespace ostrel::simbus {

// Back to the start: devices detached, frames sent forgotten, hardware lists, statuses, failures
// and journals cleared, and every loaded simulated library forgets its networks, clients and
// queues (its ports close).
OSTREL_SIMBUS_API void reset();

// Hardware a library offers from now on (also before the library is loaded); an empty list means
// no hardware at all. clearHardware() goes back to the library's own defaults.
OSTREL_SIMBUS_API void setHardware(std::string_view library, std::vector<HardwareEntry> hardware);
OSTREL_SIMBUS_API void clearHardware(std::string_view library);
// setHardwareStatus() of simbus.h sets the status word that the library reports.

// A provoked failure: the next `count` calls (all when count < 0) of `function` in `library`
// whose detail matches (any when unset) fail with `result`, after `skip` matching calls have passed.
struct Fault {
    std::string library;
    std::string function;
    int32_t result = 1;
    int32_t count = 1;
    uint32_t skip = 0;
    std::optional<uint32_t> detail;
};
OSTREL_SIMBUS_API void addFault(Fault fault);
OSTREL_SIMBUS_API void clearFaults();
// Calls that failed through a provoked fault so far.
[[nodiscard]] OSTREL_SIMBUS_API std::size_t faultsTaken();

// The call journal of a library, oldest first.
[[nodiscard]] OSTREL_SIMBUS_API std::vector<std::string> journal(std::string_view library);
OSTREL_SIMBUS_API void clearJournal();

// Devices. The listener gets every frame that a port or another device sends on the device's line,
// on the delivering thread and without any bus lock held; it may inject at once (the answer is
// queued behind the frame being delivered).
using DeviceId = uint64_t;
using DeviceListener = std::function<void(const Frame& frame, uint64_t timeUs)>;
[[nodiscard]] OSTREL_SIMBUS_API DeviceId attachDevice(DeviceListener listener, uint32_t line = 0);
// Returns once the listener is not running (from inside the listener: once it is never called again).
OSTREL_SIMBUS_API void detachDevice(DeviceId device);
// Sends a frame from the device; stamped `timeUs` when given, else now. Returns the stamp
// (0 for an unknown device, which sends nothing).
OSTREL_SIMBUS_API uint64_t inject(DeviceId device, const Frame& frame, std::optional<uint64_t> timeUs = std::nullopt);

// A device held for the scope of a test.
class OSTREL_SIMBUS_API AttachedDevice {
public:
    explicit AttachedDevice(DeviceListener listener, uint32_t line = 0);
    ~AttachedDevice();
    AttachedDevice(const AttachedDevice&) = delete;
    AttachedDevice& operator=(const AttachedDevice&) = delete;
    uint64_t inject(const Frame& frame, std::optional<uint64_t> timeUs = std::nullopt) const;
    [[nodiscard]] DeviceId id() const noexcept { return id_; }

private:
    DeviceId id_;
};

// Frames the simulated libraries put on a wire (not those of devices), oldest first.
struct SentFrame {
    Frame frame;
    uint64_t timeUs = 0;
    std::string library;
    uint32_t hardware = 0;
    uint32_t line = 0;
};
[[nodiscard]] OSTREL_SIMBUS_API std::vector<SentFrame> sentFrames();
OSTREL_SIMBUS_API void clearSentFrames();
// Waits at most timeoutMs until at least `count` frames have been sent; true when they were.
[[nodiscard]] OSTREL_SIMBUS_API bool waitForSent(std::size_t count, uint32_t timeoutMs);

// Ports open now (controllers of the simulated libraries on a wire).
[[nodiscard]] OSTREL_SIMBUS_API std::size_t openPortCount();

} // namespace ostrel::simbus
