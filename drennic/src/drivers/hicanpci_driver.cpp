// The driver for the HiCOCAN PCI card library "HICANPCI.DLL". The card knows channels, not networks:
// the driver offers the pseudo hardware "Internal" (handle 0, on which nothing is sent) and eight
// channels "PCI CAN 0".."PCI CAN 7" (handles 1..8, card channel = handle - 1), each with the eight
// standard networks.
#include "hicanpci/hicanpci_api.h"
#include "drivers/drivers.h"
#include "drivers/fixed_network_driver.h"
#include "engine/engine.h"

#include <platform/clock.h>

#include <atomic>
#include <chrono>
#include <optional>

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

constexpr std::u16string_view kOpenDriver = u"Failed to open driver";
constexpr std::u16string_view kOpenNode = u"Failed to open can node";
constexpr std::u16string_view kSetBaudInit = u"Failed to set baudrate of can node";
constexpr std::u16string_view kSetBaudSwitch = u"Failed to set baud rate";
constexpr std::u16string_view kStartNode = u"Failed to start can node";
constexpr std::u16string_view kEnableSelfReceive = u"Failed to enable self receive mode";
constexpr std::u16string_view kDisableSelfReceive = u"Failed to disable self receive mode";
constexpr std::u16string_view kStopNode = u"Failed to stop can node";
constexpr std::u16string_view kCloseNode = u"Failed to close can node";
constexpr std::u16string_view kCloseDriver = u"Failed to close driver";

constexpr int32_t kHardwareCount = 9;  // "Internal" and eight channels
constexpr uint32_t kWriteTimeoutUs = 500000;
constexpr uint32_t kReadTimeoutUs = 10000;
constexpr uint32_t kStatusBusOff = 3;
constexpr uint32_t kStatusErrorPassive = 1;
// What a call of an entry point the library lacks counts as.
constexpr int32_t kMissingEntryResult = -1;

struct HicoApi {
    std::shared_ptr<const DriverBinding> binding;
    HiCanOpenDriverFn openDriver = nullptr;
    HiCanCloseDriverFn closeDriver = nullptr;
    HiCanOpenFn open = nullptr;
    HiCanCloseFn close = nullptr;
    HiCanStartFn start = nullptr;
    HiCanStopFn stop = nullptr;
    HiCanSetBaudFn setBaud = nullptr;
    HiCanCanCtrlFn canCtrl = nullptr;
    HiCanSetTimestampFn setTimestamp = nullptr;
    HiCanWriteFn write = nullptr;
    HiCanReadFn read = nullptr;
    HiCanResetContrFn resetContr = nullptr;
    HiCanClrOverrunFn clrOverrun = nullptr;          // resolved, not called
    HiCanRegisterEventFn registerEvent = nullptr;    // resolved, not called
};

template <typename Fn, typename... Args>
int32_t callCard(Fn fn, Args... args) {
    return fn != nullptr ? fn(args...) : kMissingEntryResult;
}

// The card's bit-rate parameter for a rate in kbit/s; 125 kbit/s and unknown rates get 12.
uint32_t cardBaudParameter(uint32_t kbit) {
    switch (kbit) {
    case 10: return HICO_BAUD_10K;
    case 20: return HICO_BAUD_20K;
    case 50: return HICO_BAUD_50K;
    case 250: return HICO_BAUD_250K;
    case 500: return HICO_BAUD_500K;
    case 800: return HICO_BAUD_800K;
    case 1000: return HICO_BAUD_1M;
    default: return HICO_BAUD_125K;
    }
}

class HicoDriver {
public:
    bool resolve();
    void forget() { api_.forget(); }
    [[nodiscard]] std::shared_ptr<const HicoApi> api() const { return api_.get(); }

