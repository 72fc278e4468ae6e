#include "kobal_model.h"

#include <platform/utf16.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace ostrel::simkobal {
namespace {

constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;
constexpr uint8_t kKnownTypeBits = KOBAL_MSG_REMOTE | KOBAL_MSG_EXTENDED | KOBAL_MSG_SINGLE_SHOT | KOBAL_MSG_ERROR;

std::string hex(uint32_t value) {
    char text[16] = "0x";
    auto [end, ec] = std::to_chars(text + 2, text + sizeof text, value, 16);
    (void)ec;
    return std::string(text, end);
}

std::string dec(uint64_t value) { return std::to_string(value); }

bool validNetworkHandle(uint32_t network) { return network >= 1 && network <= KOBAL_MAX_NETWORKS; }

// The longest prefix of `text` within `maxBytes` that does not split a UTF-8 sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

bool putU32(void* buffer, uint32_t size, uint32_t value) {
    if (buffer == nullptr || size < sizeof value) {
        return false;
    }
    std::memcpy(buffer, &value, sizeof value);
    return true;
}

simbus::Frame toFrame(const KobalMessage& message) {
    simbus::Frame frame;
    frame.id = message.id;
    frame.length = message.length;
    frame.extended = (message.type & KOBAL_MSG_EXTENDED) != 0;
    frame.remote = (message.type & KOBAL_MSG_REMOTE) != 0;
    frame.error = (message.type & KOBAL_MSG_ERROR) != 0;
    std::memcpy(frame.data, message.data, sizeof frame.data);
    return frame;
}

KobalMessage toMessage(const simbus::Frame& frame) {
    KobalMessage message{};
    message.id = frame.id;
    message.type = static_cast<uint8_t>((frame.extended ? KOBAL_MSG_EXTENDED : 0) | (frame.remote ? KOBAL_MSG_REMOTE : 0) |
                                        (frame.error ? KOBAL_MSG_ERROR : 0));
    message.length = std::min<uint8_t>(frame.length, 8);
    std::memcpy(message.data, frame.data, sizeof message.data);
    return message;
}

} // namespace

KobalTimeStamp toTimeStamp(uint64_t timeUs) {
    const uint64_t ms = timeUs / 1000;
    KobalTimeStamp stamp{};
    stamp.ms = static_cast<uint32_t>(ms);
    stamp.msOverflow = static_cast<uint16_t>(ms >> 32);
    stamp.us = static_cast<uint16_t>(timeUs % 1000);
    return stamp;
}

KobalModel::KobalModel(std::string library, TextEncoding encoding, std::vector<simbus::HardwareEntry> defaultHardware)
    : library_(std::move(library)), encoding_(encoding) {
    simbus::registerLibrary(library_, std::move(defaultHardware), [this] { resetState(); });
}

KobalModel::~KobalModel() {
    simbus::unregisterLibrary(library_);
    resetState();
}

std::optional<int32_t> KobalModel::fault(std::string_view function, uint32_t detail) const {
    std::optional<int32_t> result = simbus::takeFault(library_, function, detail);
    if (result) {
        note(std::string(function) + " -> provoked " + hex(static_cast<uint32_t>(*result)));
    }
    return result;
}

void KobalModel::note(std::string text) const { simbus::record(library_, std::move(text)); }

bool KobalModel::hardwarePresent(uint32_t hardware) const {
    // Handle 0 is the library's internal bus: always there, on no wire.
    return hardware == 0 || simbus::findHardware(library_, hardware).has_value();
}

int32_t KobalModel::copyName(std::string_view utf8, void* buffer, uint32_t size) const {
    if (buffer == nullptr || size == 0) {
        return KOBAL_ERR_PARAMETER;
    }
    if (encoding_ == TextEncoding::Utf8) {
        const std::string_view text = utf8Prefix(utf8, size - 1);
        char* out = static_cast<char*>(buffer);
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
    } else {
        (void)platform::copyBounded(static_cast<char16_t*>(buffer), size, platform::toUtf16(utf8));
    }
    return KOBAL_OK;
}

int32_t KobalModel::getHwParam(uint32_t hardware, uint32_t param, void* buffer, uint32_t size) {
    if (auto result = fault("CAN_GetHwParam", param)) {
        return *result;
    }
    if (param != KOBAL_HW_NAME) {
        return KOBAL_ERR_PARAMETER;
    }
    const std::optional<simbus::HardwareEntry> entry = simbus::findHardware(library_, hardware);
    if (!entry) {
        return KOBAL_ERR_NO_HARDWARE;
    }
    return copyName(entry->name, buffer, size);
}

