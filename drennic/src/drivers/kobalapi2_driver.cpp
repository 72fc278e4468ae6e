// The Kobalapi2 driver, and the client-and-network driver both Kobal drivers are built on.
#include "drivers/drivers.h"
#include "drivers/kobal_driver.h"
#include "engine/engine.h"
#include "engine/result_block.h"

#include <platform/clock.h>
#include <platform/registry.h>
#include <platform/utf16.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace drennic {
namespace kobal {
namespace {

using ostrel::platform::EventReset;
using ostrel::platform::NamedEvent;

constexpr std::u16string_view kFindNetwork = u"Failed to find network. Please restart the application";
constexpr std::u16string_view kFindHardware =
    u"Failed to find hardware handle for network. Please restart the application";
constexpr std::u16string_view kRegisterReceive = u"Failed to register receive client. Please restart the application";
constexpr std::u16string_view kRegisterTransmit =
    u"Failed to register transmit client. Please restart the application";
constexpr std::u16string_view kConnectInitTx =
    u"Failed to connect to the network (init - tx). Please restart the application";
constexpr std::u16string_view kDelayedDistribution =
    u"Failed to enable delayed message distribution. Please restart the application";
constexpr std::u16string_view kRegisterMessages = u"Failed to register messages. Please restart the application";
constexpr std::u16string_view kCreateEvent = u"Failed to create receive event. Please restart the application";
constexpr std::u16string_view kSetEvent = u"Failed to set receive event. Please restart the application";
constexpr std::u16string_view kStartEngine = u"Failed to start the CANopen engine";

constexpr uint8_t kReceiveAllLowId = 0;
constexpr uint32_t kReceiveAllHighId = 0x7FF;

std::u16string decimal(int64_t value) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    (void)ec;
    return ostrel::platform::toUtf16(std::string_view(text, static_cast<std::size_t>(end - text)));
}

// "%8.8lX"
std::u16string hex8(uint32_t value) {
    std::u16string text(8, u'0');
    for (int i = 7; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = u"0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    }
    return text;
}

// The driver status word for the library's status word.
uint32_t driverStatusOf(uint32_t libraryStatus) {
    switch (libraryStatus) {
    case KOBAL_STATUS_BUS_OFF:
        return 3;
    case KOBAL_STATUS_ERROR_PASSIVE:
        return 1;
    case KOBAL_STATUS_HARDWARE_FAULT:
        return static_cast<uint32_t>(-8);
    default:
        return 0;
    }
}

void signalEvent(void* context) { static_cast<NamedEvent*>(context)->set(); }

} // namespace

uint32_t kbitOfLibraryRate(Library library, uint32_t libraryRate) {
    if (library == Library::KobalPlsapi2) {
        constexpr std::array<uint32_t, 8> kAccepted = {10, 20, 50, 125, 250, 500, 800, 1000};
        return std::find(kAccepted.begin(), kAccepted.end(), libraryRate) != kAccepted.end() ? libraryRate : 0;
    }
    switch (libraryRate) {  // 100 and 5 kbit/s have register values that do not read back
    case 0x0014: return 1000;
    case 0x4016: return 800;
    case 0x001C: return 500;
    case 0x011C: return 250;
    case 0x031C: return 125;
    case 0x472F: return 50;
    case 0x532F: return 20;
    case 0x672F: return 10;
    default: return 0;
    }
}

class KobalDriver::LibraryCall {
public:
    explicit LibraryCall(KobalDriver& driver) : driver_(driver) {
        driver_.callsInside_.fetch_add(1);
        entered_ = driver_.usable_.load();
        if (!entered_) {
            driver_.callsInside_.fetch_sub(1);
        }
    }
    ~LibraryCall() {
        if (entered_) {
            driver_.callsInside_.fetch_sub(1);
        }
    }
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;
    [[nodiscard]] bool entered() const { return entered_; }

private:
    KobalDriver& driver_;
    bool entered_ = false;
};

bool KobalDriver::resolve() {
    auto binding = currentDriver();
    if (!binding || !binding->module) {
        return false;
    }
    auto api = std::make_shared<Api>();
    const auto& module = *binding->module;
    bool complete = true;
    auto take = [&](auto& slot, const char* name) {
        slot = module.function<std::remove_reference_t<decltype(slot)>>(name);
        complete = complete && slot != nullptr;
    };
    take(api->getNetParam, "CAN_GetNetParam");
    take(api->registerClient, "CAN_RegisterClient");
    if (library_ == Library::Kobalapi2) {
        take(api->connectToNet, "CAN_ConnectToNet");
        take(api->setHwParam, "CAN_SetHwParam");
    } else {
        take(api->connectToNetWide, "CAN_ConnectToNet");
    }
    take(api->registerMsg, "CAN_RegisterMsg");
    take(api->disconnectFromNet, "CAN_DisconnectFromNet");
    take(api->removeClient, "CAN_RemoveClient");
    take(api->write, "CAN_Write");
    take(api->read, "CAN_Read");
    take(api->setClientParam, "CAN_SetClientParam");
    take(api->getHwParam, "CAN_GetHwParam");
    take(api->registerNet, "CAN_RegisterNet");
    take(api->removeNet, "CAN_RemoveNet");
    take(api->getSystemTime, "CAN_GetSystemTime");
    take(api->status, "CAN_Status");
    take(api->resetHardware, "CAN_ResetHardware");
    take(api->setNetParam, "CAN_SetNetParam");
    if (!complete) {
        return false;  // a library without one of them is treated as not loaded
    }
    api->binding = std::move(binding);
    std::lock_guard lock(apiMutex_);
    api_ = std::move(api);
    return true;
}

void KobalDriver::forget() {
    std::shared_ptr<const Api> old;
    std::lock_guard lock(apiMutex_);
    old = std::move(api_);
    api_.reset();
}

std::shared_ptr<const Api> KobalDriver::api() const {
    std::lock_guard lock(apiMutex_);
    return api_;
}

std::optional<std::u16string> KobalDriver::networkName(const Api& api, uint32_t network) const {
    if (library_ == Library::KobalPlsapi2) {
        std::array<char16_t, DRN_NETWORK_NAME_CHARS> name{};
        if (api.getNetParam(network, KOBAL_NET_NAME, name.data(), static_cast<uint32_t>(name.size())) != KOBAL_OK) {
            return std::nullopt;
        }
        return std::u16string(ostrel::platform::fieldView(name.data(), name.size()));
    }
    std::array<char, DRN_NETWORK_NAME_CHARS> name{};
    if (api.getNetParam(network, KOBAL_NET_NAME, name.data(), static_cast<uint32_t>(name.size())) != KOBAL_OK) {
        return std::nullopt;
    }
    name.back() = '\0';
    return ostrel::platform::toUtf16(name.data());
}

std::optional<uint32_t> KobalDriver::networkWord(const Api& api, uint32_t network, uint32_t param) const {
    uint32_t value = 0;
    if (api.getNetParam(network, param, &value, sizeof value) != KOBAL_OK) {
        return std::nullopt;
    }
    return value;
}

int32_t KobalDriver::connect(const Api& api, uint8_t client, const std::u16string& name, uint8_t* network) const {
    if (library_ == Library::KobalPlsapi2) {
        return api.connectToNetWide(client, name.c_str(), network);
    }
    return api.connectToNet(client, ostrel::platform::toUtf8(name).c_str(), network);
}

// ---- slots -------------------------------------------------------------------------------------

void KobalDriver::status(uint32_t* status, ResultBlock* result) {
    LibraryCall call(*this);
    const auto api = this->api();
    if (!call.entered() || !api) {
        setResult(result, DRN_NOT_INITIALIZED);
        return;
    }
    const uint32_t word = api->status(hardware_.load());
    if (status != nullptr) {
        *status = driverStatusOf(word);
    }
    setResult(result, DRN_OK);
}

bool KobalDriver::readOnce(const Api& api, KobalMessage& message, KobalTimeStamp& stamp) {
    std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) {
        return false;
    }
    uint8_t network = 0;
    return api.read(rxClient_.load(), &message, &network, &stamp) == KOBAL_OK;
}

