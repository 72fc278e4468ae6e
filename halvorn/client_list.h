// The server's list of registered client processes: registration, pings, each client's network
// and error-frame wish. The clean-up thread drops clients that have gone silent.
#pragma once

#include "server_log.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace ostrel::halvorn {

struct ClientCounts {
    int32_t current = 0;
    int32_t highest = 0;  // the most clients registered at one time since start
};

struct ClientEntry {
    uint32_t errorFrames = 0;  // 0 or 1: the client wants error frames
    uint32_t network = 0;      // 0 until a bus configuration or network switch succeeds for it
    uint32_t processId = 0;
    uint32_t lastPingMs = 0;   // tick count of the last ping or the registration
};

class ClientList {
public:
    static constexpr unsigned kLockWaitMs = 500;
    // A process id that names no process here may still be a live client in another PID namespace
    // (a container sharing /dev/shm): only one that has also missed its pings this long is gone.
    static constexpr uint32_t kEndedProcessSilenceMs = 2'000;
    // Receives the OR of all clients' error-frame wishes; called with no list lock held.
    using ErrorFrameSink = std::function<void(bool wanted)>;

    ClientList(ServerLog& log, ErrorFrameSink errorFrames);
    ClientList(const ClientList&) = delete;
    ClientList& operator=(const ClientList&) = delete;

    // An older entry of the same process goes first; the new one starts with network 0, no wish.
    void Register(uint32_t processId);
    void Unregister(uint32_t processId);
    // False when the list holds no entry of the process (a busy list counts as holding it).
    bool Ping(uint32_t processId);
    void SetNetwork(uint32_t processId, uint32_t handle);
    void SetErrorFrames(uint32_t processId, uint32_t wish);
    // Passes the OR of the wishes on to the sink.
    void UpdateErrorFrames();
    // True when a client works on the network, or when the list cannot be looked at in time.
    [[nodiscard]] bool IsNetworkInUse(uint32_t handle);
    // Read without the lock.
    [[nodiscard]] ClientCounts GetCounts() const noexcept;
    void Clear();

    // Removes every client whose last ping is at least pingTimeoutMs old and every client whose
    // process id names no process and whose last ping is at least kEndedProcessSilenceMs old;
    // answers how many went. The error-frame setting is left as it is.
    int32_t RemoveDeadClients(uint32_t pingTimeoutMs);
    // Every client's last ping becomes now: time in which the server itself did not run (stopped,
    // frozen, swapped out) is no silence of its clients, whose pings still wait in the command ring.
    void RestartPingAges();

    // A copy of the entries, in registration order (empty when the lock is not had in time).
    [[nodiscard]] std::vector<ClientEntry> Snapshot();

private:
    using Lock = std::unique_lock<std::timed_mutex>;
    [[nodiscard]] Lock takeLock();
    [[nodiscard]] ClientEntry* find(uint32_t processId);
    void publishCount();

    ServerLog& log_;
    ErrorFrameSink errorFrames_;
    std::timed_mutex lock_;
    std::vector<ClientEntry> entries_;  // registration order
    std::atomic<int32_t> current_{0};
    std::atomic<int32_t> highest_{0};
};

} // namespace ostrel::halvorn