int32_t KobalModel::setHwParam(uint32_t hardware, uint32_t param, const void* buffer, uint32_t size) {
    if (auto result = fault("CAN_SetHwParam", param)) {
        return *result;
    }
    (void)buffer;
    note("CAN_SetHwParam hw=" + dec(hardware) + " param=" + dec(param) + " size=" + dec(size));
    // The simulated hardware has no settable parameters.
    return hardwarePresent(hardware) ? KOBAL_ERR_PARAMETER : KOBAL_ERR_NO_HARDWARE;
}

int32_t KobalModel::getNetParam(uint32_t network, uint32_t param, void* buffer, uint32_t size) {
    if (auto result = fault("CAN_GetNetParam", param)) {
        return *result;
    }
    std::unique_lock lock(mutex_);
    auto it = networks_.find(network);
    if (it == networks_.end()) {
        return KOBAL_ERR_NO_NETWORK;
    }
    const Network net = it->second;
    lock.unlock();
    switch (param) {
    case KOBAL_NET_NAME:
        return copyName(net.name, buffer, size);
    case KOBAL_NET_BIT_RATE:
        return putU32(buffer, size, net.bitRate) ? KOBAL_OK : KOBAL_ERR_PARAMETER;
    case KOBAL_NET_HARDWARE:
        return putU32(buffer, size, net.hardware) ? KOBAL_OK : KOBAL_ERR_PARAMETER;
    case KOBAL_NET_DELAYED_DISTRIBUTION:
        return putU32(buffer, size, net.delayedDistribution ? 1 : 0) ? KOBAL_OK : KOBAL_ERR_PARAMETER;
    default:
        return KOBAL_ERR_PARAMETER;
    }
}

