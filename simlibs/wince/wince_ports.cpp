#include "wince_ports.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

namespace ostrel::simwince {
namespace {

constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;

std::string hex(uint32_t value) {
    char text[16] = "0x";
    auto [end, ec] = std::to_chars(text + 2, text + sizeof text, value, 16);
    (void)ec;
    return std::string(text, end);
}

std::string dec(int64_t value) { return std::to_string(value); }

bool knownRate(uint32_t kbit) {
    return std::find(std::begin(WINCE_RATES_KBIT), std::end(WINCE_RATES_KBIT), kbit) != std::end(WINCE_RATES_KBIT);
}

std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

} // namespace

std::optional<uint32_t> interfaceOfPortName(std::u16string_view name) {
    constexpr std::u16string_view kPrefix = u"CAN";
    if (name.size() < kPrefix.size() + 2 || name.substr(0, kPrefix.size()) != kPrefix || name.back() != u':') {
        return std::nullopt;
    }
    const std::u16string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - 1);
    if (digits.size() > 3 || (digits.size() > 1 && digits.front() == u'0')) {
        return std::nullopt;
    }
    uint32_t number = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<uint32_t>(c - u'0');
    }
    return number;
}

WincePorts::WincePorts() {
    simbus::registerLibrary(kLibraryName, {{1, "CAN1", 0}, {2, "CAN2", 0}}, [this] { resetState(); });
}

WincePorts::~WincePorts() {
    simbus::unregisterLibrary(kLibraryName);
    resetState();
}

std::optional<int32_t> WincePorts::fault(std::string_view function, uint32_t detail) const {
    std::optional<int32_t> result = simbus::takeFault(kLibraryName, function, detail);
    if (result) {
        note(std::string(function) + " -> provoked " + dec(*result));
    }
    return result;
}

void WincePorts::note(std::string text) const { simbus::record(kLibraryName, std::move(text)); }

WincePorts::Port* WincePorts::portLocked(int32_t port) {
    auto it = ports_.find(port);
    return it == ports_.end() ? nullptr : &it->second;
}

void WincePorts::push(Port& port, const simbus::Frame& frame) {
    port.queue.push_back(frame);
    if (port.queue.size() > kQueueCapacity) {
        port.queue.pop_front();  // the oldest frame is lost, as in the device's own ring
    }
}

void WincePorts::signal(int32_t port) {
    std::lock_guard events(eventMutex_);
    std::optional<WinceEvent> event;
    {
        std::lock_guard lock(mutex_);
        if (Port* p = portLocked(port)) {
            event = p->event;
        }
    }
    if (event) {
        event->signal(event->context);
    }
}

void WincePorts::onWire(int32_t port, const simbus::Frame& frame) {
    {
        std::lock_guard lock(mutex_);
        Port* p = portLocked(port);
        if (p == nullptr || !p->started || (frame.error && !errorFrames_)) {
            return;
        }
        push(*p, frame);
    }
    signal(port);
}

int32_t WincePorts::numberOfInterfaces() {
    if (auto result = fault("WinCE_NumberOfInterfaces")) {
        return *result;
    }
    return static_cast<int32_t>(simbus::hardware(kLibraryName).size());
}

