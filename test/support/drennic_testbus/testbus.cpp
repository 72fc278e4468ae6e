#include "testbus.h"

#include "engine/engine.h"
#include "engine/library_state.h"
#include "engine/result_block.h"

#include <platform/clock.h>
#include <platform/utf16.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace drennic {

namespace {

constexpr std::size_t kReceiveCapacity = 100000;  // the oldest frames go when nobody receives
constexpr uint32_t kReceiveWaitMs = 10;
constexpr auto kDetachWaitLimit = std::chrono::seconds(10);
constexpr uint32_t kHardwareHandle = 1;
constexpr uint32_t kBuiltInNetwork = 1;

void stamp(CANFrame& frame, uint64_t us) {
    frame.timeMs = static_cast<uint32_t>(us / 1000);
    frame.timeMsOverflow = 0;
    frame.timeUs = static_cast<uint32_t>(us % 1000);
}

void stamp(CANFrame& frame) {
    stamp(frame, ostrel::platform::monotonicUs());
}

} // namespace

struct TestBus::Impl {
    struct ListenerEntry {
        ListenerId id = 0;
        Listener listener;
        int inFlight = 0;  // deliveries that hold this entry (running or about to run)
        bool detached = false;
    };
    struct Failure {
        int32_t code = 0;
        std::u16string message;
        int remaining = -1;
    };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // received queue, sent log, listener calls
    std::deque<CANFrame> received;
    std::vector<CANFrame> sentLog;
    bool selfReceive = false;
    bool wakeRequested = false;  // a Receive wait is to end now
    std::optional<Failure> failure;
    uint32_t status = 0;
    Counters counters;
    bool initialized = false;
    bool closed = false;  // Close ended the connection: nothing goes out until it is opened again
    bool errorFrames = false;
    bool oneShot = false;
    uint32_t currentNetwork = 0;
    TransmitCallback transmitCallback = nullptr;
    void* transmitUser = nullptr;
    std::vector<NetworkInfo> networks;
    uint32_t nextNetworkHandle = kBuiltInNetwork + 1;
    std::vector<std::shared_ptr<ListenerEntry>> listeners;
    ListenerId nextListenerId = 1;

    Impl() {
        NetworkInfo builtIn{};
        ostrel::platform::copyField(builtIn.name, DRN_NETWORK_NAME_CHARS, u"TestNet");
        builtIn.networkHandle = kBuiltInNetwork;
        builtIn.baudKbit = 500;
        networks.push_back(builtIn);
    }

    // Caller holds `mutex`.
    void queueReceived(const CANFrame& frame) {
        received.push_back(frame);
        if (received.size() > kReceiveCapacity) {
            received.pop_front();
        }
    }

    NetworkInfo* findNetwork(uint32_t handle) {
        const auto it = std::find_if(networks.begin(), networks.end(),
                                     [handle](const NetworkInfo& n) { return n.networkHandle == handle; });
        return it == networks.end() ? nullptr : &*it;
    }

    void deliver(const CANFrame& frame);
};