    void status(uint32_t* status, ResultBlock* result);
    void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                 uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result);
    void getCurrentTime(CANTimeStamp* time);
    [[nodiscard]] int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) const;
    void initialize(uint32_t networkHandle, uint32_t reserved, ResultBlock* result);
    void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result);
    void close();
    void reset();
    void selfReceive(int32_t on, ResultBlock* result);
    [[nodiscard]] int32_t isNetworkFunctional() const { return opened_.load() && channel_.load() != 0 ? 1 : 0; }
    [[nodiscard]] int32_t selfReceiving() const { return cardOpen_.load() && selfReception_.load() ? 1 : 0; }
    void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                  ResultBlock* result);
    void setTransmitCallback(TransmitCallback callback, void* user) { notifier_.set(callback, user); }
    // Back to the start state (CloseDriver).
    void clear();

private:
    // Opens the channel of a network; the failing step's message otherwise. A failed step closes
    // again what the earlier steps opened, so that the next attempt starts from a closed card.
    [[nodiscard]] std::optional<std::u16string_view> openChannel(const HicoApi& api, uint32_t networkHandle,
                                                                 bool switching);
    void closeLocked();
    void takeStatusReport(int32_t result);
    [[nodiscard]] uint32_t cardChannel() const { return channel_.load() - 1; }

    fixed::ApiHolder<HicoApi> api_;
    fixed::TransmitNotifier notifier_;

    std::mutex lifecycle_;  // serialises Initialize, SwitchNetworks and Close
    // Hardware handle of the network's channel (0: "Internal", nothing is sent).
    std::atomic<uint32_t> channel_{0};
    // The card's channel is open and must be closed again (it may stay open after a failed disconnect).
    std::atomic<bool> cardOpen_{false};
    // The card hands our frames back (switched on with every opening of its channel).
    std::atomic<bool> selfReception_{false};
    std::atomic<uint32_t> baudParameter_{HICO_BAUD_125K};
    std::atomic<bool> opened_{false};
    std::atomic<uint32_t> pendingStatus_{0};  // reported once by Status
    std::atomic<uint32_t> reserved_{0};       // stored, not used
    // Around every read and write of the card; holding it also means no such call is inside.
    std::timed_mutex hardwareLock_;
};

HicoDriver& driver() {
    static HicoDriver instance;
    return instance;
}

bool HicoDriver::resolve() {
    return api_.resolve([](HicoApi& api, auto take) {
        take(api.openDriver, "HiCOCANOpenDriver");
        take(api.closeDriver, "HiCOCANCloseDriver");
        take(api.open, "HiCOCANOpen");
        take(api.close, "HiCOCANClose");
        take(api.start, "HiCOCANStart");
        take(api.stop, "HiCOCANStop");
        take(api.setBaud, "HiCOCANSetBaud");
        take(api.canCtrl, "HiCOCANCanCtrl");
        take(api.setTimestamp, "HiCOCANSetTimestamp");
        take(api.write, "HiCOCANWrite");
        take(api.read, "HiCOCANRead");
        take(api.resetContr, "HiCOCANResetContr");
        take(api.clrOverrun, "HiCOCANClrOverrun");
        take(api.registerEvent, "HiCOCANRegisterEvent");
    });
}

void HicoDriver::takeStatusReport(int32_t result) {
    if (result == HICO_REPORT_BUS_OFF) {
        pendingStatus_.store(kStatusBusOff);
    } else if (result == HICO_REPORT_ERROR_PASSIVE) {
        pendingStatus_.store(kStatusErrorPassive);
    }
}

void HicoDriver::status(uint32_t* status, ResultBlock* result) {
    if (channel_.load() == 0) {
        if (status != nullptr) {
            *status = 0;
        }
        setResult(result, DRN_OK);
        return;
    }
    if (!opened_.load()) {
        setResult(result, DRN_NOT_INITIALIZED);
        return;
    }
    const uint32_t pending = pendingStatus_.exchange(0);
    if (status != nullptr) {
        *status = pending;
    }
    setResult(result, DRN_OK);
}

