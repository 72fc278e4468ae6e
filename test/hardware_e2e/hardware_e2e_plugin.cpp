// A device plugin for the CAN server's simulated interface: one CANopen device of the fixtures on
// the wire of the first Kobalapi2 hardware, and a way for a test outside the server's process to
// change that hardware's status.
//
//   OSTREL_HWE2E_NODE_ID      node-id of the device (default 5)
//   OSTREL_HWE2E_DEVICE_LOG   file that gets "<id> <timeUs>" for every frame the device sends
//   OSTREL_HWE2E_STATUS_FILE  file holding a decimal status word; each new value is set as the
//                             status of Kobalapi2 hardware 1
#include <simbus/simbus_control.h>

#include <sim_bus.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace fx = ostrel::fixtures;
namespace sb = ostrel::simbus;

constexpr const char* kStatusLibrary = "kobalapi2";
constexpr uint32_t kStatusHardware = 1;
constexpr auto kStatusPollPeriod = std::chrono::milliseconds(10);
constexpr uint8_t kDefaultNodeId = 5;
constexpr uint64_t kResponseLatencyUs = 1500;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

template <typename Number>
std::optional<Number> parseNumber(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

fx::SimFrame toSimFrame(const sb::Frame& frame) {
    fx::SimFrame sim;
    sim.id = frame.id;
    sim.len = frame.length;
    sim.rtr = frame.remote;
    sim.ext = frame.extended;
    std::memcpy(sim.data, frame.data, sizeof sim.data);
    return sim;
}

sb::Frame fromSimFrame(const fx::SimFrame& sim) {
    sb::Frame frame;
    frame.id = sim.id;
    frame.length = sim.len;
    frame.remote = sim.rtr;
    frame.extended = sim.ext;
    std::memcpy(frame.data, sim.data, sizeof frame.data);
    return frame;
}

// Lines written whole and flushed at once, so that a test reading the file meanwhile sees them.
class FrameLog {
public:
    explicit FrameLog(const std::string& path) : file_(path.empty() ? nullptr : std::fopen(path.c_str(), "a")) {}
    ~FrameLog() {
        if (file_ != nullptr) std::fclose(file_);
    }
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    void add(uint32_t id, uint64_t timeUs) {
        if (file_ == nullptr) return;
        std::lock_guard lock(mutex_);
        std::fprintf(file_, "%lu %llu\n", static_cast<unsigned long>(id), static_cast<unsigned long long>(timeUs));
        std::fflush(file_);
    }

private:
    std::mutex mutex_;
    std::FILE* file_;
};

// The node on the simulated wire: frames of the wire reach it, its frames go out with its own stamps.
class Device {
public:
    explicit Device(fx::SimNodeConfig config) : log_(environment("OSTREL_HWE2E_DEVICE_LOG")) {
        (void)nodes_.addNode(config);
        // Injecting through a detached id sends nothing, so the sink needs no lock.
        nodes_.setSink([this](const fx::SimFrame& frame, uint64_t timeUs) {
            const uint64_t stamp = sb::inject(deviceId_.load(), fromSimFrame(frame), timeUs);
            if (stamp != 0) log_.add(frame.id, stamp);
        });
        deviceId_ = sb::attachDevice([this](const sb::Frame& frame, uint64_t timeUs) {
            if (!frame.error) nodes_.send(toSimFrame(frame), timeUs);
        });
        nodes_.powerOnAll(sb::nowUs());
        runner_ = std::make_unique<fx::NodeRunner>(nodes_);
    }
    ~Device() {
        runner_.reset();
        sb::detachDevice(deviceId_.exchange(0));
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

private:
    FrameLog log_;
    fx::SimBus nodes_;
    std::atomic<sb::DeviceId> deviceId_{0};
    std::unique_ptr<fx::NodeRunner> runner_;
};

// Sets each new value of the status file as the hardware's status word.
class StatusKnob {
public:
    explicit StatusKnob(std::string path) : path_(std::move(path)) {
        if (!path_.empty()) thread_ = std::thread([this] { run(); });
    }
    ~StatusKnob() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    StatusKnob(const StatusKnob&) = delete;
    StatusKnob& operator=(const StatusKnob&) = delete;

private:
    void run() {
        std::optional<uint32_t> applied;
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, kStatusPollPeriod, [this] { return stop_; })) {
            std::ifstream in(path_);
            std::string text;
            if (!std::getline(in, text)) continue;
            const auto status = parseNumber<uint32_t>(text);
            if (!status || status == applied) continue;
            sb::setHardwareStatus(kStatusLibrary, kStatusHardware, *status);
            applied = status;
        }
    }

    const std::string path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

extern "C" __attribute__((visibility("default"))) void ostrel_simbus_plugin_attach() {
    fx::SimNodeConfig config;
    config.nodeId = parseNumber<uint8_t>(environment("OSTREL_HWE2E_NODE_ID")).value_or(kDefaultNodeId);
    config.responseLatencyUs = kResponseLatencyUs;
    // Both live until the process ends; their destructors stop their threads.
    static Device device(config);
    static StatusKnob knob(environment("OSTREL_HWE2E_STATUS_FILE"));
}
