#include "simbus_control.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace ostrel::simbus {
namespace {

constexpr std::size_t kSentCapacity = 100000;
constexpr std::size_t kJournalCapacity = 10000;
constexpr auto kDeliveryEndWait = std::chrono::seconds(10);
constexpr const char* kPluginVariable = "OSTREL_SIMBUS_PLUGIN";
constexpr const char* kPluginEntry = "ostrel_simbus_plugin_attach";

struct Port {
    std::string library;
    uint32_t hardware = 0;
    uint32_t line = 0;
    std::shared_ptr<const Receiver> receiver;
};

struct Device {
    uint32_t line = 0;
    std::shared_ptr<const DeviceListener> listener;
};

struct Delivery {
    uint64_t source = 0;  // the port or device that sent it
    uint32_t line = 0;
    Frame frame;
    uint64_t timeUs = 0;
};

struct LibraryEntry {
    std::vector<HardwareEntry> defaults;
    std::shared_ptr<const std::function<void()>> resetState;
};

// The one bus of the process. Ports and devices share one id counter, so an id names either.
struct BusState {
    std::mutex mutex;
    std::condition_variable changed;  // a delivery ended, a frame was sent
    uint64_t nextId = 1;
    std::map<uint64_t, Port> ports;
    std::map<uint64_t, Device> devices;
    std::deque<Delivery> queue;
    bool draining = false;
    std::thread::id drainer;
    uint64_t deliveringTo = 0;  // the receiver running now (one drainer at a time), 0 for none

    std::map<std::string, LibraryEntry, std::less<>> libraries;
    std::map<std::string, std::vector<HardwareEntry>, std::less<>> hardwareOverrides;
    std::map<std::pair<std::string, uint32_t>, uint32_t> statuses;
    std::vector<Fault> faults;
    std::size_t faultsTaken = 0;
    std::map<std::string, std::deque<std::string>, std::less<>> journals;
    std::deque<SentFrame> sent;

    // Held while the libraries' reset functions run, so that a library cannot withdraw (and be
    // unloaded) in the middle of its reset.
    std::mutex resetMutex;
    std::once_flag pluginOnce;
};

BusState& bus() {
    static BusState instance;
    return instance;
}

void loadPlugin() {
    const char* path = std::getenv(kPluginVariable);
    if (path == nullptr || *path == '\0') {
        return;
    }
    // Never unloaded: its devices live until the process ends.
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "simbus: cannot load plugin %s: %s\n", path, dlerror());
        return;
    }
    void* entry = dlsym(handle, kPluginEntry);
    if (entry == nullptr) {
        std::fprintf(stderr, "simbus: plugin %s has no %s\n", path, kPluginEntry);
        return;
    }
    reinterpret_cast<void (*)()>(entry)();
}

// Hands every queued frame to its receivers; the caller holds the lock and nobody drains.
void drain(BusState& s, std::unique_lock<std::mutex>& lock) {
    s.draining = true;
    s.drainer = std::this_thread::get_id();
    struct EndDrain {
        BusState& s;
        std::unique_lock<std::mutex>& lock;
        ~EndDrain() {
            if (!lock.owns_lock()) {
                lock.lock();
            }
            s.deliveringTo = 0;
            s.draining = false;
            s.drainer = {};
            s.changed.notify_all();
        }
    } endDrain{s, lock};

    while (!s.queue.empty()) {
        const Delivery delivery = s.queue.front();
        s.queue.pop_front();
        std::vector<uint64_t> targets;
        for (const auto& [id, port] : s.ports) {
            if (id != delivery.source && port.line == delivery.line) {
                targets.push_back(id);
            }
        }
        for (const auto& [id, device] : s.devices) {
            if (id != delivery.source && device.line == delivery.line) {
                targets.push_back(id);
            }
        }
        for (uint64_t target : targets) {
            // A receiver closed by an earlier receiver of this frame is skipped.
            std::shared_ptr<const Receiver> receiver;
            std::shared_ptr<const DeviceListener> listener;
            if (auto port = s.ports.find(target); port != s.ports.end()) {
                receiver = port->second.receiver;
            } else if (auto device = s.devices.find(target); device != s.devices.end()) {
                listener = device->second.listener;
            } else {
                continue;
            }
            s.deliveringTo = target;
            lock.unlock();
            if (receiver) {
                (*receiver)(delivery.frame, delivery.timeUs);
            } else {
                (*listener)(delivery.frame, delivery.timeUs);
            }
            lock.lock();
            s.deliveringTo = 0;
            s.changed.notify_all();
        }
    }
}