void HicoDriver::receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                         uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs,
                         ResultBlock* result) {
    const auto api = this->api();
    if (channel_.load() == 0 || !opened_.load() || !api) {
        ostrel::platform::sleepMs(fixed::kIdleReceiveWaitMs);
        setResult(result, channel_.load() == 0 ? DRN_NO_FRAME : DRN_NOT_INITIALIZED);
        return;
    }
    // The pause comes before the lock, so that a transmitter waiting for the lock gets it in between.
    ostrel::platform::sleepMs(1);
    HiCanMessage message{};
    int32_t read = 0;
    {
        const auto lock = fixed::lockForBusCall(hardwareLock_, opened_, result);
        if (!lock.owns_lock()) {
            return;
        }
        read = callCard(api->read, HICO_CURRENT_NODE, &message, kReadTimeoutUs);
    }
    if (read != HICO_OK) {
        takeStatusReport(read);
        setResult(result, DRN_NO_FRAME);
        return;
    }
    const uint8_t count = std::min<uint8_t>(message.length, 8);
    *id = message.id;
    *length = count;
    *extended = message.extended != 0 ? 1 : 0;
    *remote = message.remote != 0 ? 1 : 0;
    *errorFrame = 0;
    std::memcpy(data, message.data, count);
    // The card counts days, hours, minutes and seconds; the frame carries milliseconds (wrapping).
    const HiCanTimeStamp& t = message.time;
    const uint32_t seconds = uint32_t{t.second} + uint32_t{t.minute} * 60 + uint32_t{t.hour} * 3600 +
                             uint32_t{t.day} * 86400;
    *timeMs = seconds * 1000 + t.millisecond;
    *timeMsOverflow = 0;
    *timeUs = t.microsecond;
    setResult(result, DRN_OK);
}

void HicoDriver::getCurrentTime(CANTimeStamp* time) {
    // The card's clock cannot be read; asking for the time restarts it at 0 instead.
    const auto api = this->api();
    if (api && cardOpen_.load()) {
        const HiCanTimeStamp zero{};
        (void)callCard(api->setTimestamp, cardChannel(), &zero);
    }
    if (time != nullptr) {
        *time = CANTimeStamp{};
    }
}

int32_t HicoDriver::enumerateHardware(HardwareInfo* hardware, int32_t maxCount) const {
    if (!api() || hardware == nullptr || maxCount <= 0) {
        return 0;
    }
    const int32_t count = std::min(maxCount, kHardwareCount);
    for (int32_t i = 0; i < count; ++i) {
        const std::u16string name = i == 0 ? std::u16string(u"Internal")
                                           : u"PCI CAN " + fixed::decimal(static_cast<uint32_t>(i - 1));
        ostrel::platform::copyField(hardware[i].name, DRN_HARDWARE_NAME_CHARS, name);
        hardware[i].hardwareHandle = static_cast<uint32_t>(i);
    }
    return count;
}

std::optional<std::u16string_view> HicoDriver::openChannel(const HicoApi& api, uint32_t networkHandle,
                                                           bool switching) {
    const uint32_t baud = cardBaudParameter(Baud_IndexToKbit(networkHandle));
    const uint32_t hardware = networkHandle >> fixed::kHardwareShift;
    if (hardware == 0) {  // "Internal": no card is touched
        channel_.store(0);
        baudParameter_.store(baud);
        opened_.store(true);
        return std::nullopt;
    }
    const uint32_t channel = hardware - 1;
    if (callCard(api.openDriver) != HICO_OK) {
        return kOpenDriver;
    }
    if (callCard(api.open, channel) != HICO_OK) {
        (void)callCard(api.closeDriver);
        return kOpenNode;
    }
    auto undo = [&] {
        (void)callCard(api.close, channel);
        (void)callCard(api.closeDriver);
    };
    if (callCard(api.setBaud, channel, baud) != HICO_OK) {
        undo();
        return switching ? kSetBaudSwitch : kSetBaudInit;
    }
    if (callCard(api.start, channel) != HICO_OK) {
        undo();
        return kStartNode;
    }
    if (callCard(api.canCtrl, channel, HICO_CTRL_SELF_RECEPTION_ON) != HICO_OK) {
        (void)callCard(api.stop, channel);
        undo();
        return kEnableSelfReceive;
    }
    channel_.store(hardware);
    baudParameter_.store(baud);
    selfReception_.store(true);
    cardOpen_.store(true);
    opened_.store(true);
    return std::nullopt;
}

