#include "can_bus.h"

#include "platform/clock.h"
#include "platform/utf16.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace ostrel::halvorn {
namespace {

// The bus's result for a library result code.
int32_t mapLibraryCode(int32_t code) {
    switch (code) {
    case DRN_NO_FRAME: return CanBusResult::LibraryNoFrame;
    case DRN_TRANSMIT_ERROR: return CanBusResult::LibraryTransmitError;
    case DRN_NOT_INITIALIZED: return CanBusResult::LibraryNotInitialized;
    case DRN_REQUEST_FAILED: return CanBusResult::LibraryRequestFailed;
    case DRN_BAD_PARAMETERS: return CanBusResult::LibraryBadParameters;
    default: return CanBusResult::LibraryOther;
    }
}

// A result block as the library finds it: a call that does not write it (no driver) reads as
// "not initialised", never as success.
ResultBlock freshResult() {
    ResultBlock result{};
    result.code = DRN_NOT_INITIALIZED;
    return result;
}

// UTF-16, at most `maxChars` characters, zero-terminated.
std::u16string boundedUtf16(std::string_view utf8, std::size_t maxChars) {
    std::u16string text = platform::toUtf16(utf8);
    if (text.size() > maxChars) {
        std::size_t n = maxChars;
        // Do not leave half a surrogate pair at the end.
        if (text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        text.resize(n);
    }
    return text;
}

std::string_view fieldText(const char* field, std::size_t capacity) {
    return std::string_view(field, ::strnlen(field, capacity));
}

HardwareRecord toRecord(const HardwareInfo& info) {
    HardwareRecord record{};
    const std::size_t n = std::find(info.name, info.name + DRN_HARDWARE_NAME_CHARS, u'\0') - info.name;
    copyUtf8Field(record.name, sizeof record.name, platform::toUtf8(std::u16string_view(info.name, n)));
    record.handle = info.hardwareHandle;
    return record;
}

NetworkRecord toRecord(const NetworkInfo& info) {
    NetworkRecord record{};
    const std::size_t n = std::find(info.name, info.name + DRN_NETWORK_NAME_CHARS, u'\0') - info.name;
    copyUtf8Field(record.name, sizeof record.name, platform::toUtf8(std::u16string_view(info.name, n)));
    record.handle = info.networkHandle;
    record.baudKbit = info.baudKbit;
    return record;
}

} // namespace

void copyUtf8Field(char* dest, std::size_t capacity, std::string_view utf8) noexcept {
    if (capacity == 0) return;
    std::size_t n = std::min(utf8.size(), capacity - 1);
    // Back up over continuation bytes so that no character is cut.
    if (n < utf8.size()) {
        while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dest, utf8.data(), n);
    std::memset(dest + n, 0, capacity - n);
}

CanBus::CanBus(ServerLog& log, SharedMem& sharedMem, NetTable& netTable, CanBusPeers peers)
    : log_(log), sharedMem_(sharedMem), netTable_(netTable), peers_(std::move(peers)) {
    sharedMem_.SetCurrentNetwork(0);
}

CanBus::~CanBus() {
    if (state() == CanBusState::NetworkOpen) {
        log_.Print("Closing hardware\n");
        Hardware_Close();
        log_.Print("Hardware has been closed\n");
        // The library outlives this object: it must not call back into it.
        Event_Receive(nullptr, nullptr);
        Event_MajorError(nullptr, nullptr);
        state_ = CanBusState::DriverStarted;
        selfReceive_ = false;
    }
    if (state() == CanBusState::DriverStarted) {
        log_.Print("Shutting down DLL\n");
        CANopenDLL_Shutdown();
        log_.Print("DLL has been shut down\n");
        state_ = CanBusState::NotStarted;
    }
    log_.Print("Closing can mutex handle\n");
    log_.Print("CAN Bus shutdown complete\n");
}

CanBus::Lock CanBus::takeLock() {
    return Lock(lock_, std::chrono::milliseconds(kLockWaitMs));
}

bool CanBus::StartDriver(std::string_view utf8Name) {
    Lock lock = takeLock();
    if (!lock.owns_lock() || state() != CanBusState::NotStarted) return false;
    if (utf8Name.empty()) {
        state_ = CanBusState::Simulated;
        return true;
    }
    log_.Print("Starting CANopen DLL with %.*s\n", static_cast<int>(utf8Name.size()), utf8Name.data());
    const std::u16string name = boundedUtf16(utf8Name, kDriverNameChars);
    CANopenDLL_Startup(0, name.c_str());
    // The clients pace their own frames; a pause after each forwarded frame would make the server
    // the bottleneck of all of them together, and the send ring would overrun.
    CANopen_SetPostTransmitDelay(0);
    // Whatever the library reports: a failed start shows later as failing library calls.
    state_ = CanBusState::DriverStarted;
    return true;
}

int32_t CanBus::Initialize(uint32_t handle, uint32_t options) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return CanBusResult::LockTimeout;
    switch (state()) {
    case CanBusState::NotStarted:
        return CanBusResult::NotStarted;
    case CanBusState::NetworkOpen:
        return handle == current_ ? CanBusResult::Done : CanBusResult::OtherNetworkOpen;
    case CanBusState::Simulated:
        current_ = handle;
        options_ = options;
        sharedMem_.SetCurrentNetwork(handle);
        return CanBusResult::Done;
    case CanBusState::DriverStarted:
        break;
    }
    log_.Print("Initializing hardware with network handle %d\n", static_cast<int>(handle));
    ResultBlock result = freshResult();
    Hardware_Initialize(handle, kClientName, 0, 0, &result);
    if (result.code != DRN_OK) {
        log_.Print("Failed to initialize hardware - %d\n", static_cast<int>(result.code));
        return mapLibraryCode(result.code);
    }
    current_ = handle;
    options_ = options;
    sharedMem_.SetCurrentNetwork(handle);
    state_ = CanBusState::NetworkOpen;
    ResultBlock selfReceive = freshResult();
    Hardware_SelfReceive(1, &selfReceive);
    selfReceive_ = selfReceive.code == DRN_OK;
    Event_Receive(&CanBus::OnReceive, this);
    Event_MajorError(&CanBus::OnMajorError, this);
    lock.unlock();
    if (peers_.updateErrorFrames) peers_.updateErrorFrames();
    log_.Print("Hardware initialization complete\n");
    return CanBusResult::Done;
}

