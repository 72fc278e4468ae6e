// Stopping a client process of the end-to-end tests (SIGSTOP) without blocking the server: a
// stopped holder of a ring mutex would hold up every writer of that ring.
#pragma once

#include <halvorn/server_block.h>
#include <platform/ipc.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/types.h>

namespace drennic::e2e {

// Stops the process at a moment when it holds none of the four ring mutexes.
inline bool stopOutsideTheRings(pid_t pid) {
    namespace hv = ostrel::halvorn;
    auto command = ostrel::platform::NamedMutex::open(hv::kCommandMutexName);
    auto response = ostrel::platform::NamedMutex::open(hv::kResponseMutexName);
    auto send = ostrel::platform::NamedMutex::open(hv::kSendMutexName);
    auto receive = ostrel::platform::NamedMutex::open(hv::kReceiveMutexName);
    if (!command || !response || !send || !receive) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        ::kill(pid, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ostrel::platform::NamedMutexLock a(*command, 50);
        ostrel::platform::NamedMutexLock b(*response, 50);
        ostrel::platform::NamedMutexLock c(*send, 50);
        ostrel::platform::NamedMutexLock d(*receive, 50);
        if (a.held() && b.held() && c.held() && d.held()) return true;
        ::kill(pid, SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

} // namespace drennic::e2e
