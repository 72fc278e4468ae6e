// The CAN bus owner: the only part of the server that calls the CAN interface library (Drennic
// in hardware mode), or, without a driver library, the simulated bus. One lock serialises every
// call into the library made for the clients.
#pragma once

#include "drennic/drennic.h"
#include "halvorn/server_block.h"
#include "net_table.h"
#include "server_log.h"
#include "shared_mem.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

namespace ostrel::halvorn {

// The hardware and network records between the command dispatcher and the bus: UTF-8 names in
// fixed fields, terminator included.
struct HardwareRecord {
    char name[32];
    uint32_t handle;
};
struct NetworkRecord {
    char name[40];
    uint32_t handle;
    uint32_t baudKbit;
};

// Copies at most capacity - 1 bytes of UTF-8 without cutting a character, terminates and
// zero-fills the rest of the field.
void copyUtf8Field(char* dest, std::size_t capacity, std::string_view utf8) noexcept;

// Results of the bus operations.
struct CanBusResult {
    static constexpr int32_t Done = 0;
    static constexpr int32_t LibraryBadParameters = 1;  // library result -4
    static constexpr int32_t NotStarted = 4;            // no driver library started
    static constexpr int32_t LibraryRequestFailed = 5;  // library result -5
    static constexpr int32_t LibraryNotInitialized = 6; // library result -7
    static constexpr int32_t LibraryTransmitError = 7;  // library result -8
    static constexpr int32_t LibraryNoFrame = 8;        // library result -11
    static constexpr int32_t LibraryOther = 9;          // any other library result
    static constexpr int32_t LockTimeout = 10;          // lock not taken within 500 ms
    static constexpr int32_t NetworkInUse = 11;
    static constexpr int32_t BuiltInNetwork = 12;
    static constexpr int32_t OtherNetworkOpen = 13;
};

enum class CanBusState : int32_t {
    NotStarted = 0,     // library not started
    DriverStarted = 1,  // library started with a driver library
    NetworkOpen = 2,    // network open on the interface
    Simulated = 3,      // simulated bus
};

// What the bus needs of the rest of the server (the client list and the broadcasts).
struct CanBusPeers {
    // True when a client works on the network (the bus's own network is checked by the bus).
    std::function<bool(uint32_t handle)> isNetworkUsedByClient;
    // Recomputes the clients' error-frame wish and passes it to SetErrorFrames.
    std::function<void()> updateErrorFrames;
    // Tells every client of an interface status change.
    std::function<void(uint32_t status)> broadcastMajorError;
};

struct BusTime {
    uint32_t ms = 0;
    uint32_t us = 0;
};

struct BusNetwork {
    uint32_t handle = 0;
    uint32_t options = 0;
};

class CanBus {
public:
    static constexpr unsigned kLockWaitMs = 500;
    static constexpr const char16_t* kClientName = u"Ost Simulated CAN Bus";
    static constexpr std::size_t kDriverNameChars = 200;
    static constexpr uint32_t kReceivePauseEvery = 1000;

    // Construct: nothing started, no network (also written into the block).
    CanBus(ServerLog& log, SharedMem& sharedMem, NetTable& netTable, CanBusPeers peers);
    // Destroy: closes the hardware and shuts the library down, as far as they were started.
    ~CanBus();
    CanBus(const CanBus&) = delete;
    CanBus& operator=(const CanBus&) = delete;

    // Starts the library with the driver library `utf8Name` (state 1), or the simulated bus for an
    // empty name (state 3). Only in state 0; false when nothing was done.
    bool StartDriver(std::string_view utf8Name);
    [[nodiscard]] int32_t Initialize(uint32_t handle, uint32_t options);
    // mode 0 connects, 1 disconnects.
    [[nodiscard]] int32_t SwitchNetworks(uint8_t mode, uint32_t handle);
    // True when the frame went to the interface.
    [[nodiscard]] bool Transmit(const ServerFrame& frame);
    void SetErrorFrames(bool on);
    void Reset();
    [[nodiscard]] BusTime GetCurrentTime();
    [[nodiscard]] int32_t EnumerateHardware(HardwareRecord* records, int32_t maxCount);
    [[nodiscard]] int32_t EnumerateNetworks(NetworkRecord* records, int32_t maxCount, uint32_t hardware);
    // The new network's handle; 0 when none was given. The network table notes the request's origin.
    [[nodiscard]] uint32_t AddNetwork(const NetworkRecord& record, uint32_t hardware, RequestOrigin origin = {});
    [[nodiscard]] int32_t DeleteNetwork(uint32_t handle, RequestOrigin origin = {});
    // What an add or delete of `origin` did (a server before this one may have done it).
    [[nodiscard]] std::optional<RequestRecord> FindRequest(RequestOrigin origin);
    [[nodiscard]] uint32_t GetBaudrate(uint32_t handle);

    [[nodiscard]] bool IsDriverStarted() const noexcept { return state() != CanBusState::NotStarted; }
    [[nodiscard]] bool IsSelfReceiveOn() const noexcept { return selfReceive_.load(); }
    [[nodiscard]] bool IsSimulatedOrDown() const;
    [[nodiscard]] BusNetwork GetCurrentNetwork();
    [[nodiscard]] CanBusState state() const noexcept { return state_.load(); }

    // The frame handler for the send ring: a frame a client sent.
    void OnClientFrame(const ServerFrame& frame);
    // The clients' time base: the interface's clock when frames come back from the interface,
    // else the millisecond clock that stamps the echoed frames.
    [[nodiscard]] BusTime GetServerTime();

    // Library callbacks (engine thread, no lock).
    static void OnReceive(const CANFrame* frame, int32_t answersRequest, void* user);
    static void OnMajorError(uint32_t status, void* user);

private:
    using Lock = std::unique_lock<std::timed_mutex>;
    [[nodiscard]] Lock takeLock();
    void stampAndEcho(ServerFrame frame);

    ServerLog& log_;
    SharedMem& sharedMem_;
    NetTable& netTable_;
    CanBusPeers peers_;
    std::timed_mutex lock_;
    std::atomic<CanBusState> state_{CanBusState::NotStarted};
    std::atomic<uint32_t> current_{0};
    std::atomic<uint32_t> options_{0};
    std::atomic<bool> selfReceive_{false};
    uint32_t receivedCount_ = 0;  // engine thread only
};

} // namespace ostrel::halvorn
