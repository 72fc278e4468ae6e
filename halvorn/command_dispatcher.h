// The server's handler for every entry of the command ring: decodes the payload, acts through the
// client list and the CAN bus, and answers the sender with at most one response.
// Runs only on the client-receive thread, one command at a time in ring order.
#pragma once

#include "can_bus.h"
#include "client_list.h"
#include "halvorn/server_block.h"
#include "server_log.h"
#include "shared_mem.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::halvorn {

// Statuses of the responses.
struct ServerStatus {
    static constexpr uint8_t Done = 0;
    static constexpr uint8_t InterfaceRefused = 3;     // 0x11: library result -4; 0x61: the switch was refused
    static constexpr uint8_t NotInitialized = 4;       // 0x11: library result -7
    static constexpr uint8_t NoFrame = 5;              // 0x11: library result -11
    static constexpr uint8_t DriverAlreadyStarted = 7; // 0x31
    static constexpr uint8_t OtherFailure = 8;
    static constexpr uint8_t MajorErrorOther = 9;      // 0x40
    static constexpr uint8_t MajorErrorStatus1 = 10;   // 0x40
    static constexpr uint8_t MajorErrorStatus3 = 11;   // 0x40
    static constexpr uint8_t NetworkInUse = 12;        // 0x1C
    static constexpr uint8_t BuiltInNetwork = 13;      // 0x1C
    static constexpr uint8_t NoHandle = 14;            // 0x1A
    static constexpr uint8_t OtherNetworkOpen = 15;    // 0x11
};

// The data bytes a command needs; empty for a code the server does not know.
[[nodiscard]] std::optional<int32_t> requiredCommandLength(uint8_t code) noexcept;

class CommandDispatcher {
public:
    // Results of SetHardwareConfiguration.
    static constexpr int32_t kHardwareConfigured = 0;
    static constexpr int32_t kDriverAlreadyStarted = 4;
    static constexpr int32_t kHardwareNotConfigured = 10;  // the bus could not be started (lock)

    CommandDispatcher(ServerLog& log, SharedMem& sharedMem, CanBus& bus, ClientList& clients);
    CommandDispatcher(const CommandDispatcher&) = delete;
    CommandDispatcher& operator=(const CommandDispatcher&) = delete;

    void HandleCommand(const ServerCommand& command);

    // Starts the bus with a driver library (an empty name selects the simulated bus) unless it
    // has been started already.
    [[nodiscard]] int32_t SetHardwareConfiguration(std::string_view utf8Name);
    // Opens the network; answers the intermediate status that the response status is made of.
    [[nodiscard]] int32_t SetBusConfiguration(uint32_t handle, uint32_t options);

private:
    void setBusConfiguration(const ServerCommand& command);
    void getBusConfiguration(const ServerCommand& command);
    void setErrorFrames(const ServerCommand& command);
    void enumerateHardware(const ServerCommand& command);
    void enumerateNetworks(const ServerCommand& command);
    void addNetwork(const ServerCommand& command);
    void deleteNetwork(const ServerCommand& command);
    void getBaudrate(const ServerCommand& command);
    void setHardwareConfiguration(const ServerCommand& command);
    void getCurrentTime(const ServerCommand& command);
    void getVersion(const ServerCommand& command);
    void switchNetworks(const ServerCommand& command);
    // A ping with a ticket from a process the list does not hold (dropped while it was stopped).
    void askToRegisterAgain(const ServerCommand& ping);

    // A zeroed response with the code and the command's request tag, addressed to its sender.
    ServerCommand& startResponse(uint8_t code, int32_t length, const ServerCommand& command);
    void sendResponse();

    ServerLog& log_;
    SharedMem& sharedMem_;
    CanBus& bus_;
    ClientList& clients_;
    ServerCommand response_{};  // reused: the dispatcher runs on one thread
};

} // namespace ostrel::halvorn