namespace {

// Listener entries whose call runs on this thread (a listener may transmit, which delivers again).
thread_local std::vector<const TestBus::Impl::ListenerEntry*> tRunningListeners;

std::mutex gInstallMutex;
std::shared_ptr<TestBus::Impl> gActiveBus;
DriverFill gReplacedFill = nullptr;

std::shared_ptr<TestBus::Impl> activeBus() {
    std::lock_guard lock(gInstallMutex);
    return gActiveBus;
}

// ---- The driver's operations over the active bus ----

void busStatus(uint32_t* status, ResultBlock* result) {
    const auto bus = activeBus();
    if (!bus) {
        return unavailableDriverOps().Status(status, result);
    }
    {
        std::lock_guard lock(bus->mutex);
        if (status != nullptr) {
            *status = bus->status;
        }
    }
    setResult(result, DRN_OK);
}

void busWakeReceive() {
    if (const auto bus = activeBus()) {
        {
            std::lock_guard lock(bus->mutex);
            bus->wakeRequested = true;
        }
        bus->changed.notify_all();
    }
}

void busReceive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result) {
    const auto bus = activeBus();
    if (!bus) {
        return unavailableDriverOps().Receive(id, length, extended, remote, errorFrame, data, timeMs,
                                              timeMsOverflow, timeUs, result);
    }
    CANFrame frame{};
    {
        std::unique_lock lock(bus->mutex);
        const bool ready = bus->changed.wait_for(lock, std::chrono::milliseconds(kReceiveWaitMs),
                                                 [&] { return !bus->received.empty() || bus->wakeRequested; });
        bus->wakeRequested = false;
        if (!ready || bus->received.empty()) {
            lock.unlock();
            setResult(result, DRN_NO_FRAME);
            return;
        }
        frame = bus->received.front();
        bus->received.pop_front();
    }
    *id = frame.id;
    *length = frame.length;
    *extended = (frame.flags & DRN_FLAG_EXTENDED) ? 1 : 0;
    *remote = (frame.flags & DRN_FLAG_REMOTE) ? 1 : 0;
    *errorFrame = (frame.flags & DRN_FLAG_ERROR) ? 1 : 0;
    std::memcpy(data, frame.data, frame.length);  // bytes behind `length` stay as the caller had them
    *timeMs = frame.timeMs;
    *timeMsOverflow = frame.timeMsOverflow;
    *timeUs = frame.timeUs;
    setResult(result, DRN_OK);
}

int32_t busInitDriver() {
    if (const auto bus = activeBus()) {
        std::lock_guard lock(bus->mutex);
        ++bus->counters.initDriver;
        bus->closed = false;
    }
    return DRN_OK;
}

void busClose() {
    const auto bus = activeBus();
    if (!bus) {
        return;
    }
    bool wasInitialized = false;
    {
        std::lock_guard lock(bus->mutex);
        ++bus->counters.close;
        wasInitialized = bus->initialized;
        bus->initialized = false;
    }
    if (wasInitialized) {
        engineStop();
        std::lock_guard lock(bus->mutex);
        bus->closed = true;
    }
}

void busCloseDriver() {
    if (const auto bus = activeBus()) {
        std::lock_guard lock(bus->mutex);
        ++bus->counters.closeDriver;
    }
    busClose();
}

int32_t busAddNetworksToHardware(uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }

void busGetCurrentTime(CANTimeStamp* time) {
    if (time == nullptr) {
        return;
    }
    CANFrame now{};
    stamp(now);
    *time = CANTimeStamp{now.timeMs, 0, now.timeUs};
}

int32_t busEnumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    if (hardware == nullptr || maxCount < 1) {
        return 0;
    }
    hardware[0] = HardwareInfo{};
    ostrel::platform::copyField(hardware[0].name, DRN_HARDWARE_NAME_CHARS, u"TestBus");
    hardware[0].hardwareHandle = kHardwareHandle;
    return 1;
}

int32_t busEnumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    const auto bus = activeBus();
    if (!bus || networks == nullptr || maxCount < 1 || hardwareHandle != kHardwareHandle) {
        return 0;
    }
    std::lock_guard lock(bus->mutex);
    const auto count = std::min<std::size_t>(static_cast<std::size_t>(maxCount), bus->networks.size());
    std::copy_n(bus->networks.begin(), count, networks);
    return static_cast<int32_t>(count);
}

int32_t busAddNetwork(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle) {
    const auto bus = activeBus();
    if (!bus || name == nullptr || baudKbit == 0 || hardwareHandle != kHardwareHandle) {
        return -1;
    }
    NetworkInfo network{};
    const std::size_t length = std::min<std::size_t>(ostrel::platform::u16len(name), DRN_NETWORK_NAME_CHARS);
    ostrel::platform::copyField(network.name, DRN_NETWORK_NAME_CHARS, std::u16string_view(name, length));
    network.baudKbit = baudKbit;
    std::lock_guard lock(bus->mutex);
    network.networkHandle = bus->nextNetworkHandle++;
    bus->networks.push_back(network);
    return static_cast<int32_t>(network.networkHandle);
}