void HicoDriver::initialize(uint32_t networkHandle, uint32_t reserved, ResultBlock* result) {
    std::lock_guard lifecycle(lifecycle_);
    if (!api()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);  // the library is not loaded, or lacks an entry point
        return;
    }
    if (opened_.load() || cardOpen_.load()) {
        closeLocked();
    }
    if (!resolve()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    const auto api = this->api();
    if (const auto failure = openChannel(*api, networkHandle, false)) {
        setResult(result, DRN_NOT_INITIALIZED, *failure);
        return;
    }
    setResult(result, DRN_OK);
    reserved_.store(reserved);
    if (!engineStart()) {
        setResult(result, DRN_NOT_INITIALIZED, fixed::kStartEngine);
    }
}

void HicoDriver::switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    std::lock_guard lifecycle(lifecycle_);
    const auto api = this->api();
    if (!api) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (connect == 1 && !opened_.load()) {
        if (cardOpen_.load()) {  // left open by a disconnect that failed half-way
            std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kCloseLockWaitMs));
            (void)callCard(api->stop, cardChannel());
            (void)callCard(api->close, cardChannel());
            (void)callCard(api->closeDriver);
            cardOpen_.store(false);
        }
        if (const auto failure = openChannel(*api, networkHandle, true)) {
            setResult(result, DRN_NOT_INITIALIZED, *failure);
            return;
        }
        setResult(result, DRN_OK);
        return;
    }
    if (connect == 0 && opened_.load()) {
        opened_.store(false);
        // Once the lock is ours no read or write is inside the card, and none enters after it.
        std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kCloseLockWaitMs));  // going on either way
        if (cardOpen_.load()) {
            if (callCard(api->stop, cardChannel()) != HICO_OK) {
                setResult(result, DRN_NOT_INITIALIZED, kStopNode);
                return;
            }
            if (callCard(api->close, cardChannel()) != HICO_OK) {
                setResult(result, DRN_NOT_INITIALIZED, kCloseNode);
                return;
            }
            cardOpen_.store(false);
            if (callCard(api->closeDriver) != HICO_OK) {
                setResult(result, DRN_NOT_INITIALIZED, kCloseDriver);
                return;
            }
        }
    }
    setResult(result, DRN_OK);
}

void HicoDriver::closeLocked() {
    // Also without a channel: the engine must not outlive Close.
    engineStop();
    opened_.store(false);
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kCloseLockWaitMs));  // going on either way
    if (const auto api = this->api(); api && cardOpen_.load()) {
        (void)callCard(api->stop, cardChannel());
        (void)callCard(api->close, cardChannel());
        (void)callCard(api->closeDriver);
    }
    cardOpen_.store(false);
    channel_.store(0);
    pendingStatus_.store(0);
}

void HicoDriver::close() {
    std::lock_guard lifecycle(lifecycle_);
    closeLocked();
}

void HicoDriver::reset() {
    const auto api = this->api();
    if (!api || !cardOpen_.load()) {
        return;
    }
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock() || !cardOpen_.load()) {
        return;
    }
    // A controller reset forgets the bit rate and self-reception: set both again. Results are not looked at.
    const uint32_t channel = cardChannel();
    (void)callCard(api->resetContr, channel, HICO_RESET_CONTROLLER);
    (void)callCard(api->setBaud, channel, baudParameter_.load());
    (void)callCard(api->start, channel);
    selfReception_.store(callCard(api->canCtrl, channel, HICO_CTRL_SELF_RECEPTION_ON) == HICO_OK);
}

