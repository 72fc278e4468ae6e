// The driver for a WinCE-style CAN library (any library whose name contains "WINCE"): numbered ports
// "CAN1:".."CAN<n>:" opened with a bit rate. The network handle's high byte is the port's number
// (0: no port, nothing is sent), its low byte the rate's index. A library may lack any of the WinCE_
// functions; a call of a missing one fails as the port would.
#include "wince/wince_api.h"
#include "drivers/drivers.h"
#include "drivers/fixed_network_driver.h"
#include "engine/engine.h"

#include <platform/clock.h>

#include <atomic>
#include <chrono>

namespace drennic {
namespace {

using fixed::addNetwork;
using fixed::addNetworksToHardware;
using fixed::Baud_IndexToKbit;
using fixed::deleteNetwork;
using fixed::enumerateNetworks;
using fixed::getBaudrate;
using fixed::kCloseLockWaitMs;
using fixed::kLockWaitMs;
using fixed::oneShot;

constexpr std::u16string_view kOpenNode = u"Failed to open can node";
constexpr std::u16string_view kStartNode = u"Failed to start can node";
constexpr std::u16string_view kStopNode = u"Failed to stop can node";

constexpr int32_t kNoPort = WINCE_INVALID_PORT;

struct WinceApi {
    std::shared_ptr<const DriverBinding> binding;
    WinceOpenFn open = nullptr;
    WinceCloseFn close = nullptr;
    WinceSetReceiveEventFn setReceiveEvent = nullptr;  // resolved, not called
    WinceStartFn start = nullptr;
    WinceStopFn stop = nullptr;
    WinceTransmitFn transmit = nullptr;
    WinceReceiveFn receive = nullptr;
    WinceNumberOfInterfacesFn numberOfInterfaces = nullptr;
    WinceConfigureErrorFramesFn configureErrorFrames = nullptr;
    WinceConfigureSelfReceiveFn configureSelfReceive = nullptr;
    WinceStatusFn status = nullptr;
};

// The result of an entry point, or `missing` when the library lacks it.
template <typename Fn, typename... Args>
int32_t callPort(int32_t missing, Fn fn, Args... args) {
    return fn != nullptr ? fn(args...) : missing;
}

std::u16string portName(uint32_t interfaceNumber) { return u"CAN" + fixed::decimal(interfaceNumber) + u":"; }

class WinceDriver {
public:
    bool resolve();
    [[nodiscard]] std::shared_ptr<const WinceApi> api() const { return api_.get(); }

    void status(uint32_t* status, ResultBlock* result);
    void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                 uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result);
    [[nodiscard]] int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) const;
    void initialize(uint32_t networkHandle, uint32_t reserved, ResultBlock* result);
    void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result);
    void close();
    void reset();
    void errorFrames(int32_t on);
    void selfReceive(int32_t on, ResultBlock* result);
    [[nodiscard]] int32_t isNetworkFunctional() const { return opened_.load() && port_.load() != kNoPort ? 1 : 0; }
    [[nodiscard]] int32_t selfReceiving() const { return portOpen_.load() && selfReception_.load() ? 1 : 0; }
    void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                  int32_t errorFrame, ResultBlock* result);
    void setTransmitCallback(TransmitCallback callback, void* user) { notifier_.set(callback, user); }
    // Back to the start state (CloseDriver).
    void clear();

private:
    // Opens and starts the port of an interface; its handle, or the failing step's message. A port
    // that opened but did not start is closed again.
    struct Opened {
        int32_t port = kNoPort;
        std::u16string_view failure;
    };
    [[nodiscard]] Opened openPort(const WinceApi& api, uint32_t interfaceNumber, uint32_t rateKbit) const;
    // Stops and closes the port that is open; caller holds the hardware lock.
    void releasePortLocked(const WinceApi& api);
    void closeLocked();

    fixed::ApiHolder<WinceApi> api_;
    fixed::TransmitNotifier notifier_;

    std::mutex lifecycle_;  // serialises Initialize, SwitchNetworks and Close
    // The port of the network (kNoPort: none). After a disconnect it keeps the handle of the port that
    // was closed, so that the bus calls say "not opened" rather than pretend to send.
    std::atomic<int32_t> port_{kNoPort};
    std::atomic<bool> portOpen_{false};  // port_ is open in the library and must be closed
    // The library hands our frames back: a setting of the whole library, off when it is loaded.
    std::atomic<bool> selfReception_{false};
    std::atomic<uint32_t> interface_{0};
    std::atomic<uint32_t> rateKbit_{0};
    std::atomic<bool> opened_{false};
    std::atomic<uint32_t> reserved_{0};  // stored, not used
    // Around every call into the library's ports; holding it also means no such call is inside.
    std::timed_mutex hardwareLock_;
};