int32_t CanBus::SwitchNetworks(uint8_t mode, uint32_t handle) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return CanBusResult::LockTimeout;
    switch (state()) {
    case CanBusState::NotStarted:
        return CanBusResult::NotStarted;
    case CanBusState::DriverStarted:
        return CanBusResult::Done;
    case CanBusState::Simulated:
        current_ = mode == 0 ? handle : 0;
        sharedMem_.SetCurrentNetwork(current_);
        return CanBusResult::Done;
    case CanBusState::NetworkOpen:
        break;
    }
    if (handle == current_) return CanBusResult::Done;
    ResultBlock result = freshResult();
    Hardware_SwitchNetworks(mode == 0 ? 1 : 0, handle, &result);
    if (result.code != DRN_OK) return mapLibraryCode(result.code);
    current_ = mode == 0 ? handle : 0;
    sharedMem_.SetCurrentNetwork(current_);
    return CanBusResult::Done;
}

bool CanBus::Transmit(const ServerFrame& frame) {
    Lock lock = takeLock();
    if (!lock.owns_lock() || state() != CanBusState::NetworkOpen || current_ == 0) return false;
    const CANFrame canFrame = toCanFrame(frame);
    ResultBlock result = freshResult();
    CAN_Transmit(&canFrame, &result);
    return result.code == DRN_OK;
}

void CanBus::SetErrorFrames(bool on) {
    Lock lock = takeLock();
    if (lock.owns_lock() && state() == CanBusState::NetworkOpen) (void)Hardware_ErrorFrames(on ? 1 : 0);
}

void CanBus::Reset() {
    Lock lock = takeLock();
    if (lock.owns_lock() && state() == CanBusState::NetworkOpen) Hardware_Reset();
}

BusTime CanBus::GetCurrentTime() {
    Lock lock = takeLock();
    if (!lock.owns_lock() || state() != CanBusState::NetworkOpen) return {};
    CANTimeStamp stamp{};
    Hardware_GetCurrentTime(&stamp);
    return {stamp.timeMs, stamp.timeUs};
}

int32_t CanBus::EnumerateHardware(HardwareRecord* records, int32_t maxCount) {
    if (records == nullptr || maxCount <= 0) return 0;
    Lock lock = takeLock();
    if (!lock.owns_lock()) return 0;
    std::vector<HardwareInfo> infos(static_cast<std::size_t>(maxCount));
    int32_t count = 0;
    if (state() == CanBusState::NotStarted || state() == CanBusState::Simulated) {
        count = netTable_.GetHardware(infos.data());
    } else {
        count = Hardware_EnumerateHardware(infos.data(), maxCount);
    }
    count = std::clamp(count, int32_t{0}, maxCount);
    for (int32_t i = 0; i < count; ++i) records[i] = toRecord(infos[static_cast<std::size_t>(i)]);
    return count;
}

int32_t CanBus::EnumerateNetworks(NetworkRecord* records, int32_t maxCount, uint32_t hardware) {
    if (records == nullptr || maxCount <= 0) return 0;
    Lock lock = takeLock();
    if (!lock.owns_lock()) return 0;
    std::vector<NetworkInfo> infos(static_cast<std::size_t>(maxCount));
    int32_t count = 0;
    if (state() == CanBusState::NotStarted || state() == CanBusState::Simulated) {
        count = netTable_.Enumerate(infos.data(), maxCount, hardware);
    } else {
        count = Hardware_EnumerateNetworks(infos.data(), maxCount, hardware);
    }
    count = std::clamp(count, int32_t{0}, maxCount);
    for (int32_t i = 0; i < count; ++i) records[i] = toRecord(infos[static_cast<std::size_t>(i)]);
    return count;
}