void KobalDriver::receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                          uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs,
                          ResultBlock* result) {
    LibraryCall call(*this);
    const auto api = this->api();
    if (!call.entered() || !api) {
        // The engine has no pause of its own: without a network it would spin on this slot.
        ostrel::platform::sleepMs(1);
        setResult(result, DRN_NOT_INITIALIZED);
        return;
    }
    KobalMessage message{};
    KobalTimeStamp stamp{};
    bool got = readOnce(*api, message, stamp);
    if (!got) {
        std::shared_ptr<NamedEvent> event;
        {
            std::lock_guard lock(eventMutex_);
            event = rxEvent_;
        }
        got = event && event->wait(1) && readOnce(*api, message, stamp);
    }
    if (!got) {
        setResult(result, DRN_NO_FRAME);
        return;
    }
    const uint8_t count = std::min<uint8_t>(message.length, 8);
    *id = message.id;
    *length = count;
    *extended = (message.type & KOBAL_MSG_EXTENDED) != 0 ? 1 : 0;
    *remote = (message.type & KOBAL_MSG_REMOTE) != 0 ? 1 : 0;
    *errorFrame = (message.type & KOBAL_MSG_ERROR) != 0 ? 1 : 0;
    std::memcpy(data, message.data, count);
    *timeMs = stamp.ms;
    *timeMsOverflow = stamp.msOverflow;
    *timeUs = stamp.us;
    setResult(result, DRN_OK);
}

