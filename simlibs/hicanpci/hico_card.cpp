#include "hico_card.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>

namespace ostrel::simhico {
namespace {

constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;
constexpr uint64_t kUsPerMs = 1000;
constexpr uint64_t kMsPerSecond = 1000;
constexpr uint64_t kSecondsPerDay = 86400;

std::string hex(uint32_t value) {
    char text[16] = "0x";
    auto [end, ec] = std::to_chars(text + 2, text + sizeof text, value, 16);
    (void)ec;
    return std::string(text, end);
}

std::string dec(uint64_t value) { return std::to_string(value); }

std::string resultText(int32_t result) { return " -> " + hex(static_cast<uint32_t>(result)); }

bool knownBaud(uint32_t baud) {
    switch (baud) {
    case HICO_BAUD_10K:
    case HICO_BAUD_20K:
    case HICO_BAUD_50K:
    case HICO_BAUD_125K:
    case HICO_BAUD_250K:
    case HICO_BAUD_500K:
    case HICO_BAUD_800K:
    case HICO_BAUD_1M:
        return true;
    default:
        return false;
    }
}

bool validMessage(const HiCanMessage* message) {
    return message != nullptr && message->length <= 8 && message->extended <= 1 && message->remote <= 1 &&
           message->id <= (message->extended != 0 ? kMaxExtendedId : kMaxStandardId);
}

} // namespace

HiCanTimeStamp toCardTime(uint64_t us) {
    const uint64_t ms = us / kUsPerMs;
    const uint64_t seconds = ms / kMsPerSecond;
    HiCanTimeStamp time{};
    time.microsecond = static_cast<uint16_t>(us % kUsPerMs);
    time.millisecond = static_cast<uint16_t>(ms % kMsPerSecond);
    time.second = static_cast<uint16_t>(seconds % 60);
    time.minute = static_cast<uint8_t>((seconds / 60) % 60);
    time.hour = static_cast<uint8_t>((seconds / 3600) % 24);
    time.day = static_cast<uint16_t>(seconds / kSecondsPerDay);  // the card's day counter wraps
    return time;
}

uint64_t fromCardTime(const HiCanTimeStamp& time) {
    const uint64_t seconds = uint64_t{time.day} * kSecondsPerDay + uint64_t{time.hour} * 3600 +
                             uint64_t{time.minute} * 60 + time.second;
    return (seconds * kMsPerSecond + time.millisecond) * kUsPerMs + time.microsecond;
}

HicoCard::HicoCard() {
    simbus::registerLibrary(kLibraryName, {{0, "PCI CAN 0", 0}, {1, "PCI CAN 1", 0}}, [this] { resetState(); });
}

HicoCard::~HicoCard() {
    simbus::unregisterLibrary(kLibraryName);
    resetState();
}

std::optional<int32_t> HicoCard::fault(std::string_view function, uint32_t detail) const {
    std::optional<int32_t> result = simbus::takeFault(kLibraryName, function, detail);
    if (result) {
        note(std::string(function) + " -> provoked " + hex(static_cast<uint32_t>(*result)));
    }
    return result;
}

void HicoCard::note(std::string text) const { simbus::record(kLibraryName, std::move(text)); }

template <typename Change>
int32_t HicoCard::changeChannel(std::string_view function, uint32_t channel, const std::string& details,
                                uint32_t faultDetail, Change change) {
    if (auto result = fault(function, faultDetail)) {
        return *result;
    }
    int32_t result = HICO_ERR_CHANNEL_CLOSED;
    {
        std::lock_guard lock(mutex_);
        if (Channel* c = channelLocked(channel)) {
            result = change(*c);
        }
    }
    note(std::string(function) + " channel=" + dec(channel) + details + resultText(result));
    return result;
}

HicoCard::Channel* HicoCard::channelLocked(uint32_t channel) {
    auto it = channels_.find(channel);
    return it == channels_.end() ? nullptr : &it->second;
}

std::optional<uint32_t> HicoCard::currentNodeLocked() const {
    if (openOrder_.empty()) {
        return std::nullopt;
    }
    return openOrder_.back();
}

std::optional<int32_t> HicoCard::takeReportLocked(uint32_t number, Channel& channel) {
    const uint32_t state = simbus::hardwareStatus(kLibraryName, number);
    if (state == channel.reportedState) {
        return std::nullopt;
    }
    channel.reportedState = state;
    if (state == HICO_STATE_BUS_OFF || state == HICO_STATE_ERROR_PASSIVE) {
        return HICO_STATUS_REPORT | static_cast<int32_t>(state);
    }
    return std::nullopt;  // back to error active goes without a report
}

HiCanTimeStamp HicoCard::cardTime(const Channel& channel, uint64_t busTimeUs) const {
    const int64_t span = static_cast<int64_t>(busTimeUs) - channel.clockOffsetUs;
    return toCardTime(span > 0 ? static_cast<uint64_t>(span) : 0);
}

void HicoCard::push(Channel& channel, const simbus::Frame& frame, uint64_t timeUs) {
    channel.queue.push_back(Queued{frame, timeUs});
    if (channel.queue.size() > kQueueCapacity) {
        channel.queue.pop_front();  // the controller's overrun: the oldest message is lost
        channel.overrun = true;
    }
}

void HicoCard::signal(uint32_t channel, uint64_t serial) {
    std::lock_guard events(eventMutex_);
    std::optional<HiCanEvent> event;
    {
        std::lock_guard lock(mutex_);
        if (Channel* c = channelLocked(channel); c != nullptr && c->serial == serial) {
            event = c->event;
        }
    }
    if (event) {
        event->signal(event->context);
    }
}

void HicoCard::onWire(uint32_t channel, uint64_t serial, const simbus::Frame& frame, uint64_t timeUs) {
    {
        std::lock_guard lock(mutex_);
        Channel* c = channelLocked(channel);
        // A stopped controller hears nothing; the card's message has no place for error frames.
        if (c == nullptr || c->serial != serial || !c->started || frame.error) {
            return;
        }
        push(*c, frame, timeUs);
    }
    arrived_.notify_all();
    signal(channel, serial);
}

void HicoCard::closePorts(const std::vector<simbus::PortId>& ports) {
    for (simbus::PortId port : ports) {
        (void)simbus::closePort(port);
    }
}

int32_t HicoCard::openDriver() {
    if (auto result = fault("HiCOCANOpenDriver")) {
        return *result;
    }
    {
        std::lock_guard lock(mutex_);
        driverOpen_ = true;  // opening again is no error
    }
    note("HiCOCANOpenDriver -> 0x0");
    return HICO_OK;
}

int32_t HicoCard::closeDriver() {
    if (auto result = fault("HiCOCANCloseDriver")) {
        return *result;
    }
    std::lock_guard ports(portsMutex_);
    std::vector<simbus::PortId> toClose;
    int32_t result = HICO_OK;
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        if (!driverOpen_) {
            result = HICO_ERR_DRIVER_CLOSED;
        } else {
            for (const auto& entry : channels_) {
                toClose.push_back(entry.second.port);
            }
            channels_.clear();
            openOrder_.clear();
            driverOpen_ = false;
        }
    }
    arrived_.notify_all();
    closePorts(toClose);
    note("HiCOCANCloseDriver" + resultText(result));
    return result;
}