void enqueue(BusState& s, std::unique_lock<std::mutex>& lock, Delivery delivery) {
    s.queue.push_back(delivery);
    if (!s.draining) {
        drain(s, lock);
    }
}

// After a receiver has been removed: waits until it no longer runs, unless the caller is the
// delivering thread itself (then it is inside that receiver or beyond it).
bool waitUntilNotDelivering(BusState& s, std::unique_lock<std::mutex>& lock, uint64_t id) {
    if (s.draining && s.drainer == std::this_thread::get_id()) {
        return true;
    }
    return s.changed.wait_for(lock, kDeliveryEndWait, [&] { return s.deliveringTo != id; });
}

} // namespace

bool operator==(const Frame& a, const Frame& b) {
    if (a.id != b.id || a.length != b.length || a.extended != b.extended || a.remote != b.remote ||
        a.error != b.error) {
        return false;
    }
    const std::size_t n = std::min<std::size_t>(a.length, 8);
    return a.remote || std::memcmp(a.data, b.data, n) == 0;
}

uint64_t nowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void registerLibrary(std::string_view library, std::vector<HardwareEntry> defaultHardware,
                     std::function<void()> resetState) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    LibraryEntry entry;
    entry.defaults = std::move(defaultHardware);
    if (resetState) {
        entry.resetState = std::make_shared<const std::function<void()>>(std::move(resetState));
    }
    s.libraries.insert_or_assign(std::string(library), std::move(entry));
}

void unregisterLibrary(std::string_view library) {
    BusState& s = bus();
    std::lock_guard resetting(s.resetMutex);
    std::lock_guard lock(s.mutex);
    if (auto it = s.libraries.find(library); it != s.libraries.end()) {
        s.libraries.erase(it);
    }
}

std::vector<HardwareEntry> hardware(std::string_view library) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    if (auto it = s.hardwareOverrides.find(library); it != s.hardwareOverrides.end()) {
        return it->second;
    }
    if (auto it = s.libraries.find(library); it != s.libraries.end()) {
        return it->second.defaults;
    }
    return {};
}

std::optional<HardwareEntry> findHardware(std::string_view library, uint32_t handle) {
    for (HardwareEntry& entry : hardware(library)) {
        if (entry.handle == handle) {
            return std::move(entry);
        }
    }
    return std::nullopt;
}

uint32_t hardwareStatus(std::string_view library, uint32_t handle) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    auto it = s.statuses.find({std::string(library), handle});
    return it == s.statuses.end() ? 0 : it->second;
}

void setHardwareStatus(std::string_view library, uint32_t handle, uint32_t status) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    s.statuses[{std::string(library), handle}] = status;
}

std::optional<int32_t> takeFault(std::string_view library, std::string_view function, uint32_t detail) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    std::optional<int32_t> result;
    // Every matching fault counts the call; the first one due fires.
    for (Fault& fault : s.faults) {
        if (fault.count == 0 || fault.library != library || fault.function != function) {
            continue;
        }
        if (fault.detail && *fault.detail != detail) {
            continue;
        }
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (!result) {
            result = fault.result;
            if (fault.count > 0) {
                --fault.count;
            }
        }
    }
    std::erase_if(s.faults, [](const Fault& fault) { return fault.count == 0; });
    if (result) {
        ++s.faultsTaken;
    }
    return result;
}

void record(std::string_view library, std::string text) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    auto it = s.journals.find(library);
    if (it == s.journals.end()) {
        it = s.journals.emplace(std::string(library), std::deque<std::string>{}).first;
    }
    it->second.push_back(std::move(text));
    if (it->second.size() > kJournalCapacity) {
        it->second.pop_front();
    }
}

PortId openPort(std::string_view library, uint32_t hardwareHandle, Receiver receiver) {
    BusState& s = bus();
    std::call_once(s.pluginOnce, loadPlugin);
    const std::optional<HardwareEntry> entry = findHardware(library, hardwareHandle);
    std::lock_guard lock(s.mutex);
    const PortId id = s.nextId++;
    Port port;
    port.library = std::string(library);
    port.hardware = hardwareHandle;
    port.line = entry ? entry->line : 0;
    port.receiver = std::make_shared<const Receiver>(std::move(receiver));
    s.ports.emplace(id, std::move(port));
    return id;
}

bool closePort(PortId port) {
    BusState& s = bus();
    std::unique_lock lock(s.mutex);
    if (s.ports.erase(port) == 0) {
        return true;
    }
    return waitUntilNotDelivering(s, lock, port);
}