WinceDriver& driver() {
    static WinceDriver instance;
    return instance;
}

bool WinceDriver::resolve() {
    return api_.resolve([](WinceApi& api, auto take) {
        take(api.open, "WinCE_Open");
        take(api.close, "WinCE_Close");
        take(api.setReceiveEvent, "WinCE_SetReceiveEvent");
        take(api.start, "WinCE_Start");
        take(api.stop, "WinCE_Stop");
        take(api.transmit, "WinCE_Transmit");
        take(api.receive, "WinCE_Receive");
        take(api.numberOfInterfaces, "WinCE_NumberOfInterfaces");
        take(api.configureErrorFrames, "WinCE_ConfigureErrorFrames");
        take(api.configureSelfReceive, "WinCE_ConfigureSelfReceive");
        take(api.status, "WinCE_Status");
    });
}

void WinceDriver::status(uint32_t* status, ResultBlock* result) {
    if (port_.load() == kNoPort) {
        if (status != nullptr) {
            *status = 0;
        }
        setResult(result, DRN_OK);
        return;
    }
    const auto api = this->api();
    if (!opened_.load() || !api) {
        setResult(result, DRN_NOT_INITIALIZED);
        return;
    }
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) {
        setResult(result, DRN_NO_FRAME);
        return;
    }
    uint32_t word = 0;
    uint32_t errorPassive = 0;
    uint32_t errorCounters = 0;
    uint32_t busOff = 0;
    if (port_.load() != kNoPort &&
        callPort(0, api->status, port_.load(), &errorPassive, &errorCounters, &busOff) != 0) {
        word = errorPassive != 0 ? 1 : busOff != 0 ? 3 : 0;
    }
    if (status != nullptr) {
        *status = word;
    }
    setResult(result, DRN_OK);
}

void WinceDriver::receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                          uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs,
                          ResultBlock* result) {
    // The ports carry no time stamps: a frame gets the time it was asked for.
    *timeMs = ostrel::platform::tickMs();
    *timeMsOverflow = 0;
    *timeUs = 0;
    const auto api = this->api();
    if (port_.load() == kNoPort || !opened_.load() || !api) {
        ostrel::platform::sleepMs(fixed::kIdleReceiveWaitMs);
        setResult(result, port_.load() == kNoPort ? DRN_NO_FRAME : DRN_NOT_INITIALIZED);
        return;
    }
    // The pause comes before the lock, so that a transmitter waiting for the lock gets it in between.
    ostrel::platform::sleepMs(1);
    uint32_t frameId = 0;
    WinceBool isRemote = 0;
    WinceBool isExtended = 0;
    WinceBool isError = 0;
    uint8_t frameLength = 0;
    uint8_t bytes[8] = {};
    {
        const auto lock = fixed::lockForBusCall(hardwareLock_, opened_, result);
        if (!lock.owns_lock()) {
            return;
        }
        if (port_.load() == kNoPort ||
            callPort(0, api->receive, port_.load(), &frameId, &isRemote, &isExtended, &isError, &frameLength,
                     bytes) == 0) {
            setResult(result, DRN_NO_FRAME);
            return;
        }
    }
    const uint8_t count = std::min<uint8_t>(frameLength, 8);
    *id = frameId;
    *length = count;
    *extended = isExtended != 0 ? 1 : 0;
    *remote = isRemote != 0 ? 1 : 0;
    *errorFrame = isError != 0 ? 1 : 0;
    std::memcpy(data, bytes, count);
    setResult(result, DRN_OK);
}

int32_t WinceDriver::enumerateHardware(HardwareInfo* hardware, int32_t maxCount) const {
    const auto api = this->api();
    if (!api || hardware == nullptr || maxCount <= 0) {
        return 0;
    }
    const int32_t count = std::clamp(callPort(0, api->numberOfInterfaces), 0, maxCount);
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t number = static_cast<uint32_t>(i) + 1;
        ostrel::platform::copyField(hardware[i].name, DRN_HARDWARE_NAME_CHARS, u"CAN" + fixed::decimal(number));
        hardware[i].hardwareHandle = number;
    }
    return count;
}