int32_t HicoCard::open(uint32_t channel) {
    if (auto result = fault("HiCOCANOpen")) {
        return *result;
    }
    std::lock_guard ports(portsMutex_);
    int32_t result = HICO_OK;
    uint64_t serial = 0;
    {
        std::lock_guard lock(mutex_);
        if (!driverOpen_) {
            result = HICO_ERR_DRIVER_CLOSED;
        } else if (!simbus::findHardware(kLibraryName, channel)) {
            result = HICO_ERR_NO_CHANNEL;
        } else if (channels_.count(channel) != 0) {
            result = HICO_ERR_CHANNEL_OPEN;
        } else {
            serial = nextSerial_++;
            Channel entry;
            entry.serial = serial;
            channels_.emplace(channel, std::move(entry));
            openOrder_.push_back(channel);
        }
    }
    if (result == HICO_OK) {
        const simbus::PortId port = simbus::openPort(
            kLibraryName, channel,
            [this, channel, serial](const simbus::Frame& frame, uint64_t timeUs) { onWire(channel, serial, frame, timeUs); });
        std::lock_guard lock(mutex_);
        channelLocked(channel)->port = port;  // only this thread closes, under portsMutex_
    }
    note("HiCOCANOpen channel=" + dec(channel) + resultText(result));
    return result;
}

