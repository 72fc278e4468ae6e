// A receiving client of the end-to-end benchmark: starts the library in server-client mode and
// measures what arrives through its ReceiveCallback. One command per line of standard input:
//
//   startup                     CANopenDLL_Startup(1, "") and Hardware_Initialize(1)  -> result <code>
//   latency                     one-way latencies of the probe frames, then forgets them
//                               -> latency <count> <median us> <p99 us> <max us>
//   rate <count> <timeout ms>   waits for <count> sequence frames (gives up after the timeout or
//                               2 s without a frame), then forgets them
//                               -> rate <received> <in order 0/1> <arrival of the last, us>
//   poll                        a thread looks at the server's receive and response events
//                               without pause, as a reader does once a millisecond  -> ok
//   quit
//
// Probe frames (kLatencyId) carry the sender's CLOCK_MONOTONIC time in µs; sequence frames
// (kSequenceId) carry a big-endian sequence number.
#include "bench_frames.h"

#include <drennic/drennic.h>
#include <halvorn/server_block.h>
#include <platform/clock.h>
#include <platform/ipc.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace drennic::bench;

struct Measurements {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<uint64_t> latenciesUs;
    uint32_t sequenceCount = 0;
    uint32_t expected = UINT32_MAX;  // the count a "rate" command waits for
    bool inOrder = true;
    uint64_t lastArrivalUs = 0;
};

Measurements& measurements() {
    static Measurements m;
    return m;
}

void onReceive(const CANFrame* frame, int32_t /*answersRequest*/, void* /*user*/) {
    const uint64_t now = ostrel::platform::monotonicUs();
    Measurements& m = measurements();
    if (frame->id == kLatencyId && frame->length == 8) {
        const uint64_t sent = readSendTime(frame->data);
        std::lock_guard lock(m.lock);
        m.latenciesUs.push_back(now >= sent ? now - sent : 0);
    } else if (frame->id == kSequenceId) {
        bool wake = false;
        {
            std::lock_guard lock(m.lock);
            if (readSequence(frame->data) != m.sequenceCount) m.inOrder = false;
            ++m.sequenceCount;
            m.lastArrivalUs = now;
            wake = m.sequenceCount % 1024 == 0 || m.sequenceCount >= m.expected;
        }
        if (wake) m.arrived.notify_all();  // not for every frame: the waiter only needs the end
    }
}

void answer(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

uint64_t number(const std::string& text) {
    uint64_t value = 0;
    (void)std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Looks at the server's pulsed events without pause until stopped.
void pollEvents(const std::atomic<bool>& stop) {
    using ostrel::platform::EventReset;
    using ostrel::platform::NamedEvent;
    auto receive = NamedEvent::open(ostrel::halvorn::kReceiveEventName, EventReset::Manual);
    auto response = NamedEvent::open(ostrel::halvorn::kResponseEventName, EventReset::Manual);
    while (receive && response && !stop.load(std::memory_order_relaxed)) {
        (void)ostrel::platform::waitForEither(*receive, *response, 0);
    }
}

} // namespace

int main() {
    measurements().latenciesUs.reserve(1'000'000);
    std::atomic<bool> stopPolling{false};
    std::thread poller;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) continue;
        if (w[0] == "startup") {
            CANopenDLL_Startup(1, u"");
            Event_Receive(onReceive, nullptr);
            ResultBlock r{};
            Hardware_Initialize(kNetwork, u"bench peer", 0, 0, &r);
            answer("result " + std::to_string(r.code));
        } else if (w[0] == "latency") {
            Measurements& m = measurements();
            std::lock_guard lock(m.lock);
            std::vector<uint64_t> v = m.latenciesUs;
            m.latenciesUs.clear();
            std::sort(v.begin(), v.end());
            const auto at = [&](double q) { return v.empty() ? 0 : v[static_cast<std::size_t>(q * (v.size() - 1))]; };
            answer("latency " + std::to_string(v.size()) + " " + std::to_string(at(0.5)) + " " +
                   std::to_string(at(0.99)) + " " + std::to_string(v.empty() ? 0 : v.back()));
        } else if (w[0] == "rate" && w.size() == 3) {
            const uint64_t expected = number(w[1]);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(number(w[2]));
            Measurements& m = measurements();
            std::unique_lock lock(m.lock);
            m.expected = static_cast<uint32_t>(expected);
            while (m.sequenceCount < expected && std::chrono::steady_clock::now() < deadline) {
                const uint32_t before = m.sequenceCount;
                m.arrived.wait_for(lock, std::chrono::seconds(2), [&] { return m.sequenceCount >= expected; });
                if (m.sequenceCount == before) break;  // nothing more is coming
            }
            answer("rate " + std::to_string(m.sequenceCount) + " " + (m.inOrder ? "1" : "0") + " " +
                   std::to_string(m.lastArrivalUs));
            m.sequenceCount = 0;
            m.inOrder = true;
            m.expected = UINT32_MAX;
        } else if (w[0] == "poll" && !poller.joinable()) {
            poller = std::thread(pollEvents, std::cref(stopPolling));
            answer("ok");
        } else if (w[0] == "quit") {
            break;
        }
    }
    stopPolling = true;
    if (poller.joinable()) poller.join();
    Hardware_Close();
    CANopenDLL_Shutdown();
    return 0;
}