int32_t WincePorts::open(const char16_t* portName, uint32_t rateKbit) {
    if (auto result = fault("WinCE_Open")) {
        return *result;
    }
    std::u16string_view name;
    if (portName != nullptr) {
        std::size_t length = 0;
        while (portName[length] != 0 && length < 64) {
            ++length;
        }
        name = std::u16string_view(portName, length);
    }
    const std::optional<uint32_t> number = interfaceOfPortName(name);
    std::lock_guard opening(portsMutex_);
    int32_t handle = WINCE_INVALID_PORT;
    {
        std::lock_guard lock(mutex_);
        const bool inUse = number && std::any_of(ports_.begin(), ports_.end(), [&](const auto& entry) {
                               return entry.second.interfaceNumber == *number;
                           });
        if (number && knownRate(rateKbit) && !inUse && simbus::findHardware(kLibraryName, *number)) {
            while (ports_.count(nextHandle_) != 0 || nextHandle_ <= 0) {
                nextHandle_ = nextHandle_ >= INT32_MAX - 1 || nextHandle_ <= 0 ? 1 : nextHandle_ + 1;
            }
            handle = nextHandle_++;
            Port entry;
            entry.interfaceNumber = *number;
            entry.rateKbit = rateKbit;
            ports_.emplace(handle, std::move(entry));
        }
    }
    if (handle != WINCE_INVALID_PORT) {
        const simbus::PortId busPort = simbus::openPort(
            kLibraryName, *number, [this, handle](const simbus::Frame& frame, uint64_t) { onWire(handle, frame); });
        std::lock_guard lock(mutex_);
        portLocked(handle)->busPort = busPort;  // only this thread closes, under portsMutex_
    }
    note("WinCE_Open name=\"" + narrow(name) + "\" rate=" + dec(rateKbit) + " -> " + dec(handle));
    return handle;
}

WinceBool WincePorts::close(int32_t port) {
    if (auto result = fault("WinCE_Close")) {
        return *result;
    }
    std::lock_guard closing(portsMutex_);
    simbus::PortId busPort = 0;
    bool found = false;
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        if (Port* p = portLocked(port)) {
            found = true;
            busPort = p->busPort;
            ports_.erase(port);
        }
    }
    if (busPort != 0) {
        (void)simbus::closePort(busPort);  // a delivery into the port has ended when this returns
    }
    note("WinCE_Close port=" + dec(port) + " -> " + dec(found ? 1 : 0));
    return found ? 1 : 0;
}

WinceBool WincePorts::setReceiveEvent(int32_t port, const WinceEvent* event) {
    if (auto result = fault("WinCE_SetReceiveEvent")) {
        return *result;
    }
    std::lock_guard events(eventMutex_);  // a running signal ends first
    std::lock_guard lock(mutex_);
    Port* p = portLocked(port);
    if (p == nullptr || (event != nullptr && event->signal == nullptr)) {
        return 0;
    }
    if (event == nullptr) {
        p->event.reset();
    } else {
        p->event = *event;
    }
    return 1;
}

WinceBool WincePorts::start(int32_t port) {
    if (auto result = fault("WinCE_Start")) {
        return *result;
    }
    WinceBool done = 0;
    {
        std::lock_guard lock(mutex_);
        if (Port* p = portLocked(port)) {
            p->started = true;
            done = 1;
        }
    }
    note("WinCE_Start port=" + dec(port) + " -> " + dec(done));
    return done;
}

WinceBool WincePorts::stop(int32_t port) {
    if (auto result = fault("WinCE_Stop")) {
        return *result;
    }
    WinceBool done = 0;
    {
        std::lock_guard lock(mutex_);
        if (Port* p = portLocked(port)) {
            p->started = false;
            done = 1;
        }
    }
    note("WinCE_Stop port=" + dec(port) + " -> " + dec(done));
    return done;
}

WinceBool WincePorts::transmit(int32_t port, uint32_t id, WinceBool remote, WinceBool extended, WinceBool errorFrame,
                               uint8_t length, const uint8_t* data) {
    if (auto result = fault("WinCE_Transmit")) {
        return *result;
    }
    WinceBool sent = 0;
    simbus::PortId busPort = 0;
    simbus::Frame frame;
    bool selfReceived = false;
    {
        std::lock_guard lock(mutex_);
        Port* p = portLocked(port);
        const bool validFrame = length <= 8 && (length == 0 || data != nullptr) &&
                                id <= (extended != 0 ? kMaxExtendedId : kMaxStandardId);
        if (p != nullptr && p->started && validFrame &&
            (simbus::hardwareStatus(kLibraryName, p->interfaceNumber) & WINCE_STATE_BUS_OFF) == 0) {
            frame.id = id;
            frame.length = length;
            frame.remote = remote != 0;
            frame.extended = extended != 0;
            frame.error = errorFrame != 0;
            if (length > 0) {
                std::memcpy(frame.data, data, length);
            }
            busPort = p->busPort;
            if (selfReceive_) {
                push(*p, frame);
                selfReceived = true;
            }
            sent = 1;
        }
    }
    if (selfReceived) {
        signal(port);
    }
    if (busPort != 0) {
        (void)simbus::transmit(busPort, frame);
    }
    note("WinCE_Transmit port=" + dec(port) + " id=" + hex(id) + " len=" + dec(length) + " -> " + dec(sent));
    return sent;
}