uint64_t transmit(PortId port, const Frame& frame) {
    BusState& s = bus();
    std::unique_lock lock(s.mutex);
    auto it = s.ports.find(port);
    if (it == s.ports.end()) {
        return 0;
    }
    Delivery delivery;
    delivery.source = port;
    delivery.line = it->second.line;
    delivery.frame = frame;
    delivery.timeUs = nowUs();

    SentFrame sent;
    sent.frame = frame;
    sent.timeUs = delivery.timeUs;
    sent.library = it->second.library;
    sent.hardware = it->second.hardware;
    sent.line = it->second.line;
    s.sent.push_back(std::move(sent));
    if (s.sent.size() > kSentCapacity) {
        s.sent.pop_front();
    }
    s.changed.notify_all();

    enqueue(s, lock, delivery);
    return delivery.timeUs;
}

// ---- control -------------------------------------------------------------------------------------

void reset() {
    BusState& s = bus();
    {
        std::unique_lock lock(s.mutex);
        std::vector<uint64_t> removed;
        for (const auto& entry : s.devices) {
            removed.push_back(entry.first);
        }
        s.devices.clear();
        s.queue.clear();
        s.hardwareOverrides.clear();
        s.statuses.clear();
        s.faults.clear();
        s.faultsTaken = 0;
        s.sent.clear();
        for (uint64_t id : removed) {
            (void)waitUntilNotDelivering(s, lock, id);
        }
    }
    // The libraries forget their state outside the bus lock: they close their ports on the way.
    std::lock_guard resetting(s.resetMutex);
    std::vector<std::shared_ptr<const std::function<void()>>> resets;
    {
        std::lock_guard lock(s.mutex);
        for (const auto& entry : s.libraries) {
            if (entry.second.resetState) {
                resets.push_back(entry.second.resetState);
            }
        }
    }
    for (const auto& resetState : resets) {
        (*resetState)();
    }
    std::lock_guard lock(s.mutex);
    s.journals.clear();
}

void setHardware(std::string_view library, std::vector<HardwareEntry> list) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    s.hardwareOverrides.insert_or_assign(std::string(library), std::move(list));
}

void clearHardware(std::string_view library) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    if (auto it = s.hardwareOverrides.find(library); it != s.hardwareOverrides.end()) {
        s.hardwareOverrides.erase(it);
    }
}

void addFault(Fault fault) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    if (fault.count != 0) {
        s.faults.push_back(std::move(fault));
    }
}

void clearFaults() {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    s.faults.clear();
}

std::size_t faultsTaken() {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    return s.faultsTaken;
}

std::vector<std::string> journal(std::string_view library) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    auto it = s.journals.find(library);
    if (it == s.journals.end()) {
        return {};
    }
    return {it->second.begin(), it->second.end()};
}

void clearJournal() {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    s.journals.clear();
}

DeviceId attachDevice(DeviceListener listener, uint32_t line) {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    const DeviceId id = s.nextId++;
    Device device;
    device.line = line;
    device.listener = std::make_shared<const DeviceListener>(std::move(listener));
    s.devices.emplace(id, std::move(device));
    return id;
}

void detachDevice(DeviceId device) {
    BusState& s = bus();
    std::unique_lock lock(s.mutex);
    if (s.devices.erase(device) != 0) {
        (void)waitUntilNotDelivering(s, lock, device);
    }
}

uint64_t inject(DeviceId device, const Frame& frame, std::optional<uint64_t> timeUs) {
    BusState& s = bus();
    std::unique_lock lock(s.mutex);
    auto it = s.devices.find(device);
    if (it == s.devices.end()) {
        return 0;
    }
    Delivery delivery;
    delivery.source = device;
    delivery.line = it->second.line;
    delivery.frame = frame;
    delivery.timeUs = timeUs ? *timeUs : nowUs();
    enqueue(s, lock, delivery);
    return delivery.timeUs;
}

AttachedDevice::AttachedDevice(DeviceListener listener, uint32_t line)
    : id_(attachDevice(std::move(listener), line)) {}

AttachedDevice::~AttachedDevice() { detachDevice(id_); }

uint64_t AttachedDevice::inject(const Frame& frame, std::optional<uint64_t> timeUs) const {
    return simbus::inject(id_, frame, timeUs);
}

std::vector<SentFrame> sentFrames() {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    return {s.sent.begin(), s.sent.end()};
}

void clearSentFrames() {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    s.sent.clear();
}

bool waitForSent(std::size_t count, uint32_t timeoutMs) {
    BusState& s = bus();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.sent.size() >= count; });
}

std::size_t openPortCount() {
    BusState& s = bus();
    std::lock_guard lock(s.mutex);
    return s.ports.size();
}

} // namespace ostrel::simbus
