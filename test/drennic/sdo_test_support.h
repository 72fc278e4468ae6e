// Scene of the SDO tests: the library on the in-process test bus with the engine running, simulated
// devices from the fixtures, blocking upload and download on top of the asynchronous exports, and a
// scripted peer for answers no well-behaved device gives.
#pragma once

#include "library_fixture.h"

#include "testbus.h"
#include "testbus_devices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace drennic::test {

inline constexpr auto kCompletionWait = std::chrono::seconds(60);

// What a request's callbacks reported.
struct Completion {
    std::mutex mutex;
    std::condition_variable changed;
    int completions = 0;
    ResultBlock result{};
    std::vector<float> progress;

    static void onComplete(ResultBlock* result, void* user) {
        auto* self = static_cast<Completion*>(user);
        {
            std::lock_guard lock(self->mutex);
            self->result = *result;
            ++self->completions;
        }
        self->changed.notify_all();
    }
    static void onProgress(float percent, void* user) {
        auto* self = static_cast<Completion*>(user);
        std::lock_guard lock(self->mutex);
        self->progress.push_back(percent);
    }
    [[nodiscard]] bool wait(std::chrono::milliseconds timeout = kCompletionWait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return completions > 0; });
    }
};

struct Outcome {
    int32_t code = 1;  // 1: no completion came
    std::u16string message;
    std::vector<uint8_t> data;  // upload: the bytes the size word reports
    uint32_t sizeWord = 0;
    std::vector<float> progress;
    int completions = 0;
};

// Uploads into a buffer of exactly `capacity` bytes (a sanitizer sees any write beyond it).
inline Outcome uploadBlocking(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t capacity) {
    auto buffer = std::make_unique<uint8_t[]>(capacity == 0 ? 1 : capacity);
    uint32_t size = capacity;
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(node, index, subIndex, capacity == 0 ? nullptr : buffer.get(), &size, Completion::onProgress,
                      Completion::onComplete, &completion, &out);
    Outcome outcome;
    if (out != DRN_OK) {
        outcome.code = out;
        return outcome;
    }
    if (!completion.wait()) {
        ADD_FAILURE() << "no completion";
        CANopen_Cancel();
        (void)completion.wait();
    }
    std::lock_guard lock(completion.mutex);
    outcome.code = completion.result.code;
    outcome.message = messageOf(completion.result);
    outcome.sizeWord = size;
    outcome.data.assign(buffer.get(), buffer.get() + std::min(size, capacity));
    outcome.progress = completion.progress;
    outcome.completions = completion.completions;
    return outcome;
}

inline Outcome downloadBlocking(uint8_t node, uint16_t index, uint8_t subIndex, const std::vector<uint8_t>& data) {
    Completion completion;
    int32_t out = -99;
    CANopen_SDODownload(node, index, subIndex, data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()),
                        Completion::onProgress, Completion::onComplete, &completion, &out);
    Outcome outcome;
    if (out != DRN_OK) {
        outcome.code = out;
        return outcome;
    }
    if (!completion.wait()) {
        ADD_FAILURE() << "no completion";
        CANopen_Cancel();
        (void)completion.wait();
    }
    std::lock_guard lock(completion.mutex);
    outcome.code = completion.result.code;
    outcome.message = messageOf(completion.result);
    outcome.progress = completion.progress;
    outcome.completions = completion.completions;
    return outcome;
}

