// The server object: owns the transport, the CAN bus, the network table, the client list and the
// command dispatcher, and runs the client-receive and clean-up threads. Its construction and
// destruction follow a fixed order; "HALVORNRUNNING" is set last and taken down first-to-last.
#pragma once

#include "can_bus.h"
#include "client_list.h"
#include "command_dispatcher.h"
#include "net_table.h"
#include "platform/ipc.h"
#include "server_log.h"
#include "shared_mem.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace ostrel::halvorn {

// The server's time limits. Tests may shorten them through the environment.
struct ServerLimits {
    static constexpr uint32_t kIdleExitMs = 120'000;    // no client ever registered
    static constexpr uint32_t kPingTimeoutMs = 15'000;  // a client silent this long is dropped
    static constexpr const char* kIdleExitVariable = "HALVORN_IDLE_EXIT_MS";
    static constexpr const char* kPingTimeoutVariable = "HALVORN_PING_TIMEOUT_MS";

    uint32_t idleExitMs = kIdleExitMs;
    uint32_t pingTimeoutMs = kPingTimeoutMs;

    // The defaults, each replaced by its variable when that holds a positive decimal number.
    [[nodiscard]] static ServerLimits fromEnvironment();
};

class Server {
public:
    static constexpr uint32_t kPollMs = 100;
    static constexpr uint32_t kCleanupPeriodMs = 200;
    // A clean-up pass this much later than the last one means that the server did not run between
    // them (a debugger, a frozen machine, heavy swapping); the command ring not read for this long
    // means that the client-receive thread did not (a handler that blocks, a debugger). Either way
    // the clients' pings wait unread.
    static constexpr uint32_t kStallGapMs = 2'000;
    // How long the start waits for the running event while another process is inside its open.
    static constexpr uint32_t kBusyOpenWaitMs = 15'000;
    static constexpr uint32_t kBusyOpenRetryMs = 100;
    // Thread names, as the system shows them (at most 15 characters).
    static constexpr const char* kClientRxThreadName = "client-rx";
    static constexpr const char* kCleanupThreadName = "client-cleanup";

    // Start-up: the objects in order, the handlers, the threads, then "HALVORNRUNNING" set.
    // Empty when the shared objects cannot be created; everything made so far is taken down.
    [[nodiscard]] static std::unique_ptr<Server> Create(ServerLog& log, const ServerLimits& limits);
    // Shut-down: threads stopped, then the bus, the table, the transport, the running event and
    // the client list, in this order.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    [[nodiscard]] ClientCounts GetClientCounts() const noexcept { return clients_.GetCounts(); }
    // Tells every client of an interface status change (0x40).
    void BroadcastMajorError(uint32_t status);

private:
    Server(ServerLog& log, const ServerLimits& limits);
    [[nodiscard]] bool start();
    void stopThreads();
    void clientRxThread();
    void cleanupThread();
    static void onCommand(const ServerCommand& command, void* user);
    static void onClientFrame(const ServerFrame& frame, void* user);

    ServerLog& log_;
    ServerLimits limits_;
    ClientList clients_;
    std::unique_ptr<SharedMem> sharedMem_;
    std::unique_ptr<NetTable> netTable_;
    std::unique_ptr<CanBus> bus_;
    std::unique_ptr<CommandDispatcher> dispatcher_;
    std::unique_ptr<platform::NamedEvent> running_;

    std::atomic<uint32_t> commandsReadMs_{0};  // tick count when the command ring was last found empty
    std::atomic<bool> rxStop_{false};
    std::atomic<bool> cleanupStop_{false};
    std::thread rxThread_;
    std::thread cleanupThread_;
};

} // namespace ostrel::halvorn