void KobalDriver::getCurrentTime(CANTimeStamp* time) {
    if (time == nullptr) {
        return;
    }
    *time = CANTimeStamp{};
    const auto api = this->api();
    KobalTimeStamp stamp{};
    if (api && api->getSystemTime(&stamp) == KOBAL_OK) {
        time->timeMs = stamp.ms;
        time->timeMsOverflow = stamp.msOverflow;
        time->timeUs = stamp.us;
    }
}

int32_t KobalDriver::enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    const auto api = this->api();
    if (!api || networks == nullptr || maxCount <= 0) {
        return 0;
    }
    const uint32_t last = std::min<uint32_t>(static_cast<uint32_t>(maxCount), KOBAL_MAX_NETWORKS);
    int32_t count = 0;
    for (uint32_t handle = 1; handle <= last; ++handle) {
        const auto name = networkName(*api, handle);
        const auto hardware = name ? networkWord(*api, handle, KOBAL_NET_HARDWARE) : std::nullopt;
        const auto rate = hardware ? networkWord(*api, handle, KOBAL_NET_BIT_RATE) : std::nullopt;
        if (!rate || *hardware != hardwareHandle) {
            continue;
        }
        NetworkInfo& info = networks[count++];
        ostrel::platform::copyField(info.name, DRN_NETWORK_NAME_CHARS, *name);
        info.networkHandle = handle;
        info.baudKbit = kbitOfLibraryRate(library_, *rate);
    }
    return count;
}

int32_t KobalDriver::getBaudrate(uint32_t networkHandle) {
    const auto api = this->api();
    if (!api) {
        return 0;
    }
    const auto rate = networkWord(*api, networkHandle, KOBAL_NET_BIT_RATE);
    return rate ? static_cast<int32_t>(kbitOfLibraryRate(library_, *rate)) : 0;
}

void KobalDriver::removeClients(const Api& api) {
    for (auto* client : {&rxClient_, &txClient_}) {
        if (const uint8_t handle = client->exchange(0); handle != 0) {
            (void)api.removeClient(handle);
        }
    }
}