WinceDriver::Opened WinceDriver::openPort(const WinceApi& api, uint32_t interfaceNumber, uint32_t rateKbit) const {
    const int32_t port = callPort(kNoPort, api.open, portName(interfaceNumber).c_str(), rateKbit);
    if (port < 0) {
        return {kNoPort, kOpenNode};
    }
    if (callPort(0, api.start, port) == 0) {
        (void)callPort(0, api.close, port);
        return {kNoPort, kStartNode};
    }
    return {port, {}};
}

void WinceDriver::releasePortLocked(const WinceApi& api) {
    if (portOpen_.load()) {
        (void)callPort(0, api.stop, port_.load());
        (void)callPort(0, api.close, port_.load());
    }
    portOpen_.store(false);
    port_.store(kNoPort);
}

void WinceDriver::initialize(uint32_t networkHandle, uint32_t reserved, ResultBlock* result) {
    std::lock_guard lifecycle(lifecycle_);
    if (!api()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);  // the library is not loaded, or lacks an entry point
        return;
    }
    if (opened_.load() || portOpen_.load()) {
        closeLocked();
    }
    opened_.store(false);
    const uint32_t interfaceNumber = networkHandle >> fixed::kHardwareShift;
    const uint32_t rate = Baud_IndexToKbit(networkHandle);
    if (!resolve()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    const auto api = this->api();
    int32_t port = kNoPort;
    if (interfaceNumber != 0) {
        const Opened opened = openPort(*api, interfaceNumber, rate);
        if (opened.port == kNoPort) {
            setResult(result, DRN_NOT_INITIALIZED, opened.failure);
            return;
        }
        port = opened.port;
    }
    port_.store(port);
    portOpen_.store(port != kNoPort);
    interface_.store(interfaceNumber);
    rateKbit_.store(rate);
    opened_.store(true);
    setResult(result, DRN_OK);
    reserved_.store(reserved);
    if (!engineStart()) {
        setResult(result, DRN_NOT_INITIALIZED, fixed::kStartEngine);
    }
}

void WinceDriver::switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    std::lock_guard lifecycle(lifecycle_);
    const auto api = this->api();
    if (!api) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    // Once the lock is ours no bus call is inside the library, and each re-checks `opened_` after it.
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) {
        setResult(result, DRN_NO_FRAME);
        return;
    }
    if (connect == 1 && !opened_.load()) {
        releasePortLocked(*api);  // a port left open by a disconnect that failed to stop it
        const uint32_t interfaceNumber = networkHandle >> fixed::kHardwareShift;
        const uint32_t rate = Baud_IndexToKbit(networkHandle);
        if (interfaceNumber != 0) {
            // A real port is opened and started as Initialize does.
            const Opened opened = openPort(*api, interfaceNumber, rate);
            if (opened.port == kNoPort) {
                setResult(result, DRN_NOT_INITIALIZED, opened.failure);
                return;
            }
            port_.store(opened.port);
            portOpen_.store(true);
        }
        interface_.store(interfaceNumber);
        rateKbit_.store(rate);
        opened_.store(true);
        setResult(result, DRN_OK);
        return;
    }
    if (connect == 0 && opened_.load()) {
        opened_.store(false);
        if (portOpen_.load()) {
            if (callPort(0, api->stop, port_.load()) == 0) {
                setResult(result, DRN_NOT_INITIALIZED, kStopNode);
                return;
            }
            (void)callPort(0, api->close, port_.load());
            portOpen_.store(false);
        }
    }
    setResult(result, DRN_OK);
}

void WinceDriver::closeLocked() {
    // Also without a port: the engine must not outlive Close.
    engineStop();
    opened_.store(false);
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kCloseLockWaitMs));  // going on either way
    if (const auto api = this->api()) {
        releasePortLocked(*api);
    } else {
        portOpen_.store(false);
        port_.store(kNoPort);
    }
}

void WinceDriver::close() {
    std::lock_guard lifecycle(lifecycle_);
    closeLocked();
}

void WinceDriver::reset() {
    const auto api = this->api();
    if (!api || !portOpen_.load()) {
        return;
    }
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock() || !portOpen_.load()) {
        return;
    }
    releasePortLocked(*api);
    const int32_t port = callPort(kNoPort, api->open, portName(interface_.load()).c_str(), rateKbit_.load());
    if (port < 0) {
        // Without a port the network is gone: nothing may pass for sent any more.
        opened_.store(false);
        return;
    }
    port_.store(port);
    portOpen_.store(true);
    (void)callPort(0, api->start, port);
}

