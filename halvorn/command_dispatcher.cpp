#include "command_dispatcher.h"

#include "net_table.h"

#include "platform/utf16.h"

#include <array>
#include <cstring>
#include <string>

namespace ostrel::halvorn {
namespace {

// Intermediate statuses of a bus configuration, as logged.
constexpr int32_t kBusConfigDone = 0;
constexpr int32_t kBusConfigBadParameters = 2;
constexpr int32_t kBusConfigFailed = 6;
constexpr int32_t kBusConfigNotInitialized = 7;
constexpr int32_t kBusConfigNoFrame = 8;
constexpr int32_t kBusConfigOtherNetwork = 9;

constexpr std::size_t kDriverNameUtf8Bytes = 200;
constexpr std::size_t kHardwareNameUtf8Bytes = sizeof(HardwareRecord::name);
constexpr std::size_t kNetworkNameUtf8Bytes = sizeof(NetworkRecord::name);

uint8_t busConfigResponseStatus(int32_t intermediate) {
    switch (intermediate) {
    case kBusConfigDone: return ServerStatus::Done;
    case kBusConfigBadParameters: return ServerStatus::InterfaceRefused;
    case kBusConfigNotInitialized: return ServerStatus::NotInitialized;
    case kBusConfigNoFrame: return ServerStatus::NoFrame;
    case kBusConfigOtherNetwork: return ServerStatus::OtherNetworkOpen;
    default: return ServerStatus::OtherFailure;
    }
}

// Names in payloads are UTF-16 little-endian code units, independent of the host's order.
std::u16string readUtf16(const uint8_t* data, std::size_t maxUnits) {
    std::u16string text;
    for (std::size_t i = 0; i < maxUnits; ++i) {
        const auto unit = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (unit == u'\0') break;
        text.push_back(unit);
    }
    return text;
}

// Exactly `chars` code units: the name, cut at `chars`, padded with zero characters.
void writeUtf16Field(uint8_t* out, std::size_t chars, std::string_view utf8) {
    std::array<char16_t, kNetworkNameChars> field{};
    static_assert(kNetworkNameChars >= kHardwareNameChars);
    platform::copyField(field.data(), chars, platform::toUtf16(utf8));
    for (std::size_t i = 0; i < chars; ++i) {
        out[2 * i] = static_cast<uint8_t>(field[i] & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(field[i] >> 8);
    }
}

std::string_view recordText(const char* field, std::size_t capacity) {
    return std::string_view(field, ::strnlen(field, capacity));
}

// The mark a client puts after the payload of a request it writes again.
bool repeated(const ServerCommand& command, int32_t payload) {
    return command.length > payload && (command.data[payload] & kRequestRepeated) != 0;
}

RequestOrigin originOf(const ServerCommand& command) { return {command.processId, requestTagOf(command)}; }

} // namespace

std::optional<int32_t> requiredCommandLength(uint8_t code) noexcept {
    switch (code) {
    case ServerCmd_SetBusConfiguration: return 6;
    case ServerCmd_GetBusConfiguration: return 0;
    case ServerCmd_SetErrorFrames: return 1;
    case ServerCmd_EnumerateHardware: return 0;
    case ServerCmd_EnumerateNetworks: return 2;
    case ServerCmd_AddNetwork: return static_cast<int32_t>(kAddNetworkPayload);
    case ServerCmd_DeleteNetwork: return 2;
    case ServerCmd_GetBaudrate: return 2;
    case ServerCmd_Reserved: return 0;
    case ServerCmd_SetHardwareConfiguration: return 2;  // at least the terminating zero character
    case ServerCmd_ResetHardware: return 0;
    case ServerCmd_GetCurrentTime: return 0;
    case ServerCmd_GetVersion: return 0;
    case ServerCmd_SwitchNetworks: return 3;
    case ServerCmd_RegisterClient: return 0;
    case ServerCmd_UnregisterClient: return 0;
    case ServerCmd_Ping: return 0;
    default: return std::nullopt;
    }
}

CommandDispatcher::CommandDispatcher(ServerLog& log, SharedMem& sharedMem, CanBus& bus, ClientList& clients)
    : log_(log), sharedMem_(sharedMem), bus_(bus), clients_(clients) {}

void CommandDispatcher::HandleCommand(const ServerCommand& command) {
    const std::optional<int32_t> needed = requiredCommandLength(command.code);
    // A payload too short for its code is not guessed at: it is treated like an unknown command.
    if (!needed || command.length < *needed || command.length > kCommandDataMax) {
        log_.Print("Unknown command received\n");
        return;
    }
    const uint32_t sender = command.processId;
    switch (command.code) {
    case ServerCmd_SetBusConfiguration: setBusConfiguration(command); break;
    case ServerCmd_GetBusConfiguration: getBusConfiguration(command); break;
    case ServerCmd_SetErrorFrames: setErrorFrames(command); break;
    case ServerCmd_EnumerateHardware: enumerateHardware(command); break;
    case ServerCmd_EnumerateNetworks: enumerateNetworks(command); break;
    case ServerCmd_AddNetwork: addNetwork(command); break;
    case ServerCmd_DeleteNetwork: deleteNetwork(command); break;
    case ServerCmd_GetBaudrate: getBaudrate(command); break;
    case ServerCmd_Reserved: break;
    case ServerCmd_SetHardwareConfiguration: setHardwareConfiguration(command); break;
    case ServerCmd_ResetHardware: bus_.Reset(); break;
    case ServerCmd_GetCurrentTime: getCurrentTime(command); break;
    case ServerCmd_GetVersion: getVersion(command); break;
    case ServerCmd_SwitchNetworks: switchNetworks(command); break;
    case ServerCmd_RegisterClient:
        log_.Print("Registering client %d\n", static_cast<int>(sender));
        clients_.Register(sender);
        break;
    case ServerCmd_UnregisterClient:
        log_.Print("Unregistering client %d\n", static_cast<int>(sender));
        clients_.Unregister(sender);
        break;
    case ServerCmd_Ping:
        log_.Print("Ping\n");
        // Id 0 names no process: an answer to it would reach, and re-register, every client.
        if (!clients_.Ping(sender) && sender != 0 && command.length >= kPingTicketLength) askToRegisterAgain(command);
        break;
    default:
        log_.Print("Unknown command received\n");
        break;
    }
}

ServerCommand& CommandDispatcher::startResponse(uint8_t code, int32_t length, const ServerCommand& command) {
    response_.code = code;
    // The client tells its answers apart by the request's tag.
    std::memcpy(response_.requestTag, command.requestTag, sizeof response_.requestTag);
    response_.length = length;
    std::memset(response_.data, 0, static_cast<std::size_t>(length));
    response_.processId = command.processId;
    return response_;
}

void CommandDispatcher::sendResponse() { (void)sharedMem_.SendResponse(response_); }

int32_t CommandDispatcher::SetHardwareConfiguration(std::string_view utf8Name) {
    if (bus_.IsDriverStarted()) return kDriverAlreadyStarted;
    if (bus_.StartDriver(utf8Name)) return kHardwareConfigured;
    // Not started, and not started now: the bus was busy. Never reported as done.
    return bus_.IsDriverStarted() ? kDriverAlreadyStarted : kHardwareNotConfigured;
}

int32_t CommandDispatcher::SetBusConfiguration(uint32_t handle, uint32_t options) {
    switch (bus_.Initialize(handle, options)) {
    case CanBusResult::Done: return kBusConfigDone;
    case CanBusResult::LibraryBadParameters: return kBusConfigBadParameters;
    case CanBusResult::LibraryNotInitialized: return kBusConfigNotInitialized;
    case CanBusResult::LibraryNoFrame: return kBusConfigNoFrame;
    case CanBusResult::OtherNetworkOpen: return kBusConfigOtherNetwork;
    default: return kBusConfigFailed;
    }
}

void CommandDispatcher::setBusConfiguration(const ServerCommand& command) {
    const uint16_t handle = getBe16(command.data);
    const uint32_t options = getBe32(command.data + 2);
    log_.Print("Setting bus configuration, nethandle = %d, options = 0x%8.8lX\n", static_cast<int>(handle),
               static_cast<unsigned long>(options));
    const int32_t intermediate = SetBusConfiguration(handle, options);
    log_.Print("SetBusConfiguration result = %d\n", static_cast<int>(intermediate));
    if (intermediate == kBusConfigDone) clients_.SetNetwork(command.processId, handle);
    ServerCommand& r = startResponse(ServerResp_SetBusConfiguration, 7, command);
    r.data[0] = busConfigResponseStatus(intermediate);
    if (intermediate == kBusConfigDone) {
        putBe16(r.data + 1, handle);
        putBe32(r.data + 3, options);
    }
    sendResponse();
}

void CommandDispatcher::getBusConfiguration(const ServerCommand& command) {
    const BusNetwork current = bus_.GetCurrentNetwork();
    ServerCommand& r = startResponse(ServerResp_GetBusConfiguration, 6, command);
    putBe16(r.data, static_cast<uint16_t>(current.handle));
    putBe32(r.data + 2, current.options);
    sendResponse();
}

void CommandDispatcher::setErrorFrames(const ServerCommand& command) {
    clients_.SetErrorFrames(command.processId, command.data[0] & 0x01);
    clients_.UpdateErrorFrames();
}

void CommandDispatcher::enumerateHardware(const ServerCommand& command) {
    log_.Print("Enumerating CAN interfaces\n");
    std::array<HardwareRecord, kMaxHardwareEntries> records{};
    const int32_t count = bus_.EnumerateHardware(records.data(), static_cast<int32_t>(records.size()));
    const auto n = static_cast<std::size_t>(count);
    ServerCommand& r = startResponse(ServerResp_EnumerateHardware, static_cast<int32_t>(2 + n * kHardwareEntrySize),
                                     command);
    putBe16(r.data, static_cast<uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const HardwareRecord& record = records[i];
        const std::string_view name = recordText(record.name, kHardwareNameUtf8Bytes);
        log_.Print("Found CAN interface %.*s with handle %d\n", static_cast<int>(name.size()), name.data(),
                   static_cast<int>(record.handle));
        uint8_t* entry = r.data + 2 + i * kHardwareEntrySize;
        writeUtf16Field(entry, kHardwareNameChars, name);
        putBe16(entry + kHardwareNameField, static_cast<uint16_t>(record.handle));
    }
    sendResponse();
}

void CommandDispatcher::enumerateNetworks(const ServerCommand& command) {
    const uint16_t hardware = getBe16(command.data);
    // Fixed room for the records: there is no allocation that could fail and leave the client waiting.
    std::array<NetworkRecord, kMaxNetworkEntries> records{};
    log_.Print("Enumerating networks for hardware %d\n", static_cast<int>(hardware));
    const int32_t count = bus_.EnumerateNetworks(records.data(), static_cast<int32_t>(records.size()), hardware);
    const auto n = static_cast<std::size_t>(count);
    ServerCommand& r = startResponse(ServerResp_EnumerateNetworks, static_cast<int32_t>(2 + n * kNetworkEntrySize),
                                     command);
    putBe16(r.data, static_cast<uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const NetworkRecord& record = records[i];
        const std::string_view name = recordText(record.name, kNetworkNameUtf8Bytes);
        log_.Print("Found network %.*s with handle %d and baudrate %d\n", static_cast<int>(name.size()), name.data(),
                   static_cast<int>(record.handle), static_cast<int>(record.baudKbit));
        uint8_t* entry = r.data + 2 + i * kNetworkEntrySize;
        writeUtf16Field(entry, kNetworkNameChars, name);
        putBe16(entry + kNetworkNameField, static_cast<uint16_t>(record.handle));
        putBe16(entry + kNetworkNameField + 2, static_cast<uint16_t>(record.baudKbit));
    }
    sendResponse();
}

void CommandDispatcher::addNetwork(const ServerCommand& command) {
    NetworkRecord record{};
    // A name of 40 characters (no terminator in its field) is cut to what the 40-byte form holds.
    copyUtf8Field(record.name, sizeof record.name, platform::toUtf8(readUtf16(command.data, kNetworkNameChars)));
    const uint16_t baudKbit = getBe16(command.data + kNetworkNameField);
    const uint16_t hardware = getBe16(command.data + kNetworkNameField + 2);
    record.baudKbit = baudKbit;
    log_.Print("Adding network %s (%d) for hardware %d\n", record.name, static_cast<int>(baudKbit),
               static_cast<int>(hardware));
    // A repeat finds only what its own first writing made: the network added for this client's request
    // with this tag, by this server or one before it.
    const RequestOrigin origin = originOf(command);
    const std::optional<RequestRecord> before = repeated(command, static_cast<int32_t>(kAddNetworkPayload))
                                                    ? bus_.FindRequest(origin)
                                                    : std::nullopt;
    uint32_t handle = 0;
    if (before && before->kind == RequestRecord::Kind::Added) {
        handle = before->handle;
        log_.Print("Network %s was added for this request before: handle %d\n", record.name, static_cast<int>(handle));
    } else {
        handle = bus_.AddNetwork(record, hardware, origin);
    }
    log_.Print("New network handle = %d\n", static_cast<int>(handle));
    ServerCommand& r = startResponse(ServerResp_AddNetwork, 3, command);
    if (handle == 0) {
        r.data[0] = ServerStatus::NoHandle;
    } else {
        r.data[0] = ServerStatus::Done;
        putBe16(r.data + 1, static_cast<uint16_t>(handle));
    }
    sendResponse();
}

void CommandDispatcher::deleteNetwork(const ServerCommand& command) {
    const uint16_t handle = getBe16(command.data);
    log_.Print("Deleting network %d\n", static_cast<int>(handle));
    int32_t result = CanBusResult::Done;
    const RequestOrigin origin = originOf(command);
    const std::optional<RequestRecord> before = repeated(command, 2) ? bus_.FindRequest(origin) : std::nullopt;
    if (before && before->kind == RequestRecord::Kind::Deleted && before->handle == handle) {
        // Deleted for this request already: a network now under the handle is another program's.
        log_.Print("Network %d was deleted for this request before\n", static_cast<int>(handle));
    } else {
        result = bus_.DeleteNetwork(handle, origin);
    }
    ServerCommand& r = startResponse(ServerResp_DeleteNetwork, 1, command);
    switch (result) {
    case CanBusResult::Done: r.data[0] = ServerStatus::Done; break;
    case CanBusResult::NetworkInUse: r.data[0] = ServerStatus::NetworkInUse; break;
    case CanBusResult::BuiltInNetwork: r.data[0] = ServerStatus::BuiltInNetwork; break;
    default: r.data[0] = ServerStatus::OtherFailure; break;
    }
    sendResponse();
}

void CommandDispatcher::getBaudrate(const ServerCommand& command) {
    const uint16_t handle = getBe16(command.data);
    const uint32_t baudKbit = bus_.GetBaudrate(handle);
    log_.Print("Baudrate of network %d is %d\n", static_cast<int>(handle), static_cast<int>(baudKbit));
    ServerCommand& r = startResponse(ServerResp_GetBaudrate, 2, command);
    putBe16(r.data, static_cast<uint16_t>(baudKbit));
    sendResponse();
}

void CommandDispatcher::setHardwareConfiguration(const ServerCommand& command) {
    const std::size_t units = static_cast<std::size_t>(command.length) / 2;
    std::array<char, kDriverNameUtf8Bytes> name{};
    copyUtf8Field(name.data(), name.size(), platform::toUtf8(readUtf16(command.data, units)));
    log_.Print("Setting hardware configuration to: %s\n", name.data());
    const int32_t result = SetHardwareConfiguration(name.data());
    log_.Print("Result = %d\n", static_cast<int>(result));
    ServerCommand& r = startResponse(ServerResp_SetHardwareConfiguration, 1, command);
    switch (result) {
    case kHardwareConfigured: r.data[0] = ServerStatus::Done; break;
    case kDriverAlreadyStarted: r.data[0] = ServerStatus::DriverAlreadyStarted; break;
    default: r.data[0] = ServerStatus::OtherFailure; break;
    }
    sendResponse();
}

void CommandDispatcher::getCurrentTime(const ServerCommand& command) {
    const BusTime now = bus_.GetServerTime();
    ServerCommand& r = startResponse(ServerResp_GetCurrentTime, 6, command);
    putBe32(r.data, now.ms);
    putBe16(r.data + 4, static_cast<uint16_t>(now.us & 0xFFFF));
    sendResponse();
}

void CommandDispatcher::askToRegisterAgain(const ServerCommand& ping) {
    log_.Print("Ping from unknown client %lu - asked to register again\n", static_cast<unsigned long>(ping.processId));
    ServerCommand& r = startResponse(ServerResp_NotRegistered, kPingTicketLength, ping);
    std::memcpy(r.data, ping.data, kPingTicketLength);
    sendResponse();
}

void CommandDispatcher::getVersion(const ServerCommand& command) {
    // Clients of 2.0 and later say their own version; such a client of another major version gives up.
    if (command.length >= 2 && command.data[0] != kServerVersionMajor) {
        log_.Print("Client %lu speaks protocol version %d.%d, this server %d.%d - it cannot work with this server\n",
                   static_cast<unsigned long>(command.processId), static_cast<int>(command.data[0]),
                   static_cast<int>(command.data[1]), static_cast<int>(kServerVersionMajor),
                   static_cast<int>(kServerVersionMinor));
    }
    ServerCommand& r = startResponse(ServerResp_GetVersion, 2, command);
    r.data[0] = kServerVersionMajor;
    r.data[1] = kServerVersionMinor;
    sendResponse();
}

void CommandDispatcher::switchNetworks(const ServerCommand& command) {
    const uint8_t mode = command.data[0];
    const uint16_t handle = getBe16(command.data + 1);
    log_.Print("Switching networks to %d\n", static_cast<int>(handle));
    int32_t result = CanBusResult::Done;
    if (mode == 0 || mode == 1) {
        result = bus_.SwitchNetworks(mode, handle);
        if (result == CanBusResult::Done) clients_.SetNetwork(command.processId, mode == 0 ? handle : 0);
    }
    ServerCommand& r = startResponse(ServerResp_SwitchNetworks, 1, command);
    switch (result) {
    case CanBusResult::Done: r.data[0] = ServerStatus::Done; break;
    case CanBusResult::LibraryBadParameters: r.data[0] = ServerStatus::InterfaceRefused; break;
    default: r.data[0] = ServerStatus::OtherFailure; break;
    }
    sendResponse();
}

} // namespace ostrel::halvorn