std::optional<std::u16string> KobalDriver::openNetwork(const Api& api, const std::u16string& name, bool switching) {
    const bool pls = library_ == Library::KobalPlsapi2;
    uint8_t network = 0;
    const int32_t rx = connect(api, rxClient_.load(), name, &network);
    if (rx != KOBAL_OK) {
        if (switching) {
            return pls ? u"Failed to connect to the network (switch network - rx). Please restart the application"
                       : u"Failed to connect to the network (switch networks - rx). Please restart the application";
        }
        const std::u16string client = decimal(rxClient_.load());
        removeClients(api);
        if (pls) {
            return u"Failed to connect to the network (init - rx) (hrxclient=" + client + u", netname=" + name +
                   u", ret=" + decimal(rx) + u"). Please restart the application";
        }
        return u"Failed to connect to the network (init - rx) (hrxclient=" + client + u", netname=" + name +
               u", ret=0x" + hex8(static_cast<uint32_t>(rx)) + u", retwanted=0x" + hex8(KOBAL_OK) +
               u"). Please restart the application";
    }
    network_.store(network);
    if (connect(api, txClient_.load(), name, &network) != KOBAL_OK) {
        if (switching) {
            return pls ? u"Failed to connect to the network (switch network - tx). Please restart the application"
                       : u"Failed to connect to the network (switch networks - tx). Please restart the application";
        }
        removeClients(api);
        return std::u16string(kConnectInitTx);
    }
    if (!pls && api.setNetParam(network_.load(), KOBAL_NET_DELAYED_DISTRIBUTION, 1) != KOBAL_OK) {
        return std::u16string(kDelayedDistribution);
    }
    const KobalMsgBound low{kReceiveAllLowId, 0};
    const KobalMsgBound high{kReceiveAllHighId, 0};
    if (api.registerMsg(rxClient_.load(), network_.load(), &low, &high) != KOBAL_OK) {
        removeClients(api);
        return std::u16string(kRegisterMessages);
    }
    {
        std::lock_guard lock(eventMutex_);
        if (!rxEvent_) {
            rxEvent_ = NamedEvent::createLocal(EventReset::Automatic);
            if (!rxEvent_) {
                return std::u16string(kCreateEvent);
            }
            rxEventRecord_ = KobalEvent{signalEvent, rxEvent_.get()};
        }
    }
    if (api.setClientParam(rxClient_.load(), KOBAL_CLIENT_RX_EVENT, reinterpret_cast<uintptr_t>(&rxEventRecord_)) !=
        KOBAL_OK) {
        return std::u16string(kSetEvent);
    }
    return std::nullopt;
}

void KobalDriver::initialize(uint32_t networkHandle, const char16_t* clientName, uint32_t windowHandle,
                             uint32_t reserved, ResultBlock* result, void (*beforeOpen)(const Api& api)) {
    std::lock_guard lifecycle(lifecycle_);
    if (!api()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);  // the library is not loaded, or lacks an entry point
        return;
    }
    // An earlier Initialize without Close still holds its clients and receive event.
    if (rxClient_.load() != 0 || txClient_.load() != 0) {
        closeLocked();
    }
    usable_.store(false);
    if (!resolve()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    const auto api = this->api();
    if (beforeOpen != nullptr) {
        beforeOpen(*api);
    }
    const auto name = networkName(*api, networkHandle);
    if (!name) {
        setResult(result, DRN_NOT_INITIALIZED, kFindNetwork);
        return;
    }
    uint32_t hardware = 0;
    if (const int32_t r = api->getNetParam(networkHandle, KOBAL_NET_HARDWARE, &hardware, sizeof hardware);
        r != KOBAL_OK) {
        if (library_ == Library::KobalPlsapi2) {
            setResult(result, DRN_NOT_INITIALIZED,
                      u"Failed to find hardware handle for network (result = " + decimal(r) +
                          u"). Please restart the application");
        } else {
            setResult(result, DRN_NOT_INITIALIZED, kFindHardware);
        }
        return;
    }
    const std::string narrowName = ostrel::platform::toUtf8(clientName);
    uint8_t client = 0;
    if (api->registerClient((narrowName + " Receive").c_str(), windowHandle, &client) != KOBAL_OK) {
        setResult(result, DRN_NOT_INITIALIZED, kRegisterReceive);
        return;
    }
    rxClient_.store(client);
    if (api->registerClient((narrowName + " Transmit").c_str(), windowHandle, &client) != KOBAL_OK) {
        removeClients(*api);
        setResult(result, DRN_NOT_INITIALIZED, kRegisterTransmit);
        return;
    }
    txClient_.store(client);
    if (auto failure = openNetwork(*api, *name, false)) {
        setResult(result, DRN_NOT_INITIALIZED, *failure);
        return;
    }
    hardware_.store(static_cast<uint8_t>(hardware));
    callsInside_.store(0);
    usable_.store(true);
    setResult(result, DRN_OK);
    reserved_.store(reserved);
    if (!engineStart()) {
        setResult(result, DRN_NOT_INITIALIZED, kStartEngine);
    }
}