void HicoDriver::selfReceive(int32_t on, ResultBlock* result) {
    const auto api = this->api();
    if (!api || !opened_.load()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (!cardOpen_.load()) {
        return;  // the internal network: nothing to switch
    }
    const bool enable = on == 1;
    if (callCard(api->canCtrl, cardChannel(), enable ? HICO_CTRL_SELF_RECEPTION_ON : HICO_CTRL_SELF_RECEPTION_OFF) !=
        HICO_OK) {
        setResult(result, DRN_NOT_INITIALIZED, enable ? kEnableSelfReceive : kDisableSelfReceive);
        return;
    }
    selfReception_.store(enable);
    setResult(result, DRN_OK);
}

void HicoDriver::transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                          ResultBlock* result) {
    // Not opened comes first: before Initialize nothing may pass for sent, not even on "Internal".
    if (!opened_.load()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (channel_.load() == 0) {
        setResult(result, DRN_OK);  // "Internal": nothing is sent
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
    // The error flag has no place in the card's message.
    HiCanMessage message{};
    message.extended = extended != 0 ? 1 : 0;
    message.remote = remote != 0 ? 1 : 0;
    message.length = length;
    message.id = id;
    if (data != nullptr) {
        std::memcpy(message.data, data, length);
    }
    int32_t written = 0;
    {
        const auto lock = fixed::lockForBusCall(hardwareLock_, opened_, result, kHardwareNotInitialized);
        if (!lock.owns_lock()) {
            return;
        }
        written = callCard(api->write, HICO_CURRENT_NODE, &message, kWriteTimeoutUs);
    }
    // The two status reports come with a message that went out.
    if (written == HICO_REPORT_BUS_OFF || written == HICO_REPORT_ERROR_PASSIVE) {
        takeStatusReport(written);
    } else if (written != HICO_OK) {
        setResult(result, DRN_TRANSMIT_ERROR,
                  u"Transmit error (0x" + fixed::hex8(static_cast<uint32_t>(written)) + u")");
        return;
    }
    notifier_.notify(id, length, message.data);
    setResult(result, DRN_OK);
}

void HicoDriver::clear() {
    close();
    forget();
    notifier_.set(nullptr, nullptr);
    baudParameter_.store(HICO_BAUD_125K);
    reserved_.store(0);
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

void getCurrentTime(CANTimeStamp* time) { driver().getCurrentTime(time); }

int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    return driver().enumerateHardware(hardware, maxCount);
}

// The card has no clients: the client name and the window handle are not used.
void initialize(uint32_t networkHandle, const char16_t*, uint32_t, uint32_t reserved, ResultBlock* result) {
    driver().initialize(networkHandle, reserved, result);
}

void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    driver().switchNetworks(connect, networkHandle, result);
}

void close() { driver().close(); }

void reset() { driver().reset(); }

// The card delivers no error frames.
int32_t errorFrames(int32_t) { return DRN_OK; }

void selfReceive(int32_t on, ResultBlock* result) { driver().selfReceive(on, result); }

int32_t isNetworkFunctional() { return driver().isNetworkFunctional(); }

void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote, int32_t,
              ResultBlock* result) {
    driver().transmit(id, length, data, extended, remote, result);
}

void setTransmitCallback(TransmitCallback callback, void* user) { driver().setTransmitCallback(callback, user); }

} // namespace

void fillHiCanPciOps(DriverOps& ops) {
    ops = DRENNIC_DRIVER_OPS_OF_SCOPE;
    ops.SelfReceiving = [] { return driver().selfReceiving(); };
}

} // namespace drennic