int32_t busDeleteNetwork(uint32_t networkHandle) {
    const auto bus = activeBus();
    if (!bus) {
        return DRN_DELETE_FAILED;
    }
    std::lock_guard lock(bus->mutex);
    if (bus->initialized && bus->currentNetwork == networkHandle) {
        return DRN_NETWORK_IN_USE;
    }
    const auto it = std::find_if(bus->networks.begin(), bus->networks.end(),
                                 [networkHandle](const NetworkInfo& n) { return n.networkHandle == networkHandle; });
    if (it == bus->networks.end()) {
        return DRN_DELETE_FAILED;
    }
    bus->networks.erase(it);
    return DRN_OK;
}

int32_t busGetBaudrate(uint32_t networkHandle) {
    const auto bus = activeBus();
    if (!bus) {
        return 0;
    }
    std::lock_guard lock(bus->mutex);
    const NetworkInfo* network = bus->findNetwork(networkHandle);
    return network ? static_cast<int32_t>(network->baudKbit) : 0;
}

void busInitialize(uint32_t networkHandle, const char16_t*, uint32_t, uint32_t, ResultBlock* result) {
    const auto bus = activeBus();
    if (!bus) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    {
        std::lock_guard lock(bus->mutex);
        ++bus->counters.initialize;
        if (bus->findNetwork(networkHandle) == nullptr) {
            setResult(result, DRN_NOT_INITIALIZED, u"Failed to configure can bus");
            return;
        }
        if (bus->initialized) {
            bus->currentNetwork = networkHandle;
            setResult(result, DRN_OK);
            return;
        }
        bus->initialized = true;
        bus->closed = false;
        bus->currentNetwork = networkHandle;
    }
    if (!engineStart()) {
        std::lock_guard lock(bus->mutex);
        bus->initialized = false;
        setResult(result, DRN_NOT_INITIALIZED, u"Failed to configure can bus");
        return;
    }
    setResult(result, DRN_OK);
}

void busSwitchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    const auto bus = activeBus();
    if (!bus || (connect != 0 && connect != 1)) {
        return;
    }
    std::lock_guard lock(bus->mutex);
    if (connect == 1 && bus->findNetwork(networkHandle) == nullptr) {
        setResult(result, DRN_NOT_INITIALIZED,
                  u"Failed to connect to the network (switch network - general). Please restart the application");
        return;
    }
    bus->currentNetwork = networkHandle;
    setResult(result, DRN_OK);
}

void busReset() {
    if (const auto bus = activeBus()) {
        std::lock_guard lock(bus->mutex);
        ++bus->counters.reset;
    }
}

int32_t busErrorFrames(int32_t on) {
    const auto bus = activeBus();
    if (!bus) {
        return 0;
    }
    std::lock_guard lock(bus->mutex);
    bus->errorFrames = on != 0;
    return 1;
}

void busOneShot(int32_t on) {
    if (const auto bus = activeBus()) {
        std::lock_guard lock(bus->mutex);
        bus->oneShot = on != 0;
    }
}

void busSelfReceive(int32_t on, ResultBlock* result) {
    if (const auto bus = activeBus()) {
        std::lock_guard lock(bus->mutex);
        bus->selfReceive = on != 0;
    }
    setResult(result, DRN_OK);
}

int32_t busSelfReceiving() {
    const auto bus = activeBus();
    std::unique_lock lock = bus ? std::unique_lock(bus->mutex) : std::unique_lock<std::mutex>();
    return bus && bus->selfReceive ? 1 : 0;
}

int32_t busIsNetworkFunctional() {
    const auto bus = activeBus();
    if (!bus) {
        return 0;
    }
    std::lock_guard lock(bus->mutex);
    return bus->initialized ? 1 : 0;
}

void busTransmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                 int32_t errorFrame, ResultBlock* result) {
    const auto bus = activeBus();
    if (!bus) {
        return unavailableDriverOps().Transmit(id, length, data, extended, remote, errorFrame, result);
    }
    if (length > 8) {
        setResult(result, DRN_BAD_PARAMETERS);
        return;
    }
    CANFrame frame{};
    frame.id = id;
    frame.length = length;
    frame.flags = static_cast<uint8_t>((extended ? DRN_FLAG_EXTENDED : 0) | (remote ? DRN_FLAG_REMOTE : 0) |
                                       (errorFrame ? DRN_FLAG_ERROR : 0));
    if (data != nullptr) {
        std::memcpy(frame.data, data, length);
    }
    TransmitCallback callback = nullptr;
    void* user = nullptr;
    {
        std::unique_lock lock(bus->mutex);
        if (bus->closed) {
            lock.unlock();
            setResult(result, DRN_TRANSMIT_ERROR, u"Transmit error");
            return;
        }
        if (bus->failure) {
            const TestBus::Impl::Failure failure = *bus->failure;
            if (bus->failure->remaining > 0 && --bus->failure->remaining == 0) {
                bus->failure.reset();
            }
            lock.unlock();
            setResult(result, failure.code, failure.message);
            return;
        }
        stamp(frame);
        bus->sentLog.push_back(frame);
        if (bus->selfReceive) {
            bus->queueReceived(frame);
        }
        callback = bus->transmitCallback;
        user = bus->transmitUser;
    }
    bus->changed.notify_all();
    setResult(result, DRN_OK);
    bus->deliver(frame);
    if (callback != nullptr) {
        CANFrame untimed = frame;
        untimed.timeMs = 0;
        untimed.timeMsOverflow = 0;
        untimed.timeUs = 0;
        callback(&untimed, user);
    }
}

void busSetTransmitCallback(TransmitCallback callback, void* user) {
    if (const auto bus = activeBus()) {
        std::lock_guard lock(bus->mutex);
        bus->transmitCallback = callback;
        bus->transmitUser = user;
    }
}

void fillTestBusOps(DriverOps& ops) {
    ops = DriverOps{
        .Status = busStatus,
        .Receive = busReceive,
        .InitDriver = busInitDriver,
        .CloseDriver = busCloseDriver,
        .AddNetworksToHardware = busAddNetworksToHardware,
        .GetCurrentTime = busGetCurrentTime,
        .EnumerateHardware = busEnumerateHardware,
        .EnumerateNetworks = busEnumerateNetworks,
        .AddNetwork = busAddNetwork,
        .DeleteNetwork = busDeleteNetwork,
        .GetBaudrate = busGetBaudrate,
        .Initialize = busInitialize,
        .SwitchNetworks = busSwitchNetworks,
        .Close = busClose,
        .Reset = busReset,
        .ErrorFrames = busErrorFrames,
        .OneShot = busOneShot,
        .SelfReceive = busSelfReceive,
        .IsNetworkFunctional = busIsNetworkFunctional,
        .Transmit = busTransmit,
        .SetTransmitCallback = busSetTransmitCallback,
        .WakeReceive = busWakeReceive,
        .SelfReceiving = busSelfReceiving,
    };
}

} // namespace

void TestBus::Impl::deliver(const CANFrame& frame) {
    std::vector<std::shared_ptr<ListenerEntry>> targets;
    {
        std::lock_guard lock(mutex);
        targets = listeners;
        for (const auto& entry : targets) {
            ++entry->inFlight;
        }
    }
    for (const auto& entry : targets) {
        bool call = false;
        {
            std::lock_guard lock(mutex);
            call = !entry->detached;
        }
        if (call) {
            tRunningListeners.push_back(entry.get());
            try {
                entry->listener(frame);
            } catch (...) {
                // A failing device must not take the transmitting thread down.
            }
            tRunningListeners.pop_back();
        }
        {
            std::lock_guard lock(mutex);
            --entry->inFlight;
        }
        changed.notify_all();
    }
}