void KobalDriver::waitUntilNoCallInside() const {
    for (uint32_t waited = 0; callsInside_.load() != 0 && waited < kBusyWaitLimitMs; ++waited) {
        ostrel::platform::sleepMs(1);
    }
}

void KobalDriver::switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    std::lock_guard lifecycle(lifecycle_);
    const auto api = this->api();
    if (!api) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (connect == 0) {
        usable_.store(false);
        (void)api->setClientParam(rxClient_.load(), KOBAL_CLIENT_RX_EVENT, 0);
        waitUntilNoCallInside();
        // The handle given is not used: the clients leave the network they are connected to.
        (void)api->disconnectFromNet(txClient_.load(), network_.load());
        (void)api->disconnectFromNet(rxClient_.load(), network_.load());
        setResult(result, DRN_OK);
        return;
    }
    if (connect != 1) {
        setResult(result, DRN_OK);
        return;
    }
    const auto name = networkName(*api, networkHandle);
    if (!name) {
        setResult(result, DRN_NOT_INITIALIZED, kFindNetwork);
        return;
    }
    if (auto failure = openNetwork(*api, *name, true)) {
        setResult(result, DRN_NOT_INITIALIZED, *failure);
        return;
    }
    // The status is asked of the hardware of the network now connected.
    if (const auto hardware = networkWord(*api, networkHandle, KOBAL_NET_HARDWARE)) {
        hardware_.store(static_cast<uint8_t>(*hardware));
    }
    usable_.store(true);
    setResult(result, DRN_OK);
}

void KobalDriver::releaseNetwork(const Api& api) {
    for (auto* client : {&rxClient_, &txClient_}) {
        const uint8_t handle = client->exchange(0);
        if (handle == 0) {
            continue;
        }
        if (network_.load() != 0) {
            (void)api.disconnectFromNet(handle, network_.load());
        }
        (void)api.removeClient(handle);
    }
}

void KobalDriver::closeLocked() {
    const auto api = this->api();
    if (usable_.load() && api) {
        (void)api->setClientParam(rxClient_.load(), KOBAL_CLIENT_RX_EVENT, 0);
    }
    // Also after a disconnect: the engine must not outlive Close.
    engineStop();
    usable_.store(false);
    {
        std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kCloseLockWaitMs));  // going on either way
        if (api) {
            releaseNetwork(*api);  // once the clients are gone the library signals the event no more
        } else {
            rxClient_.store(0);
            txClient_.store(0);
        }
        {
            std::lock_guard events(eventMutex_);
            rxEvent_.reset();
            rxEventRecord_ = KobalEvent{};
        }
        hardware_.store(0);
        network_.store(0);
    }
}

void KobalDriver::close() {
    std::lock_guard lifecycle(lifecycle_);
    closeLocked();
}

void KobalDriver::reset() {
    if (const auto api = this->api()) {
        (void)api->resetHardware(hardware_.load());
    }
}