uint32_t CanBus::AddNetwork(const NetworkRecord& record, uint32_t hardware, RequestOrigin origin) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return 0;
    const std::string_view name = fieldText(record.name, sizeof record.name);
    if (state() == CanBusState::NotStarted || state() == CanBusState::Simulated) {
        return netTable_.Add(name, record.baudKbit, hardware, origin);
    }
    const std::u16string wide = boundedUtf16(name, DRN_NETWORK_NAME_CHARS);
    const int32_t handle = Hardware_AddNetwork(wide.c_str(), record.baudKbit, hardware);
    if (handle <= 0) return 0;
    netTable_.RecordRequest(origin, {RequestRecord::Kind::Added, static_cast<uint32_t>(handle)});
    return static_cast<uint32_t>(handle);
}

std::optional<RequestRecord> CanBus::FindRequest(RequestOrigin origin) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return std::nullopt;
    return netTable_.FindRequest(origin);
}

int32_t CanBus::DeleteNetwork(uint32_t handle, RequestOrigin origin) {
    if (handle == current_ || (peers_.isNetworkUsedByClient && peers_.isNetworkUsedByClient(handle))) {
        return CanBusResult::NetworkInUse;
    }
    Lock lock = takeLock();
    if (!lock.owns_lock()) return CanBusResult::LockTimeout;
    if (state() == CanBusState::NotStarted || state() == CanBusState::Simulated) {
        return netTable_.Delete(handle, origin) == NetTable::kDeleteRefused ? CanBusResult::BuiltInNetwork
                                                                            : CanBusResult::Done;
    }
    (void)Hardware_DeleteNetwork(handle);
    netTable_.RecordRequest(origin, {RequestRecord::Kind::Deleted, handle});
    return CanBusResult::Done;
}

uint32_t CanBus::GetBaudrate(uint32_t handle) {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return 0;
    if (state() == CanBusState::NotStarted || state() == CanBusState::Simulated) return netTable_.GetBaudrate(handle);
    const int32_t baud = Hardware_GetBaudrate(handle);
    return baud > 0 ? static_cast<uint32_t>(baud) : 0;
}

bool CanBus::IsSimulatedOrDown() const {
    return state() == CanBusState::Simulated || Hardware_IsNetworkFunctional() == 0;
}

BusNetwork CanBus::GetCurrentNetwork() {
    Lock lock = takeLock();
    if (!lock.owns_lock()) return {};
    return {current_, options_};
}

void CanBus::stampAndEcho(ServerFrame frame) {
    frame.timeMs = platform::tickMs();
    frame.timeMsOverflow = 0;
    frame.timeUs = 0;
    (void)sharedMem_.BroadcastFrame(frame);
}

void CanBus::OnClientFrame(const ServerFrame& frame) {
    if (state() == CanBusState::Simulated) {
        // The simulated bus: every frame comes back to every client, its sender included.
        stampAndEcho(frame);
        return;
    }
    const bool down = IsSimulatedOrDown();
    if (selfReceive_ && !down) {
        // The interface hands the frame back through reception, with its own time stamp.
        if (!Transmit(frame)) {
            log_.Print("Frame %lX from client %lu not sent\n", static_cast<unsigned long>(frame.id),
                       static_cast<unsigned long>(frame.processId));
        }
        return;
    }
    // Echo only what went to the bus: an echo tells the clients that the frame was sent.
    if (!down && Transmit(frame)) {
        stampAndEcho(frame);
        return;
    }
    log_.Print("Frame %lX from client %lu not sent - not echoed\n", static_cast<unsigned long>(frame.id),
               static_cast<unsigned long>(frame.processId));
}

BusTime CanBus::GetServerTime() {
    if (selfReceive_) return GetCurrentTime();
    return {platform::tickMs(), 0};
}

void CanBus::OnReceive(const CANFrame* frame, int32_t /*answersRequest*/, void* user) {
    auto* self = static_cast<CanBus*>(user);
    if (self == nullptr || frame == nullptr) return;
    (void)self->sharedMem_.PutReceivedFrame(*frame);
    if (++self->receivedCount_ >= kReceivePauseEvery) {
        // Yield now and then so that the clients' readers keep up with a busy bus.
        self->receivedCount_ = 0;
        platform::sleepMs(1);
    }
}

void CanBus::OnMajorError(uint32_t status, void* user) {
    auto* self = static_cast<CanBus*>(user);
    if (self != nullptr && self->peers_.broadcastMajorError) self->peers_.broadcastMajorError(status);
}

} // namespace ostrel::halvorn
