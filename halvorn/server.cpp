#include "server.h"

#include "halvorn/transport.h"
#include "platform/clock.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

namespace ostrel::halvorn {
namespace {

uint32_t limitFromEnvironment(const char* variable, uint32_t fallback) {
    const char* text = std::getenv(variable);
    if (text == nullptr) return fallback;
    const char* end = text + std::strlen(text);
    uint32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end || value == 0) return fallback;
    return value;
}

void nameThisThread(const char* name) { (void)::pthread_setname_np(::pthread_self(), name); }

// A program of another installation holds the objects in a format of its own: nothing of ours can
// open them until every program of that installation has ended. The user learns which to close.
void logObjectsOfAnotherInstallation(ServerLog& log) {
    if (const char* name = TransportObjects::objectOfAnotherFormat()) {
        log.Print("The shared object %s is held in another format by a program of another installation. "
                  "Please close all CAN applications and start them from one installation.\n",
                  name);
    }
}

} // namespace

ServerLimits ServerLimits::fromEnvironment() {
    ServerLimits limits;
    limits.idleExitMs = limitFromEnvironment(kIdleExitVariable, kIdleExitMs);
    limits.pingTimeoutMs = limitFromEnvironment(kPingTimeoutVariable, kPingTimeoutMs);
    return limits;
}

Server::Server(ServerLog& log, const ServerLimits& limits)
    : log_(log),
      limits_(limits),
      clients_(log, [this](bool wanted) {
          // Only the client-receive thread gets here, while the bus exists.
          if (bus_) bus_->SetErrorFrames(wanted);
      }) {}

std::unique_ptr<Server> Server::Create(ServerLog& log, const ServerLimits& limits) {
    std::unique_ptr<Server> server(new Server(log, limits));
    if (!server->start()) return nullptr;
    return server;
}

bool Server::start() {
    log_.Print("Ost CAN Server version %d.%.2d started\n\n", static_cast<int>(kServerVersionMajor),
               static_cast<int>(kServerVersionMinor));
    sharedMem_ = SharedMem::Construct(log_);
    if (!sharedMem_) {
        log_.Print("Failed to create the shared memory\n");
        logObjectsOfAnotherInstallation(log_);
        return false;
    }
    // The table is made before the bus that refers to it (and goes after it).
    netTable_ = std::make_unique<NetTable>();
    CanBusPeers peers;
    peers.isNetworkUsedByClient = [this](uint32_t handle) { return clients_.IsNetworkInUse(handle); };
    peers.updateErrorFrames = [this] { clients_.UpdateErrorFrames(); };
    peers.broadcastMajorError = [this](uint32_t status) { BroadcastMajorError(status); };
    bus_ = std::make_unique<CanBus>(log_, *sharedMem_, *netTable_, std::move(peers));
    dispatcher_ = std::make_unique<CommandDispatcher>(log_, *sharedMem_, *bus_, clients_);
    // Linux timers need no system-wide resolution request.

    sharedMem_->SetCommandCallback(&Server::onCommand, this);
    sharedMem_->SetFrameCallback(&Server::onClientFrame, this);
    commandsReadMs_ = platform::tickMs();
    rxThread_ = std::thread([this] { clientRxThread(); });
    cleanupThread_ = std::thread([this] { cleanupThread(); });

    // A process stopped inside the event's open or close holds it only for a while: the clients wait
    // for this server as long as that may take.
    const uint64_t openedBy = platform::monotonicUs() + uint64_t{kBusyOpenWaitMs} * 1000;
    auto failure = platform::OpenFailure::None;
    running_ = platform::NamedEvent::open(kRunningEventName, platform::EventReset::Manual, false, &failure);
    while (!running_ && failure == platform::OpenFailure::Busy && platform::monotonicUs() < openedBy) {
        platform::sleepMs(kBusyOpenRetryMs);
        running_ = platform::NamedEvent::open(kRunningEventName, platform::EventReset::Manual, false, &failure);
    }
    if (!running_) {
        // Clients would never find this server: better not to run at all.
        log_.Print("Failed to create the running event\n");
        logObjectsOfAnotherInstallation(log_);
        return false;
    }
    running_->set();
    return true;
}

void Server::stopThreads() {
    rxStop_ = true;
    if (rxThread_.joinable()) rxThread_.join();
    cleanupStop_ = true;
    if (cleanupThread_.joinable()) cleanupThread_.join();
}

Server::~Server() {
    stopThreads();
    if (sharedMem_) {
        sharedMem_->SetCommandCallback(nullptr, nullptr);
        sharedMem_->SetFrameCallback(nullptr, nullptr);
    }
    dispatcher_.reset();
    bus_.reset();  // closes the hardware and shuts the library down
    netTable_.reset();
    sharedMem_.reset();
    if (running_) {
        // Another holder of the event (a client starting up) must not find a server that is gone.
        running_->reset();
        running_.reset();
    }
    clients_.Clear();
}

void Server::BroadcastMajorError(uint32_t status) {
    ServerCommand response{};
    response.code = ServerResp_MajorError;
    response.length = 1;
    response.data[0] = status == 1   ? ServerStatus::MajorErrorStatus1
                       : status == 3 ? ServerStatus::MajorErrorStatus3
                                     : ServerStatus::MajorErrorOther;
    response.processId = 0;  // every client
    if (sharedMem_) (void)sharedMem_->SendResponse(response);
}

void Server::clientRxThread() {
    nameThisThread(kClientRxThreadName);
    while (!rxStop_) {
        // A call woken by the send event leaves the command ring to the next one.
        if (sharedMem_->Poll(kPollMs) != SharedMem::PollResult::SendRingDrained) commandsReadMs_ = platform::tickMs();
    }
    log_.Print("Client Rx thread is dead\n");
}

void Server::cleanupThread() {
    nameThisThread(kCleanupThreadName);
    uint32_t lastPass = platform::tickMs();
    bool commandsStalled = false;
    while (!cleanupStop_) {
        platform::sleepMs(kCleanupPeriodMs);
        if (cleanupStop_) break;
        const uint32_t commandsRead = commandsReadMs_.load();  // before now: never later than it
        const uint32_t now = platform::tickMs();
        const uint32_t unread = now - commandsRead;
        // The pings that clients sent while the server or its command reading stood still have not
        // been read yet. Judged now, every client would look silent.
        if (now - lastPass >= kStallGapMs) {
            log_.Print("Server stalled for %lu ms - client ping ages start afresh\n",
                       static_cast<unsigned long>(now - lastPass));
            clients_.RestartPingAges();
        } else if (unread >= kStallGapMs) {
            if (!commandsStalled) {
                log_.Print("Commands not read for %lu ms - client ping ages start afresh until they are\n",
                           static_cast<unsigned long>(unread));
            }
            clients_.RestartPingAges();
        }
        commandsStalled = unread >= kStallGapMs;
        lastPass = now;
        (void)clients_.RemoveDeadClients(limits_.pingTimeoutMs);
    }
    log_.Print("Client cleanup thread is dead\n");
}

void Server::onCommand(const ServerCommand& command, void* user) {
    static_cast<Server*>(user)->dispatcher_->HandleCommand(command);
}

void Server::onClientFrame(const ServerFrame& frame, void* user) {
    static_cast<Server*>(user)->bus_->OnClientFrame(frame);
}

} // namespace ostrel::halvorn