void KobalDriver::transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                           int32_t errorFrame, ResultBlock* result) {
    if (!usable_.load()) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    if (length > 8) {
        setResult(result, DRN_BAD_PARAMETERS);
        return;
    }
    LibraryCall call(*this);
    const auto api = this->api();
    if (!call.entered() || !api) {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
        return;
    }
    KobalMessage message{};
    message.id = id;
    message.type = static_cast<uint8_t>((extended != 0 ? KOBAL_MSG_EXTENDED : 0) | (remote != 0 ? KOBAL_MSG_REMOTE : 0) |
                                        (errorFrame != 0 ? KOBAL_MSG_ERROR : 0) |
                                        (oneShot_.load() ? KOBAL_MSG_SINGLE_SHOT : 0));
    message.length = length;
    if (data != nullptr) {
        std::memcpy(message.data, data, length);
    }
    const KobalTimeStamp noTime{};
    int32_t written = 0;
    {
        std::unique_lock lock(hardwareLock_, std::chrono::milliseconds(kLockWaitMs));
        if (!lock.owns_lock()) {
            setResult(result, DRN_NO_FRAME);
            return;
        }
        written = api->write(txClient_.load(), network_.load(), &message, &noTime);
    }
    if (written != KOBAL_OK) {
        setResult(result, DRN_TRANSMIT_ERROR, kTransmitError);
        return;
    }
    TransmitCallback callback = nullptr;
    void* user = nullptr;
    {
        std::lock_guard lock(callbackMutex_);
        callback = transmitCallback_;
        user = transmitUser_;
    }
    if (callback != nullptr) {
        CANFrame frame{};
        frame.id = id;
        frame.length = length;
        std::memcpy(frame.data, message.data, sizeof frame.data);
        callback(&frame, user);
    }
    setResult(result, DRN_OK);
}

void KobalDriver::setTransmitCallback(TransmitCallback callback, void* user) {
    std::lock_guard lock(callbackMutex_);
    transmitCallback_ = callback;
    transmitUser_ = user;
}

} // namespace kobal

// ---- Kobalapi2: user networks kept in the registry ---------------------------------------------

namespace {

using kobal::Api;
using kobal::KobalDriver;
using ostrel::platform::RegistryKey;
using ostrel::platform::RegistryRoot;

constexpr std::string_view kNetworksKey = "Software\\Ostrel\\DrennicDLL\\TrovelNetworks";
constexpr std::size_t kMaxValueNameChars = 99;   // room for 100 characters with the terminator
constexpr std::size_t kMaxValueDataBytes = 1000;  // UTF-16 with the terminator
constexpr uint32_t kMaxHardwareHandle = KOBAL_MAX_HARDWARE;

KobalDriver& driver() {
    static KobalDriver instance(kobal::Library::Kobalapi2);
    return instance;
}

// kbit/s to the register value of a new network; rates without their own value get 125 kbit/s.
uint32_t registerValueForNewNetwork(uint32_t kbit) {
    switch (kbit) {
    case 1000: return 0x0014;
    case 800: return 0x4016;
    case 500: return 0x001C;
    case 250: return 0x011C;
    case 50: return 0x472F;
    case 20: return 0x532F;
    case 10: return 0x672F;
    default: return 0x031C;
    }
}

// kbit/s to the register value when deciding whether a network is registered already.
uint32_t registerValueForComparison(uint32_t kbit) {
    switch (kbit) {
    case 1000: return 0x0014;
    case 800: return 0x4016;
    case 500: return 0x001C;
    case 250: return 0x011C;
    case 125: return 0x031C;
    case 100: return 0x432F;
    case 50: return 0x472F;
    case 20: return 0x532F;
    case 10: return 0x672F;
    case 5: return 0x7F7F;
    default: return 0;
    }
}

// Leading decimal digits after blanks and an optional sign; 0 without digits.
int32_t leadingInteger(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    int32_t value = 0;
    (void)std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    return driver().enumerateNetworks(networks, maxCount, hardwareHandle);
}

bool registerIfMissing(const Api& api, uint32_t network, std::u16string_view name, uint32_t registerValue,
                       uint32_t hardware) {
    const std::u16string_view wanted = name.substr(0, std::min<std::size_t>(name.size(), DRN_NETWORK_NAME_CHARS));
    std::array<NetworkInfo, KOBAL_MAX_NETWORKS> present{};
    const int32_t count = enumerateNetworks(present.data(), static_cast<int32_t>(present.size()), hardware);
    for (int32_t i = 0; i < count; ++i) {
        const NetworkInfo& info = present[static_cast<std::size_t>(i)];
        if (info.networkHandle == network && registerValueForComparison(info.baudKbit) == registerValue &&
            ostrel::platform::fieldView(info.name, DRN_NETWORK_NAME_CHARS) == wanted) {
            return true;
        }
    }
    const std::string narrow = ostrel::platform::toUtf8(wanted);
    if (narrow.size() > KOBAL_MAX_NET_NAME_BYTES) {
        return false;
    }
    return api.registerNet(network, narrow.c_str(), hardware, registerValue) == KOBAL_OK;
}

struct StoredNetwork {
    uint32_t network = 0;
    uint32_t hardware = 0;
    uint32_t registerValue = 0;
    std::u16string name;
};

// A value "hardware,register value,name" under the network handle's decimal name.
std::optional<StoredNetwork> parseStoredNetwork(const ostrel::platform::RegistryValue& value) {
    if (value.type != ostrel::platform::RegistryType::String ||
        ostrel::platform::toUtf16(value.name).size() > kMaxValueNameChars ||
        (ostrel::platform::toUtf16(value.text).size() + 1) * sizeof(char16_t) > kMaxValueDataBytes) {
        return std::nullopt;
    }
    const std::string_view text = value.text;
    const std::size_t first = text.find(',');
    const std::size_t last = text.rfind(',');
    if (first == std::string_view::npos || first == last) {
        return std::nullopt;
    }
    StoredNetwork stored;
    stored.network = static_cast<uint32_t>(leadingInteger(value.name));
    stored.hardware = static_cast<uint32_t>(leadingInteger(text.substr(0, first)));
    stored.registerValue = static_cast<uint32_t>(leadingInteger(text.substr(first + 1, last - first - 1)));
    stored.name = ostrel::platform::toUtf16(text.substr(last + 1));
    return stored;
}

std::vector<StoredNetwork> storedNetworks() {
    std::vector<StoredNetwork> networks;
    const auto key = RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey);
    if (!key) {
        return networks;
    }
    for (const auto& value : key->values()) {
        if (auto stored = parseStoredNetwork(value)) {
            networks.push_back(std::move(*stored));
        }
    }
    return networks;
}

