// What the protocol fuzz targets share: the library on the in-process test bus with a log of what the
// engine handled, sent and completed, in one order.
#pragma once

#include "fuzz_script.h"

#include "engine/library_state.h"
#include "testbus.h"

#include <drennic/drennic.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::fuzz {

inline std::string narrow(const ResultBlock& result) {
    std::string text;
    for (std::size_t i = 0; i < DRN_MESSAGE_CHARS && result.message[i] != 0; ++i) {
        text.push_back(result.message[i] < 0x80 ? static_cast<char>(result.message[i]) : '?');
    }
    return text;
}

inline uint32_t le32(const uint8_t* d) {
    return uint32_t{d[0]} | (uint32_t{d[1]} << 8) | (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24);
}

inline CANFrame frame8(uint32_t id, const uint8_t* data, uint8_t flags = 0) {
    CANFrame f{};
    f.id = id;
    f.length = 8;
    f.flags = flags;
    std::memcpy(f.data, data, 8);
    return f;
}

// Everything the engine did with the bus, in the order it happened: frames the devices put on the bus
// (injected), frames the engine took from it and handed to the receive callback (handled, with the
// callback's answersRequest), frames the library sent, and completions (with how many injected
// frames were still waiting then).
class EngineLog {
public:
    struct Event {
        enum Kind { Injected, Handled, Sent, Completed, Posted } kind;
        CANFrame frame{};
        int answers = 0;
        ResultBlock result{};
        std::size_t waiting = 0;  // Completed: injected frames not handled yet
        std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
    };

    void injected(const CANFrame& frame) { add({Event::Injected, frame}); }
    void handled(const CANFrame& frame, int answers) {
        Event e{Event::Handled, frame};
        e.answers = answers;
        add(e);
    }
    void sent(const CANFrame& frame) { add({Event::Sent, frame}); }
    void posted() { add({Event::Posted}); }
    void completed(const ResultBlock& result) {
        Event e{Event::Completed};
        e.result = result;
        std::lock_guard lock(mutex_);
        e.waiting = injectedCount_ - handledCount_;
        events_.push_back(e);
        ++completions_;
        changed_.notify_all();
    }

    [[nodiscard]] std::size_t size() {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    [[nodiscard]] std::vector<Event> since(std::size_t from) {
        std::lock_guard lock(mutex_);
        return std::vector<Event>(events_.begin() + static_cast<std::ptrdiff_t>(std::min(from, events_.size())),
                                  events_.end());
    }
    [[nodiscard]] int completions() {
        std::lock_guard lock(mutex_);
        return completions_;
    }
    // Waits until `count` completions have come; false after `limit`.
    [[nodiscard]] bool awaitCompletions(int count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return completions_ >= count; });
    }
    // Waits until the engine has handled every injected frame; false after `limit`.
    [[nodiscard]] bool awaitDrained(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return handledCount_ == injectedCount_; });
    }

    static void onReceive(const CANFrame* frame, int32_t answers, void* user) {
        static_cast<EngineLog*>(user)->handled(*frame, answers);
    }

private:
    void add(const Event& e) {
        std::lock_guard lock(mutex_);
        events_.push_back(e);
        injectedCount_ += e.kind == Event::Injected ? 1 : 0;
        handledCount_ += e.kind == Event::Handled ? 1 : 0;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    // A deque: it grows without moving what it holds, so the engine's thread never waits for a copy.
    std::deque<Event> events_;
    std::size_t injectedCount_ = 0;
    std::size_t handledCount_ = 0;
    int completions_ = 0;
};

// The library started on a fresh test bus in mode 1, its engine running, no post-transmit pause; every
// frame it receives and sends goes to the log. Gone with everything it started at the end of an input.
class EngineScene {
public:
    explicit EngineScene(bool selfReceive = false) {
        drennic::resetLibraryState();
        bus_ = std::make_unique<drennic::TestBus>();
        bus_->setSelfReceive(selfReceive);
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
        // With self-reception each frame sent comes back as one received: it is waiting for the engine too.
        listener_ = bus_->attach([this, selfReceive](const CANFrame& f) {
            log_.sent(f);
            if (selfReceive) log_.injected(f);
        });
        ResultBlock result{};
        Hardware_Initialize(1, u"fuzz", 0, 0, &result);
        FUZZ_CHECK(result.code == DRN_OK, "the test bus did not start: %d %s", result.code, narrow(result).c_str());
        Event_Receive(&EngineLog::onReceive, &log_);
        // The engine's loop waits up to 10 ms for a frame before it looks at its clock again, so a
        // step or time-out of a few ms would take 10: a busy bus wakes it far more often.
        if (const auto driver = drennic::currentDriver(); driver && driver->ops.WakeReceive != nullptr) {
            ticker_ = std::thread([this, wake = driver->ops.WakeReceive] {
                std::unique_lock lock(tickerMutex_);
                while (!tickerStop_) {
                    tickerChanged_.wait_for(lock, kTickEvery, [this] { return tickerStop_; });
                    wake();
                }
            });
        }
    }
    ~EngineScene() {
        {
            std::lock_guard lock(tickerMutex_);
            tickerStop_ = true;
        }
        tickerChanged_.notify_all();
        if (ticker_.joinable()) ticker_.join();
        Hardware_Close();
        CANopenDLL_Shutdown();
        bus_->detach(listener_);
        bus_.reset();
        drennic::resetLibraryState();
    }
    EngineScene(const EngineScene&) = delete;
    EngineScene& operator=(const EngineScene&) = delete;

    [[nodiscard]] drennic::TestBus& bus() { return *bus_; }
    [[nodiscard]] EngineLog& log() { return log_; }
    // A frame from a device: logged, then queued for the engine.
    void inject(const CANFrame& frame) {
        log_.injected(frame);
        bus_->inject(frame);
    }

private:
    static constexpr auto kTickEvery = std::chrono::microseconds(500);
    EngineLog log_;
    std::unique_ptr<drennic::TestBus> bus_;
    std::thread ticker_;
    std::mutex tickerMutex_;
    std::condition_variable tickerChanged_;
    bool tickerStop_ = false;
    drennic::TestBus::ListenerId listener_ = 0;
};

// A request's completion, handed to the engine as CompletionCallback.
inline void logCompletion(ResultBlock* result, void* user) { static_cast<EngineLog*>(user)->completed(*result); }

} // namespace ostrel::fuzz