WinceBool WincePorts::receive(int32_t port, uint32_t* id, WinceBool* remote, WinceBool* extended,
                              WinceBool* errorFrame, uint8_t* length, uint8_t* data) {
    if (auto result = fault("WinCE_Receive")) {
        return *result;
    }
    if (id == nullptr || remote == nullptr || extended == nullptr || errorFrame == nullptr || length == nullptr ||
        data == nullptr) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    Port* p = portLocked(port);
    if (p == nullptr || p->queue.empty()) {
        return 0;
    }
    const simbus::Frame frame = p->queue.front();
    p->queue.pop_front();
    *id = frame.id;
    *remote = frame.remote ? 1 : 0;
    *extended = frame.extended ? 1 : 0;
    *errorFrame = frame.error ? 1 : 0;
    *length = std::min<uint8_t>(frame.length, 8);
    std::memcpy(data, frame.data, *length);
    return 1;
}

WinceBool WincePorts::status(int32_t port, uint32_t* errorPassive, uint32_t* errorCounters, uint32_t* busOff) {
    if (auto result = fault("WinCE_Status")) {
        return *result;
    }
    if (errorPassive == nullptr || errorCounters == nullptr || busOff == nullptr) {
        return 0;
    }
    uint32_t number = 0;
    {
        std::lock_guard lock(mutex_);
        Port* p = portLocked(port);
        if (p == nullptr) {
            return 0;
        }
        number = p->interfaceNumber;
    }
    const uint32_t state = simbus::hardwareStatus(kLibraryName, number);
    *errorPassive = (state & WINCE_STATE_ERROR_PASSIVE) != 0 ? 1 : 0;
    *busOff = (state & WINCE_STATE_BUS_OFF) != 0 ? 1 : 0;
    *errorCounters = *busOff != 0 ? WINCE_COUNTERS_BUS_OFF : *errorPassive != 0 ? WINCE_COUNTERS_ERROR_PASSIVE : 0;
    return 1;
}

WinceBool WincePorts::configureErrorFrames(WinceBool on) {
    if (auto result = fault("WinCE_ConfigureErrorFrames")) {
        return *result;
    }
    {
        std::lock_guard lock(mutex_);
        errorFrames_ = on != 0;
    }
    note("WinCE_ConfigureErrorFrames on=" + dec(on) + " -> 1");
    return 1;
}

WinceBool WincePorts::configureSelfReceive(WinceBool on) {
    if (auto result = fault("WinCE_ConfigureSelfReceive")) {
        return *result;
    }
    {
        std::lock_guard lock(mutex_);
        selfReceive_ = on != 0;
    }
    note("WinCE_ConfigureSelfReceive on=" + dec(on) + " -> 1");
    return 1;
}

void WincePorts::resetState() {
    std::lock_guard closing(portsMutex_);
    std::vector<simbus::PortId> toClose;
    {
        std::lock_guard events(eventMutex_);
        std::lock_guard lock(mutex_);
        for (const auto& entry : ports_) {
            toClose.push_back(entry.second.busPort);
        }
        ports_.clear();
        errorFrames_ = false;
        selfReceive_ = false;
    }
    for (simbus::PortId busPort : toClose) {
        (void)simbus::closePort(busPort);
    }
}

} // namespace ostrel::simwince