void registerStoredNetworks(const Api& api) {
    for (const StoredNetwork& stored : storedNetworks()) {
        (void)registerIfMissing(api, stored.network, stored.name, stored.registerValue, stored.hardware);
    }
}

// ---- slots ----

void status(uint32_t* status, ResultBlock* result) { driver().status(status, result); }

void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame, uint8_t* data,
             uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result) {
    driver().receive(id, length, extended, remote, errorFrame, data, timeMs, timeMsOverflow, timeUs, result);
}

int32_t initDriver() {
    if (!driver().resolve()) {
        return DRN_NOT_INITIALIZED;
    }
    registerStoredNetworks(*driver().api());
    return DRN_OK;
}

void closeDriver() {
    // The library is unloaded after this: nothing of it may stay in use.
    driver().close();
    driver().forget();
}

// Reserved slot: whether the network stored under `network` is registered (registering it when not).
// The name travels in the registry, as no text fits into a word here.
int32_t addNetworksToHardware(uint32_t network, uint32_t, uint32_t registerValue, uint32_t hardware) {
    const auto api = driver().api();
    if (!api) {
        return 0;
    }
    for (const StoredNetwork& stored : storedNetworks()) {
        if (stored.network == network) {
            return registerIfMissing(*api, network, stored.name, registerValue, hardware) ? 1 : 0;
        }
    }
    return 0;
}

void getCurrentTime(CANTimeStamp* time) { driver().getCurrentTime(time); }

int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    const auto api = driver().api();
    if (!api || hardware == nullptr || maxCount <= 0) {
        return 0;
    }
    int32_t count = 0;
    ostrel::platform::copyField(hardware[count].name, DRN_HARDWARE_NAME_CHARS, u"Internal");
    hardware[count++].hardwareHandle = 0;
    const uint32_t last = std::min<uint32_t>(static_cast<uint32_t>(maxCount), kMaxHardwareHandle);
    for (uint32_t handle = 1; handle <= last && count < maxCount; ++handle) {
        std::array<char, DRN_HARDWARE_NAME_CHARS> name{};
        if (api->getHwParam(handle, KOBAL_HW_NAME, name.data(), static_cast<uint32_t>(name.size())) != KOBAL_OK) {
            continue;
        }
        name.back() = '\0';
        ostrel::platform::copyField(hardware[count].name, DRN_HARDWARE_NAME_CHARS,
                                    ostrel::platform::toUtf16(name.data()));
        hardware[count++].hardwareHandle = handle;
    }
    return count > 1 ? count : 0;  // "Internal" alone means no interface
}