inline std::vector<uint8_t> pattern(std::size_t size, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

inline std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The SDO frames the library sent to `id`.
inline std::vector<CANFrame> sentTo(const TestBus& bus, uint32_t id) {
    std::vector<CANFrame> frames;
    for (const CANFrame& f : bus.sent()) {
        if (f.id == id) frames.push_back(f);
    }
    return frames;
}

inline uint32_t le32(const uint8_t* d) {
    return uint32_t{d[0]} | (uint32_t{d[1]} << 8) | (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24);
}

// Abort frames (0x80) the library sent to `id`, by abort code.
inline std::vector<uint32_t> abortsSentTo(const TestBus& bus, uint32_t id) {
    std::vector<uint32_t> codes;
    for (const CANFrame& f : sentTo(bus, id)) {
        if (f.length == 8 && f.data[0] == 0x80) codes.push_back(le32(f.data + 4));
    }
    return codes;
}

// The fixture's simulated devices on the test bus, like ostrel::fixtures::TestBusDevices, with a
// filter that can keep chosen frames of the library from reaching them (a frame lost on the bus).
class FilteringDevices {
public:
    using Filter = std::function<bool(const CANFrame&)>;  // true: the frame is lost

    explicit FilteringDevices(TestBus& bus) : bus_(bus) {
        devices_.setSink([this](const ostrel::fixtures::SimFrame& frame, uint64_t) {
            bus_.inject(ostrel::fixtures::toCanFrame(frame));
        });
        listener_ = bus_.attach([this](const CANFrame& frame) {
            if (lost(frame)) return;
            devices_.send(ostrel::fixtures::toSimFrame(frame), ostrel::fixtures::NodeRunner::monotonicUs());
        });
    }
    ~FilteringDevices() {
        runner_.reset();
        bus_.detach(listener_);
    }
    FilteringDevices(const FilteringDevices&) = delete;
    FilteringDevices& operator=(const FilteringDevices&) = delete;

    [[nodiscard]] ostrel::fixtures::SimBus& bus() noexcept { return devices_; }
    void start() {
        devices_.powerOnAll(ostrel::fixtures::NodeRunner::monotonicUs());
        runner_ = std::make_unique<ostrel::fixtures::NodeRunner>(devices_);
    }
    void setFilter(Filter filter) {
        std::lock_guard lock(mutex_);
        filter_ = std::move(filter);
    }

private:
    [[nodiscard]] bool lost(const CANFrame& frame) {
        std::lock_guard lock(mutex_);
        return filter_ && filter_(frame);
    }

    TestBus& bus_;
    ostrel::fixtures::SimBus devices_;
    TestBus::ListenerId listener_ = 0;
    std::mutex mutex_;
    Filter filter_;
    std::unique_ptr<ostrel::fixtures::NodeRunner> runner_;
};

// The library started on the test bus, hardware initialised, nothing on the bus yet.
class EngineOnTestBus : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        bus = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
    }
    void initialize() {
        ResultBlock result{};
        Hardware_Initialize(1, u"sdo test", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK);
    }
    void TearDown() override {
        Hardware_Close();
        devices.reset();
        CANopenDLL_Shutdown();
        bus.reset();
        DrennicLibrary::TearDown();
    }

    std::unique_ptr<TestBus> bus;
    std::unique_ptr<FilteringDevices> devices;
};

// A simulated node with the "full" profile plus a large DOMAIN object 0x2100 for transfers.
class SdoWithNode : public EngineOnTestBus {
protected:
    static constexpr uint8_t kNode = 5;
    static constexpr uint16_t kBigObject = 0x2100;
    static constexpr uint32_t kBigCapacity = 256 * 1024;

    void SetUp() override {
        EngineOnTestBus::SetUp();
        devices = std::make_unique<FilteringDevices>(*bus);
        ostrel::fixtures::SimNodeConfig config;
        config.nodeId = kNode;
        config.sendBootUp = false;
        auto dictionary = ostrel::fixtures::SimObjectDictionary::fullProfile();
        dictionary.addBytes(kBigObject, 0, "Transfer test domain", ostrel::fixtures::SimDataType::Domain,
                            ostrel::fixtures::SimAccess::ReadWrite, {}, kBigCapacity);
        node = &devices->bus().addNode(config, std::move(dictionary));
        devices->start();
        initialize();
    }

    ostrel::fixtures::SimNode* node = nullptr;
};

// Answers the library's frames on `requestId` with whatever the script returns (injected on the bus).
class ScriptedPeer {
public:
    using Script = std::function<std::vector<CANFrame>(const CANFrame& request)>;

    ScriptedPeer(TestBus& bus, uint32_t requestId, Script script) : bus_(bus) {
        id_ = bus_.attach([this, requestId, script = std::move(script)](const CANFrame& frame) {
            if (frame.id != requestId) return;
            for (const CANFrame& answer : script(frame)) bus_.inject(answer);
        });
    }
    ~ScriptedPeer() { bus_.detach(id_); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

private:
    TestBus& bus_;
    TestBus::ListenerId id_ = 0;
};

inline CANFrame sdoFrame(uint32_t id, std::array<uint8_t, 8> d) {
    CANFrame frame{};
    frame.id = id;
    frame.length = 8;
    std::copy(d.begin(), d.end(), frame.data);
    return frame;
}

} // namespace drennic::test