TestBus::TestBus() : impl_(std::make_shared<Impl>()) {
    std::lock_guard lock(gInstallMutex);
    if (gActiveBus) {
        throw std::logic_error("only one TestBus may exist at a time");
    }
    gActiveBus = impl_;
    gReplacedFill = replaceDriverFill(DriverKind::ServerClient, fillTestBusOps);
}

TestBus::~TestBus() {
    const auto driver = currentDriver();
    if (driver && driver->ops.Transmit == busTransmit) {
        stopLibrary();
    }
    std::lock_guard lock(gInstallMutex);
    (void)replaceDriverFill(DriverKind::ServerClient, gReplacedFill);
    gReplacedFill = nullptr;
    gActiveBus.reset();
}

TestBus::ListenerId TestBus::attach(Listener listener) {
    auto entry = std::make_shared<Impl::ListenerEntry>();
    entry->listener = std::move(listener);
    std::lock_guard lock(impl_->mutex);
    entry->id = impl_->nextListenerId++;
    impl_->listeners.push_back(entry);
    return entry->id;
}

void TestBus::detach(ListenerId id) {
    std::unique_lock lock(impl_->mutex);
    auto& listeners = impl_->listeners;
    const auto it = std::find_if(listeners.begin(), listeners.end(), [id](const auto& e) { return e->id == id; });
    if (it == listeners.end()) {
        return;
    }
    const std::shared_ptr<Impl::ListenerEntry> entry = *it;
    listeners.erase(it);
    entry->detached = true;
    // Calls of this listener that run on this very thread (it detaches itself) cannot be waited for.
    const auto own = std::count(tRunningListeners.begin(), tRunningListeners.end(), entry.get());
    (void)impl_->changed.wait_for(lock, kDetachWaitLimit, [&] { return entry->inFlight <= own; });
}

void TestBus::inject(const CANFrame& frame) {
    inject(frame, ostrel::platform::monotonicUs());
}

void TestBus::inject(const CANFrame& frame, uint64_t atUs) {
    CANFrame arrived = frame;
    arrived.length = std::min<uint8_t>(arrived.length, 8);
    stamp(arrived, atUs);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->queueReceived(arrived);
    }
    impl_->changed.notify_all();
}

std::vector<CANFrame> TestBus::sent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->sentLog;
}

void TestBus::clearSent() {
    std::lock_guard lock(impl_->mutex);
    impl_->sentLog.clear();
}

bool TestBus::waitForSent(std::size_t count, uint32_t timeoutMs) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->sentLog.size() >= count; });
}

std::size_t TestBus::pendingReceive() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received.size();
}

void TestBus::setSelfReceive(bool on) {
    std::lock_guard lock(impl_->mutex);
    impl_->selfReceive = on;
}

bool TestBus::selfReceive() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->selfReceive;
}

void TestBus::setTransmitFailure(int32_t code, std::u16string_view message, int count) {
    std::lock_guard lock(impl_->mutex);
    if (count == 0) {
        impl_->failure.reset();
        return;
    }
    impl_->failure = Impl::Failure{code, std::u16string(message), count};
}

void TestBus::clearTransmitFailure() {
    std::lock_guard lock(impl_->mutex);
    impl_->failure.reset();
}

void TestBus::setStatus(uint32_t status) {
    std::lock_guard lock(impl_->mutex);
    impl_->status = status;
}

TestBus::Counters TestBus::counters() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->counters;
}

uint32_t TestBus::currentNetwork() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->currentNetwork;
}

uint32_t TestBus::currentBaudKbit() const {
    std::lock_guard lock(impl_->mutex);
    const NetworkInfo* network = impl_->currentNetwork != 0 ? impl_->findNetwork(impl_->currentNetwork) : nullptr;
    return network != nullptr ? network->baudKbit : 0;
}

bool TestBus::initialized() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->initialized;
}

bool TestBus::errorFrames() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->errorFrames;
}

bool TestBus::oneShot() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->oneShot;
}

} // namespace drennic