int32_t addNetwork(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle) {
    const auto api = driver().api();
    if (!api || name == nullptr) {
        return -1;
    }
    const std::u16string_view given(name, ostrel::platform::u16len(name));
    const std::u16string_view wanted = given.substr(0, std::min<std::size_t>(given.size(), DRN_NETWORK_NAME_CHARS));
    uint32_t network = 0;  // none free: the library refuses handle 0
    for (uint32_t handle = 1; handle <= KOBAL_MAX_NETWORKS; ++handle) {
        if (!driver().networkName(*api, handle)) {
            network = handle;
            break;
        }
    }
    const uint32_t registerValue = registerValueForNewNetwork(baudKbit);
    if (!registerIfMissing(*api, network, wanted, registerValue, hardwareHandle)) {
        return -1;
    }
    // Registered, so its name fits the library's 19 bytes.
    if (auto key = RegistryKey::create(RegistryRoot::CurrentUser, kNetworksKey)) {
        (void)key->writeString(std::to_string(network), std::to_string(hardwareHandle) + "," +
                                                            std::to_string(registerValue) + "," +
                                                            ostrel::platform::toUtf8(wanted));
    }
    return static_cast<int32_t>(network);
}

int32_t deleteNetwork(uint32_t networkHandle) {
    const auto api = driver().api();
    if (!api) {
        return DRN_NOT_INITIALIZED;
    }
    if (networkHandle == static_cast<uint32_t>(-1)) {
        return DRN_DELETE_FAILED;
    }
    const int32_t removed = api->removeNet(networkHandle);
    if (auto key = RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey)) {
        (void)key->deleteValue(std::to_string(networkHandle));
    }
    return removed == KOBAL_OK ? DRN_OK : DRN_DELETE_FAILED;
}

int32_t getBaudrate(uint32_t networkHandle) { return driver().getBaudrate(networkHandle); }

void initialize(uint32_t networkHandle, const char16_t* clientName, uint32_t windowHandle, uint32_t reserved,
                ResultBlock* result) {
    driver().initialize(networkHandle, clientName, windowHandle, reserved, result, registerStoredNetworks);
}

void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    driver().switchNetworks(connect, networkHandle, result);
}

void close() { driver().close(); }

void reset() { driver().reset(); }

int32_t errorFrames(int32_t on) {
    const auto api = driver().api();
    if (!api) {
        return DRN_NOT_INITIALIZED;
    }
    return api->setClientParam(driver().receiveClient(), KOBAL_CLIENT_ERROR_FRAMES, on == 1 ? 1 : 0) == KOBAL_OK
               ? DRN_OK
               : DRN_NOT_INITIALIZED;
}

void oneShot(int32_t on) {
    if (driver().api() && (on == 0 || on == 1)) {
        driver().setOneShot(on == 1);
    }
}

// The library always hands the transmit client's frames to the receive client: only "on" is possible.
void selfReceive(int32_t on, ResultBlock* result) {
    if (driver().api()) {
        setResult(result, on == 1 ? DRN_OK : DRN_REFUSED);
    } else {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
    }
}

int32_t isNetworkFunctional() { return driver().isNetworkFunctional(); }

void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote, int32_t errorFrame,
              ResultBlock* result) {
    driver().transmit(id, length, data, extended, remote, errorFrame, result);
}

void setTransmitCallback(TransmitCallback callback, void* user) { driver().setTransmitCallback(callback, user); }

} // namespace

void fillKobalapi2Ops(DriverOps& ops) {
    ops = DRENNIC_DRIVER_OPS_OF_SCOPE;
    ops.SelfReceiving = [] { return int32_t{1}; };  // the receive client gets the transmit client's frames
}

} // namespace drennic