int32_t HicoCard::close(uint32_t channel) {
    if (auto result = fault("HiCOCANClose")) {
        return *result;
    }
    std::lock_guard ports(portsMutex_);
    int32_t result = HICO_OK;
    simbus::PortId port = 0;
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        if (!driverOpen_) {
            result = HICO_ERR_DRIVER_CLOSED;
        } else if (Channel* c = channelLocked(channel); c == nullptr) {
            result = HICO_ERR_CHANNEL_CLOSED;
        } else {
            port = c->port;
            channels_.erase(channel);
            std::erase(openOrder_, channel);
        }
    }
    arrived_.notify_all();
    if (port != 0) {
        closePorts({port});
    }
    note("HiCOCANClose channel=" + dec(channel) + resultText(result));
    return result;
}

int32_t HicoCard::start(uint32_t channel) {
    return changeChannel("HiCOCANStart", channel, "", simbus::kAnyDetail, [](Channel& c) {
        if (c.baud == 0) {
            return HICO_ERR_STATE;
        }
        c.started = true;
        return HICO_OK;
    });
}

int32_t HicoCard::stop(uint32_t channel) {
    return changeChannel("HiCOCANStop", channel, "", simbus::kAnyDetail, [](Channel& c) {
        c.started = false;
        return HICO_OK;
    });
}

int32_t HicoCard::setBaud(uint32_t channel, uint32_t baud) {
    return changeChannel("HiCOCANSetBaud", channel, " baud=" + dec(baud), simbus::kAnyDetail, [&](Channel& c) {
        if (c.started) {
            return HICO_ERR_STATE;  // the controller takes a bit rate only while stopped
        }
        if (!knownBaud(baud)) {
            return HICO_ERR_BAUD;
        }
        c.baud = baud;
        return HICO_OK;
    });
}

int32_t HicoCard::canCtrl(uint32_t channel, uint32_t command) {
    return changeChannel("HiCOCANCanCtrl", channel, " command=" + dec(command), command, [&](Channel& c) {
        if (command != HICO_CTRL_SELF_RECEPTION_ON && command != HICO_CTRL_SELF_RECEPTION_OFF) {
            return HICO_ERR_PARAMETER;
        }
        c.selfReception = command == HICO_CTRL_SELF_RECEPTION_ON;
        return HICO_OK;
    });
}

int32_t HicoCard::setTimestamp(uint32_t channel, const HiCanTimeStamp* time) {
    return changeChannel("HiCOCANSetTimestamp", channel, "", simbus::kAnyDetail, [&](Channel& c) {
        if (time == nullptr) {
            return HICO_ERR_PARAMETER;
        }
        // From now on the card's clock reads `time` plus what passes.
        c.clockOffsetUs = static_cast<int64_t>(simbus::nowUs()) - static_cast<int64_t>(fromCardTime(*time));
        return HICO_OK;
    });
}

int32_t HicoCard::write(uint32_t node, const HiCanMessage* message, uint32_t timeoutUs) {
    if (auto result = fault("HiCOCANWrite")) {
        return *result;
    }
    (void)timeoutUs;  // the simulated controller sends at once
    int32_t result = HICO_OK;
    simbus::PortId port = 0;
    simbus::Frame frame;
    std::optional<std::pair<uint32_t, uint64_t>> selfReceived;
    std::optional<uint32_t> number;
    {
        std::lock_guard lock(mutex_);
        number = node == HICO_CURRENT_NODE ? currentNodeLocked() : std::nullopt;
        Channel* c = number ? channelLocked(*number) : nullptr;
        if (node != HICO_CURRENT_NODE) {
            result = HICO_ERR_PARAMETER;
        } else if (c == nullptr) {
            result = HICO_ERR_CHANNEL_CLOSED;
        } else if (!c->started) {
            result = HICO_ERR_STATE;
        } else if (!validMessage(message)) {
            result = HICO_ERR_PARAMETER;
        } else {
            const std::optional<int32_t> report = takeReportLocked(*number, *c);
            if (simbus::hardwareStatus(kLibraryName, *number) == HICO_STATE_BUS_OFF) {
                result = report.value_or(HICO_ERR_BUS_OFF);  // nothing leaves a bus-off controller
            } else {
                result = report.value_or(HICO_OK);
                frame.id = message->id;
                frame.length = message->length;
                frame.extended = message->extended != 0;
                frame.remote = message->remote != 0;
                std::memcpy(frame.data, message->data, sizeof frame.data);
                port = c->port;
                if (c->selfReception) {
                    push(*c, frame, simbus::nowUs());
                    selfReceived.emplace(*number, c->serial);
                }
            }
        }
    }
    if (selfReceived) {
        arrived_.notify_all();
        signal(selfReceived->first, selfReceived->second);
    }
    if (port != 0) {
        (void)simbus::transmit(port, frame);
    }
    std::string text = "HiCOCANWrite node=" + dec(node) + " channel=" + (number ? dec(*number) : std::string("none"));
    if (message != nullptr) {
        text += " id=" + hex(message->id) + " len=" + dec(message->length);
    }
    note(text + resultText(result));
    return result;
}