int32_t KobalModel::setNetParam(uint32_t network, uint32_t param, uint32_t value) {
    if (auto result = fault("CAN_SetNetParam", param)) {
        return *result;
    }
    std::lock_guard lock(mutex_);
    auto it = networks_.find(network);
    int32_t result = KOBAL_OK;
    if (it == networks_.end()) {
        result = KOBAL_ERR_NO_NETWORK;
    } else if (param != KOBAL_NET_DELAYED_DISTRIBUTION || value > 1) {
        result = KOBAL_ERR_PARAMETER;
    } else {
        it->second.delayedDistribution = value == 1;
    }
    note("CAN_SetNetParam net=" + dec(network) + " param=" + dec(param) + " value=" + dec(value) + " -> " +
         hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::registerNet(uint32_t network, const char* name, uint32_t hardware, uint32_t bitRate) {
    if (auto result = fault("CAN_RegisterNet")) {
        return *result;
    }
    const std::string text = name != nullptr ? std::string(name) : std::string();
    int32_t result = KOBAL_OK;
    {
        std::lock_guard lock(mutex_);
        const bool nameTaken = std::any_of(networks_.begin(), networks_.end(),
                                           [&](const auto& entry) { return entry.second.name == text; });
        if (!validNetworkHandle(network)) {
            result = KOBAL_ERR_HANDLE;
        } else if (name == nullptr || text.empty() || text.size() > KOBAL_MAX_NET_NAME_BYTES) {
            result = KOBAL_ERR_NAME;
        } else if (networks_.count(network) != 0 || nameTaken) {
            result = KOBAL_ERR_EXISTS;
        } else if (!hardwarePresent(hardware)) {
            result = KOBAL_ERR_NO_HARDWARE;
        } else {
            Network net;
            net.name = text;
            net.hardware = hardware;
            net.bitRate = bitRate;
            networks_.emplace(network, std::move(net));
        }
    }
    note("CAN_RegisterNet net=" + dec(network) + " name=\"" + text + "\" hw=" + dec(hardware) + " rate=" +
         hex(bitRate) + " -> " + hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::removeNet(uint32_t network) {
    if (auto result = fault("CAN_RemoveNet")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    {
        std::lock_guard lock(mutex_);
        const bool inUse = std::any_of(clients_.begin(), clients_.end(),
                                       [&](const auto& entry) { return entry.second.networks.count(network) != 0; });
        if (networks_.count(network) == 0) {
            result = KOBAL_ERR_NO_NETWORK;
        } else if (inUse) {
            result = KOBAL_ERR_IN_USE;
        } else {
            networks_.erase(network);
        }
    }
    note("CAN_RemoveNet net=" + dec(network) + " -> " + hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::registerClient(const char* name, uint32_t windowHandle, uint8_t* client) {
    if (auto result = fault("CAN_RegisterClient")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    uint8_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (name == nullptr || *name == '\0' || client == nullptr) {
            result = KOBAL_ERR_PARAMETER;
        } else {
            for (uint8_t candidate = 1; candidate <= kMaxClients; ++candidate) {
                if (clients_.count(candidate) == 0) {
                    handle = candidate;
                    break;
                }
            }
            if (handle == 0) {
                result = KOBAL_ERR_NO_RESOURCES;
            } else {
                Client entry;
                entry.name = name;
                entry.windowHandle = windowHandle;
                clients_.emplace(handle, std::move(entry));
                *client = handle;
            }
        }
    }
    note("CAN_RegisterClient name=\"" + std::string(name != nullptr ? name : "") + "\" window=" + hex(windowHandle) +
         " -> " + hex(static_cast<uint32_t>(result)) + " client=" + dec(handle));
    return result;
}

int32_t KobalModel::removeClient(uint8_t client) {
    if (auto result = fault("CAN_RemoveClient")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    {
        // A running signal of the client's event ends before the client goes.
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        if (clients_.erase(client) == 0) {
            result = KOBAL_ERR_HANDLE;
        }
    }
    syncPorts();
    note("CAN_RemoveClient client=" + dec(client) + " -> " + hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::connectToNet(uint8_t client, std::optional<std::string> networkName, uint8_t* network) {
    if (auto result = fault("CAN_ConnectToNet")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    uint32_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        auto found = networkName ? std::find_if(networks_.begin(), networks_.end(),
                                                [&](const auto& entry) { return entry.second.name == *networkName; })
                                 : networks_.end();
        auto owner = clients_.find(client);
        if (owner == clients_.end()) {
            result = KOBAL_ERR_HANDLE;
        } else if (network == nullptr) {
            result = KOBAL_ERR_PARAMETER;
        } else if (found == networks_.end()) {
            result = KOBAL_ERR_NO_NETWORK;
        } else if (!hardwarePresent(found->second.hardware)) {
            result = KOBAL_ERR_NO_HARDWARE;
        } else {
            handle = found->first;
            owner->second.networks.insert(handle);  // connecting again is no error
            *network = static_cast<uint8_t>(handle);
        }
    }
    if (result == KOBAL_OK) {
        syncPorts();
    }
    note("CAN_ConnectToNet client=" + dec(client) + " name=\"" + networkName.value_or("") + "\" -> " +
         hex(static_cast<uint32_t>(result)) + " net=" + dec(handle));
    return result;
}

int32_t KobalModel::disconnectFromNet(uint8_t client, uint32_t network) {
    if (auto result = fault("CAN_DisconnectFromNet")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    {
        std::lock_guard lock(mutex_);
        auto owner = clients_.find(client);
        if (owner == clients_.end()) {
            result = KOBAL_ERR_HANDLE;
        } else if (owner->second.networks.erase(network) == 0) {
            result = KOBAL_ERR_NOT_CONNECTED;
        } else {
            Client& c = owner->second;
            std::erase_if(c.ranges, [&](const Range& range) { return range.network == network; });
            std::erase_if(c.queue, [&](const Queued& queued) { return queued.network == network; });
        }
    }
    syncPorts();
    note("CAN_DisconnectFromNet client=" + dec(client) + " net=" + dec(network) + " -> " +
         hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::registerMsg(uint8_t client, uint32_t network, const KobalMsgBound* low, const KobalMsgBound* high) {
    if (auto result = fault("CAN_RegisterMsg")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    std::string range = "none";
    {
        std::lock_guard lock(mutex_);
        auto owner = clients_.find(client);
        if (owner == clients_.end()) {
            result = KOBAL_ERR_HANDLE;
        } else if (owner->second.networks.count(network) == 0) {
            result = KOBAL_ERR_NOT_CONNECTED;
        } else if (low == nullptr || high == nullptr || low->type != high->type ||
                   (low->type != 0 && low->type != KOBAL_MSG_EXTENDED) || low->id > high->id ||
                   high->id > (low->type == KOBAL_MSG_EXTENDED ? kMaxExtendedId : kMaxStandardId)) {
            result = KOBAL_ERR_PARAMETER;
        } else {
            Range entry;
            entry.network = network;
            entry.low = low->id;
            entry.high = high->id;
            entry.extended = low->type == KOBAL_MSG_EXTENDED;
            owner->second.ranges.push_back(entry);
            range = hex(low->id) + ".." + hex(high->id) + (entry.extended ? " ext" : " std");
        }
    }
    note("CAN_RegisterMsg client=" + dec(client) + " net=" + dec(network) + " range=" + range + " -> " +
         hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::setClientParam(uint8_t client, uint32_t param, uintptr_t value) {
    if (auto result = fault("CAN_SetClientParam", param)) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        auto owner = clients_.find(client);
        if (owner == clients_.end()) {
            result = KOBAL_ERR_HANDLE;
        } else if (param == KOBAL_CLIENT_RX_EVENT) {
            const auto* event = reinterpret_cast<const KobalEvent*>(value);
            if (event == nullptr) {
                owner->second.event.reset();
            } else if (event->signal == nullptr) {
                result = KOBAL_ERR_PARAMETER;
            } else {
                owner->second.event = *event;
            }
        } else if (param == KOBAL_CLIENT_ERROR_FRAMES && value <= 1) {
            owner->second.errorFrames = value == 1;
        } else {
            result = KOBAL_ERR_PARAMETER;
        }
    }
    note("CAN_SetClientParam client=" + dec(client) + " param=" + dec(param) + " value=" +
         (param == KOBAL_CLIENT_RX_EVENT ? std::string(value != 0 ? "event" : "0") : dec(value)) + " -> " +
         hex(static_cast<uint32_t>(result)));
    return result;
}

bool KobalModel::takes(const Client& client, uint32_t network, const simbus::Frame& frame) const {
    if (frame.error) {
        return client.errorFrames;
    }
    return std::any_of(client.ranges.begin(), client.ranges.end(), [&](const Range& range) {
        return range.network == network && range.extended == frame.extended && frame.id >= range.low &&
               frame.id <= range.high;
    });
}

std::vector<uint8_t> KobalModel::deliverLocked(uint32_t hardware, const simbus::Frame& frame, uint64_t timeUs,
                                               uint8_t except) {
    std::vector<uint8_t> due;
    for (auto& [handle, client] : clients_) {
        if (handle == except) {
            continue;
        }
        for (uint32_t network : client.networks) {
            auto net = networks_.find(network);
            if (net == networks_.end() || net->second.hardware != hardware || !takes(client, network, frame)) {
                continue;
            }
            Queued queued;
            queued.message = toMessage(frame);
            queued.network = static_cast<uint8_t>(network);
            queued.timeUs = timeUs;
            client.queue.push_back(queued);
            if (client.queue.size() > kQueueCapacity) {
                client.queue.pop_front();  // the newest frames are worth more than the oldest
            }
            if (client.event) {
                due.push_back(handle);
            }
            break;  // one copy per client
        }
    }
    return due;
}

void KobalModel::signal(const std::vector<uint8_t>& clients) {
    if (clients.empty()) {
        return;
    }
    std::lock_guard events(eventMutex_);
    for (uint8_t handle : clients) {
        std::optional<KobalEvent> event;
        {
            std::lock_guard lock(mutex_);
            if (auto it = clients_.find(handle); it != clients_.end()) {
                event = it->second.event;
            }
        }
        if (event) {
            event->signal(event->context);
        }
    }
}

void KobalModel::onWire(uint32_t hardware, const simbus::Frame& frame, uint64_t timeUs) {
    std::vector<uint8_t> due;
    {
        std::lock_guard lock(mutex_);
        due = deliverLocked(hardware, frame, timeUs, 0);
    }
    signal(due);
}

int32_t KobalModel::write(uint8_t client, uint32_t network, const KobalMessage* message, const KobalTimeStamp* time) {
    if (auto result = fault("CAN_Write")) {
        return *result;
    }
    (void)time;  // sent at once whatever the stamp says
    int32_t result = KOBAL_OK;
    simbus::PortId port = 0;
    simbus::Frame frame;
    std::vector<uint8_t> due;
    {
        std::lock_guard lock(mutex_);
        auto owner = clients_.find(client);
        auto net = networks_.find(network);
        if (owner == clients_.end()) {
            result = KOBAL_ERR_HANDLE;
        } else if (net == networks_.end() || owner->second.networks.count(network) == 0) {
            result = KOBAL_ERR_NOT_CONNECTED;
        } else if (message == nullptr || message->length > 8 || (message->type & ~kKnownTypeBits) != 0 ||
                   message->id > ((message->type & KOBAL_MSG_EXTENDED) != 0 ? kMaxExtendedId : kMaxStandardId)) {
            result = KOBAL_ERR_PARAMETER;
        } else if ((simbus::hardwareStatus(library_, net->second.hardware) & KOBAL_STATUS_BUS_OFF) != 0) {
            result = KOBAL_ERR_BUS_OFF;
        } else {
            frame = toFrame(*message);
            // The other clients hear it first, as the controller's own reception does.
            due = deliverLocked(net->second.hardware, frame, simbus::nowUs(), client);
            if (auto it = ports_.find(net->second.hardware); it != ports_.end()) {
                port = it->second;
            }
        }
    }
    signal(due);
    if (port != 0) {
        (void)simbus::transmit(port, frame);
    }
    std::string text = "CAN_Write client=" + dec(client) + " net=" + dec(network);
    if (message != nullptr) {
        text += " id=" + hex(message->id) + " type=" + hex(message->type) + " len=" + dec(message->length);
    }
    note(text + " -> " + hex(static_cast<uint32_t>(result)));
    return result;
}

int32_t KobalModel::read(uint8_t client, KobalMessage* message, uint8_t* network, KobalTimeStamp* time) {
    if (auto result = fault("CAN_Read")) {
        return *result;
    }
    std::lock_guard lock(mutex_);
    auto owner = clients_.find(client);
    if (owner == clients_.end()) {
        return KOBAL_ERR_HANDLE;
    }
    if (message == nullptr) {
        return KOBAL_ERR_PARAMETER;
    }
    auto& queue = owner->second.queue;
    if (queue.empty()) {
        return KOBAL_ERR_QUEUE_EMPTY;
    }
    const Queued queued = queue.front();
    queue.pop_front();
    *message = queued.message;
    if (network != nullptr) {
        *network = queued.network;
    }
    if (time != nullptr) {
        *time = toTimeStamp(queued.timeUs);
    }
    return KOBAL_OK;
}

int32_t KobalModel::getSystemTime(KobalTimeStamp* time) {
    if (auto result = fault("CAN_GetSystemTime")) {
        return *result;
    }
    if (time == nullptr) {
        return KOBAL_ERR_PARAMETER;
    }
    *time = toTimeStamp(simbus::nowUs());
    return KOBAL_OK;
}

uint32_t KobalModel::status(uint32_t hardware) {
    if (auto result = fault("CAN_Status")) {
        return static_cast<uint32_t>(*result);
    }
    if (!hardwarePresent(hardware)) {
        return KOBAL_STATUS_HARDWARE_FAULT;
    }
    return simbus::hardwareStatus(library_, hardware);
}

int32_t KobalModel::resetHardware(uint32_t hardware) {
    if (auto result = fault("CAN_ResetHardware")) {
        return *result;
    }
    int32_t result = KOBAL_OK;
    if (!hardwarePresent(hardware)) {
        result = KOBAL_ERR_NO_HARDWARE;
    } else {
        simbus::setHardwareStatus(library_, hardware, 0);  // a controller reset leaves bus-off
    }
    note("CAN_ResetHardware hw=" + dec(hardware) + " -> " + hex(static_cast<uint32_t>(result)));
    return result;
}

void KobalModel::syncPorts() {
    std::lock_guard ports(portsMutex_);
    std::set<uint32_t> wanted;
    std::vector<simbus::PortId> toClose;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : clients_) {
            for (uint32_t network : entry.second.networks) {
                if (auto net = networks_.find(network); net != networks_.end() && net->second.hardware != 0) {
                    wanted.insert(net->second.hardware);
                }
            }
        }
        for (auto it = ports_.begin(); it != ports_.end();) {
            if (wanted.erase(it->first) == 0) {
                toClose.push_back(it->second);
                it = ports_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Outside mutex_: a closing port may be delivering into onWire right now.
    for (simbus::PortId port : toClose) {
        (void)simbus::closePort(port);
    }
    for (uint32_t hardware : wanted) {
        const simbus::PortId port = simbus::openPort(
            library_, hardware, [this, hardware](const simbus::Frame& frame, uint64_t timeUs) {
                onWire(hardware, frame, timeUs);
            });
        std::lock_guard lock(mutex_);
        ports_.emplace(hardware, port);
    }
}

void KobalModel::resetState() {
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        clients_.clear();
        networks_.clear();
    }
    syncPorts();
}

} // namespace ostrel::simkobal
