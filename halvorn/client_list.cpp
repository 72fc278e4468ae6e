#include "client_list.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

#include <signal.h>

namespace ostrel::halvorn {
namespace {

// Ids that cannot name a process are left to the ping limit.
bool processEnded(uint32_t processId) {
    if (processId == 0 || processId > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) return false;
    return ::kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH;
}

} // namespace

ClientList::ClientList(ServerLog& log, ErrorFrameSink errorFrames)
    : log_(log), errorFrames_(std::move(errorFrames)) {}

ClientList::Lock ClientList::takeLock() {
    return Lock(lock_, std::chrono::milliseconds(kLockWaitMs));
}

ClientEntry* ClientList::find(uint32_t processId) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [processId](const ClientEntry& e) { return e.processId == processId; });
    return it == entries_.end() ? nullptr : &*it;
}

void ClientList::publishCount() {
    const auto count = static_cast<int32_t>(entries_.size());
    current_.store(count);
    if (count > highest_.load()) highest_.store(count);
}

void ClientList::Register(uint32_t processId) {
    ClientEntry entry;
    entry.processId = processId;
    entry.lastPingMs = platform::tickMs();
    bool replaced = false;
    {
        // The old entry goes and the new one comes under one hold: the main loop must never see a
        // count of 0 while a client that registers again is still there.
        Lock lock = takeLock();
        if (!lock.owns_lock()) {
            log_.Print("Client %lu not registered - client list busy\n", static_cast<unsigned long>(processId));
            return;
        }
        if (ClientEntry* old = find(processId)) {
            log_.Print("Deleting client\n");
            entries_.erase(entries_.begin() + (old - entries_.data()));
            replaced = true;
        }
        entries_.push_back(entry);
        publishCount();
    }
    // The old entry's error-frame wish is gone.
    if (replaced) UpdateErrorFrames();
}

void ClientList::Unregister(uint32_t processId) {
    {
        Lock lock = takeLock();
        if (!lock.owns_lock()) return;
        const auto it = std::find_if(entries_.begin(), entries_.end(),
                                     [processId](const ClientEntry& e) { return e.processId == processId; });
        if (it == entries_.end()) return;
        log_.Print("Deleting client\n");
        entries_.erase(it);
        publishCount();
    }
    UpdateErrorFrames();
}

bool ClientList::Ping(uint32_t processId) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return true;
    ClientEntry* entry = find(processId);
    if (entry == nullptr) return false;
    entry->lastPingMs = platform::tickMs();
    return true;
}

void ClientList::SetNetwork(uint32_t processId, uint32_t handle) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return;
    if (ClientEntry* entry = find(processId)) entry->network = handle;
}

void ClientList::SetErrorFrames(uint32_t processId, uint32_t wish) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return;
    if (ClientEntry* entry = find(processId)) entry->errorFrames = wish;
}

void ClientList::UpdateErrorFrames() {
    bool wanted = false;
    {
        Lock lock = takeLock();
        if (!lock.owns_lock()) return;
        for (const ClientEntry& e : entries_) wanted = wanted || e.errorFrames != 0;
    }
    // The bus takes its own lock: never called with ours held.
    if (errorFrames_) errorFrames_(wanted);
}

bool ClientList::IsNetworkInUse(uint32_t handle) {
    Lock lock = takeLock();
    // Not knowing counts as in use: a network is never deleted under a client.
    if (!lock.owns_lock()) return true;
    return std::any_of(entries_.begin(), entries_.end(), [handle](const ClientEntry& e) { return e.network == handle; });
}

ClientCounts ClientList::GetCounts() const noexcept {
    // The highest count first: it only grows and is published after the current count, so a pair
    // {0, above 0} can only mean that every client has gone, never a first one registering.
    const int32_t highest = highest_.load();
    return {current_.load(), highest};
}

void ClientList::Clear() {
    Lock lock = takeLock();
    // At shut-down no other thread touches the list any more; clear it even without the lock.
    entries_.clear();
    current_.store(0);
}

int32_t ClientList::RemoveDeadClients(uint32_t pingTimeoutMs) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return 0;
    const uint32_t now = platform::tickMs();
    const auto dead = [&](const ClientEntry& e) {
        const uint32_t age = now - e.lastPingMs;  // the tick count wraps; the difference does not
        if (age >= pingTimeoutMs) {
            log_.Print("Removing dead client - last ping was %d ms ago\n", static_cast<int>(age));
            return true;
        }
        if (age >= kEndedProcessSilenceMs && processEnded(e.processId)) {
            log_.Print("Removing client %lu - its process has ended\n", static_cast<unsigned long>(e.processId));
            return true;
        }
        return false;
    };
    const auto removed = static_cast<int32_t>(std::erase_if(entries_, dead));
    if (removed > 0) publishCount();
    return removed;
}

void ClientList::RestartPingAges() {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return;
    const uint32_t now = platform::tickMs();
    for (ClientEntry& e : entries_) e.lastPingMs = now;
}

std::vector<ClientEntry> ClientList::Snapshot() {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return {};
    return entries_;
}

} // namespace ostrel::halvorn