void WinceDriver::errorFrames(int32_t on) {
    const auto api = this->api();
    if (!api) {
        return;
    }
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (lock.owns_lock()) {
        (void)callPort(0, api->configureErrorFrames, on == 1 ? 1 : 0);
    }
}

void WinceDriver::selfReceive(int32_t on, ResultBlock* result) {
    const auto api = this->api();
    if (!api || !opened_.load()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (!portOpen_.load()) {
        return;  // the internal network: nothing to switch
    }
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) {
        setResult(result, DRN_NO_FRAME);
        return;
    }
    if (callPort(0, api->configureSelfReceive, on == 1 ? 1 : 0) != 0) {
        selfReception_.store(on == 1);  // a library that refuses keeps what it had
    }
    setResult(result, DRN_OK);
}

void WinceDriver::transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                           int32_t errorFrame, ResultBlock* result) {
    // Not opened comes first: before Initialize nothing may pass for sent, not even without a port.
    if (!opened_.load()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (port_.load() == kNoPort) {
        setResult(result, DRN_OK);  // port 0: nothing is sent
        return;
    }
    if (length > 8) {
        setResult(result, DRN_BAD_PARAMETERS);
        return;
    }
    const auto api = this->api();
    if (!api) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    uint8_t bytes[8] = {};
    if (data != nullptr) {
        std::memcpy(bytes, data, length);
    }
    int32_t sent = 0;
    {
        const auto lock = fixed::lockForBusCall(hardwareLock_, opened_, result, kHardwareNotInitialized);
        if (!lock.owns_lock()) {
            return;
        }
        sent = callPort(0, api->transmit, port_.load(), id, remote != 0 ? 1 : 0, extended != 0 ? 1 : 0,
                        errorFrame != 0 ? 1 : 0, length, bytes);
    }
    if (sent == 0) {
        setResult(result, DRN_TRANSMIT_ERROR, kTransmitError);
        return;
    }
    notifier_.notify(id, length, bytes);
    setResult(result, DRN_OK);
}

void WinceDriver::clear() {
    close();
    api_.forget();
    notifier_.set(nullptr, nullptr);
    interface_.store(0);
    rateKbit_.store(0);
    reserved_.store(0);
    selfReception_.store(false);
}

// ---- slots ----

void status(uint32_t* status, ResultBlock* result) { driver().status(status, result); }

void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame, uint8_t* data,
             uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result) {
    driver().receive(id, length, extended, remote, errorFrame, data, timeMs, timeMsOverflow, timeUs, result);
}

int32_t initDriver() { return driver().resolve() ? DRN_OK : DRN_NOT_INITIALIZED; }

// The library is unloaded after this: nothing of it may stay in use.
void closeDriver() { driver().clear(); }

void getCurrentTime(CANTimeStamp* time) {
    if (time == nullptr) {
        return;
    }
    *time = CANTimeStamp{};
    if (driver().api()) {
        time->timeMs = ostrel::platform::tickMs();
    }
}

int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    return driver().enumerateHardware(hardware, maxCount);
}

// The ports have no clients: the client name and the window handle are not used.
void initialize(uint32_t networkHandle, const char16_t*, uint32_t, uint32_t reserved, ResultBlock* result) {
    driver().initialize(networkHandle, reserved, result);
}

void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    driver().switchNetworks(connect, networkHandle, result);
}

void close() { driver().close(); }

void reset() { driver().reset(); }

int32_t errorFrames(int32_t on) {
    driver().errorFrames(on);
    return DRN_OK;
}

void selfReceive(int32_t on, ResultBlock* result) { driver().selfReceive(on, result); }

int32_t isNetworkFunctional() { return driver().isNetworkFunctional(); }

void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote, int32_t errorFrame,
              ResultBlock* result) {
    driver().transmit(id, length, data, extended, remote, errorFrame, result);
}

void setTransmitCallback(TransmitCallback callback, void* user) { driver().setTransmitCallback(callback, user); }

} // namespace

void fillWinCEOps(DriverOps& ops) {
    ops = DRENNIC_DRIVER_OPS_OF_SCOPE;
    ops.SelfReceiving = [] { return driver().selfReceiving(); };
}

} // namespace drennic