int32_t HicoCard::read(uint32_t node, HiCanMessage* message, uint32_t timeoutUs) {
    if (auto result = fault("HiCOCANRead")) {
        return *result;
    }
    if (node != HICO_CURRENT_NODE || message == nullptr) {
        return HICO_ERR_PARAMETER;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    std::unique_lock lock(mutex_);
    const std::optional<uint32_t> number = currentNodeLocked();
    Channel* c = number ? channelLocked(*number) : nullptr;
    if (c == nullptr) {
        return HICO_ERR_CHANNEL_CLOSED;
    }
    if (const std::optional<int32_t> report = takeReportLocked(*number, *c)) {
        return *report;  // the message, if any, waits for the next read
    }
    const uint64_t serial = c->serial;
    for (;;) {
        c = channelLocked(*number);
        if (c == nullptr || c->serial != serial) {
            return HICO_ERR_CHANNEL_CLOSED;
        }
        if (!c->queue.empty()) {
            break;
        }
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
            c = channelLocked(*number);
            if (c == nullptr || c->serial != serial) {
                return HICO_ERR_CHANNEL_CLOSED;
            }
            if (c->queue.empty()) {
                return HICO_ERR_TIMEOUT;
            }
            break;
        }
    }
    const Queued queued = c->queue.front();
    c->queue.pop_front();
    HiCanMessage out{};
    out.extended = queued.frame.extended ? 1 : 0;
    out.remote = queued.frame.remote ? 1 : 0;
    out.length = std::min<uint8_t>(queued.frame.length, 8);
    out.id = queued.frame.id;
    std::memcpy(out.data, queued.frame.data, sizeof out.data);
    out.time = cardTime(*c, queued.timeUs);
    *message = out;
    return HICO_OK;
}

int32_t HicoCard::resetContr(uint32_t channel, uint32_t mode) {
    return changeChannel("HiCOCANResetContr", channel, " mode=" + dec(mode), simbus::kAnyDetail, [&](Channel& c) {
        if (mode != HICO_RESET_CONTROLLER) {
            return HICO_ERR_PARAMETER;
        }
        c.started = false;
        c.baud = 0;
        c.selfReception = false;
        c.overrun = false;
        c.queue.clear();
        c.reportedState = HICO_STATE_ERROR_ACTIVE;
        simbus::setHardwareStatus(kLibraryName, channel, HICO_STATE_ERROR_ACTIVE);  // out of bus off
        return HICO_OK;
    });
}

int32_t HicoCard::clrOverrun(uint32_t channel) {
    if (auto result = fault("HiCOCANClrOverrun")) {
        return *result;
    }
    std::lock_guard lock(mutex_);
    Channel* c = channelLocked(channel);
    if (c == nullptr) {
        return HICO_ERR_CHANNEL_CLOSED;
    }
    c->overrun = false;
    return HICO_OK;
}

int32_t HicoCard::registerEvent(uint32_t channel, const HiCanEvent* event) {
    if (auto result = fault("HiCOCANRegisterEvent")) {
        return *result;
    }
    std::lock_guard events(eventMutex_);  // a running signal ends first
    std::lock_guard lock(mutex_);
    Channel* c = channelLocked(channel);
    if (c == nullptr) {
        return HICO_ERR_CHANNEL_CLOSED;
    }
    if (event == nullptr) {
        c->event.reset();
        return HICO_OK;
    }
    if (event->signal == nullptr) {
        return HICO_ERR_PARAMETER;
    }
    c->event = *event;
    return HICO_OK;
}

void HicoCard::resetState() {
    std::lock_guard ports(portsMutex_);
    std::vector<simbus::PortId> toClose;
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        for (const auto& entry : channels_) {
            toClose.push_back(entry.second.port);
        }
        channels_.clear();
        openOrder_.clear();
        driverOpen_ = false;
    }
    arrived_.notify_all();
    closePorts(toClose);
}

} // namespace ostrel::simhico
