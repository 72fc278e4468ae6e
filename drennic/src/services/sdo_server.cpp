// The PC as a CANopen node: boot-up, the identity objects, and object 0x1F10 through which an SDO
// manager grants the PC a dynamic SDO channel.
//
// The engine thread handles the frames; CANopenServer_Startup and CANopenServer_Shutdown run on the
// caller's thread. One lock guards the server's values; it is never held while a frame goes out
// (transmission may call the application's TransmitCallback), so `busy` tells the callers that a
// frame is still being answered.
#include "services/sdo_server.h"

#include "engine/engine_context.h"
#include "engine/engine_settings.h"
#include "services/service_modules.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>

namespace drennic {
namespace {

using Frame = std::array<uint8_t, 8>;

// Answering one frame takes a few transmissions; a wait that lasts longer gives up.
constexpr auto kIdleWait = std::chrono::seconds(2);

constexpr uint32_t kNmtId = 0x000;
constexpr uint32_t kEmcyBase = 0x080;
constexpr uint32_t kBootUpBase = 0x700;
constexpr uint32_t kChannelRequestId = 0x6E0;
constexpr uint32_t kDefaultRequestBase = 0x600;
constexpr uint32_t kDefaultResponseBase = 0x580;
constexpr uint8_t kDefaultNodeId = 127;
constexpr uint32_t kChannelRequestValue = 3;

constexpr uint32_t kAbortUnsupportedAccess = 0x06010000;
constexpr uint32_t kAbortReadOnly = 0x06010002;
constexpr uint32_t kAbortNoObject = 0x06020000;
constexpr uint32_t kAbortLengthMismatch = 0x06070010;
constexpr uint32_t kAbortCommand = 0x05040001;

struct Identity {
    uint8_t nodeId = kDefaultNodeId;
    uint32_t deviceType = 0;
    uint32_t vendorId = 0;
    uint32_t productCode = 0;
    uint32_t revisionNumber = 0;
    uint32_t serialNumber = 0;

    friend bool operator==(const Identity&, const Identity&) = default;
};

// One of the PC's own transmissions to the server's request COB-ID.
struct OwnRequest {
    uint64_t token = 0;  // 0: no echo awaited
    uint8_t length = 0;
    std::array<uint8_t, 8> data{};
    uint32_t sentMs = 0;
};

// A block download sends up to 127 requests in a row before any echo is handled; the slots are reused
// in turn, and an echo later than kOwnEchoWindowMs is no longer expected.
constexpr std::size_t kOwnRequestSlots = 128;
constexpr uint32_t kOwnEchoWindowMs = 2000;

enum class ChannelState : uint8_t {
    None,
    Requested,
    Granted,  // 0x1F10 written; the answer has not been seen on the bus yet
    Ready,
};

struct SdoServerModule {
    std::mutex mutex;
    std::condition_variable idle;
    bool running = false;
    bool busy = false;
    Identity identity;
    uint8_t errorRegister = 0;
    uint32_t channelValue = 0;
    ChannelState channelState = ChannelState::None;
    bool channelWaitGivenUp = false;

    // The PC's own requests to the server's request COB-ID, for as long as their echo may take, while
    // self-reception hands them back like any frame; they are not answered.
    std::atomic<uint32_t> watchedRequestId{0};  // 0 while the server does not run
    std::array<OwnRequest, kOwnRequestSlots> ownRequests{};
    std::size_t nextOwnRequest = 0;
    uint64_t lastToken = 0;
};

SdoServerModule& server() {
    static SdoServerModule instance;
    return instance;
}

// Set while this thread answers a frame: a TransmitCallback that stops the server from there must
// not wait for itself.
thread_local bool tAnswering = false;

[[nodiscard]] uint16_t getLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
[[nodiscard]] uint32_t getLe32(const uint8_t* at) {
    return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
}

// The server's COB-IDs: its node's default SDO channel. The client's COB-ID rule says how the PC
// reaches other nodes; were the server to follow it, a fixed pair (rule 3) would have it answer every
// request to the node the pair belongs to, the PC's own included.
struct ServerIds {
    uint32_t request = 0;
    uint32_t response = 0;
};
[[nodiscard]] constexpr ServerIds serverIds(uint8_t nodeId) {
    return ServerIds{kDefaultRequestBase + nodeId, kDefaultResponseBase + nodeId};
}

[[nodiscard]] constexpr bool validNodeId(uint8_t nodeId) { return nodeId >= 1 && nodeId <= 127; }

[[nodiscard]] Frame answerFrame(uint8_t command, const uint8_t* request, uint32_t value) {
    Frame d{command, request[1], request[2], request[3]};
    for (int i = 0; i < 4; ++i) {
        d[4 + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
    return d;
}

[[nodiscard]] Frame abortFrame(const uint8_t* request, uint32_t code) { return answerFrame(0x80, request, code); }

// Boot-up message and an empty EMCY; the state a boot-up leaves is set before they go out.
void bootUp(SdoServerModule& s, uint8_t nodeId) {
    {
        std::lock_guard lock(s.mutex);
        s.errorRegister = 0;
        s.channelValue = 0;
        s.channelState = ChannelState::None;
        s.channelWaitGivenUp = false;
    }
    const uint8_t bootUpData[1] = {0};
    (void)engineTransmit(kBootUpBase + nodeId, bootUpData, 1);
    const uint8_t emcyData[8] = {};
    (void)engineTransmit(kEmcyBase + nodeId, emcyData, 8);
}

// The answer to one SDO request (none for an abort), with the server's state updated.
[[nodiscard]] std::optional<Frame> answerRequest(SdoServerModule& s, const Identity& identity, const uint8_t* d) {
    const uint8_t command = d[0];
    const uint8_t ccs = command >> 5;
    const uint16_t index = getLe16(d + 1);
    const uint8_t subIndex = d[3];
    const bool upload = ccs == 2;
    const bool download = ccs == 1;
    // Aborts are unconfirmed, whatever object they name: an answer would reach the master that sent
    // the abort as the answer to its next request.
    if (command >= 0x80 && command <= 0x9F) {
        return std::nullopt;
    }

    std::optional<uint32_t> value32;
    if (index == 0x1000 && subIndex == 0) {
        value32 = identity.deviceType;
    } else if (index == 0x1018 && subIndex >= 1 && subIndex <= 4) {
        const uint32_t values[4] = {identity.vendorId, identity.productCode, identity.revisionNumber,
                                    identity.serialNumber};
        value32 = values[subIndex - 1];
    }
    std::optional<uint8_t> value8;
    if (index == 0x1001 && subIndex == 0) {
        std::lock_guard lock(s.mutex);
        value8 = s.errorRegister;
    } else if (index == 0x1018 && subIndex == 0) {
        value8 = 4;
    }

    if (value32 || value8) {
        if (upload) {
            return value32 ? answerFrame(0x43, d, *value32) : answerFrame(0x4F, d, *value8);
        }
        if (download) {
            return abortFrame(d, kAbortReadOnly);
        }
        return abortFrame(d, kAbortCommand);
    }
    if (index == 0x1F10 && subIndex == 0) {
        if (upload) {
            std::lock_guard lock(s.mutex);
            return answerFrame(0x43, d, s.channelValue);
        }
        if (download) {
            const bool expedited = (command & 0x02) != 0;
            const bool sized = (command & 0x01) != 0;
            if (!expedited) {
                return abortFrame(d, kAbortUnsupportedAccess);
            }
            if (sized && 4 - ((command >> 2) & 0x03) < 4) {
                return abortFrame(d, kAbortLengthMismatch);
            }
            std::lock_guard lock(s.mutex);
            s.channelValue = getLe32(d + 4);
            s.channelState = ChannelState::Granted;
            return answerFrame(0x60, d, 0);
        }
        return abortFrame(d, kAbortCommand);
    }
    return abortFrame(d, kAbortNoObject);
}

// Clears `busy` when the frame has been answered.
struct BusyScope {
    SdoServerModule& s;
    explicit BusyScope(SdoServerModule& module) : s(module) { tAnswering = true; }
    ~BusyScope() {
        tAnswering = false;
        {
            std::lock_guard lock(s.mutex);
            s.busy = false;
        }
        s.idle.notify_all();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
};

void waitUntilIdle(SdoServerModule& s, std::unique_lock<std::mutex>& lock) {
    if (!tAnswering) {
        (void)s.idle.wait_for(lock, kIdleWait, [&] { return !s.busy; });
    }
}

// Takes the frame when it is the echo of one of the PC's own requests.
[[nodiscard]] bool takeOwnRequest(SdoServerModule& s, const CANFrame& frame) {
    const uint32_t now = engineNowMs();
    std::lock_guard lock(s.mutex);
    for (OwnRequest& own : s.ownRequests) {
        if (own.token == 0) {
            continue;
        }
        if (now - own.sentMs > kOwnEchoWindowMs) {
            own.token = 0;  // its echo is not coming any more
        } else if (own.length == frame.length && std::equal(frame.data, frame.data + own.length, own.data.begin())) {
            own.token = 0;
            return true;
        }
    }
    return false;
}

// 0, or -4 for a node id the server cannot serve.
[[nodiscard]] int32_t startServer(const Identity& identity) {
    if (!validNodeId(identity.nodeId)) {
        return DRN_BAD_PARAMETERS;
    }
    SdoServerModule& s = server();
    {
        std::unique_lock lock(s.mutex);
        if (s.running && s.identity == identity) {
            return DRN_OK;
        }
        if (s.running) {
            waitUntilIdle(s, lock);
        }
        s.identity = identity;
        s.running = true;
        s.ownRequests.fill(OwnRequest{});
        s.watchedRequestId.store(serverIds(identity.nodeId).request);
    }
    bootUp(s, identity.nodeId);
    return DRN_OK;
}

void stopServer() {
    SdoServerModule& s = server();
    std::unique_lock lock(s.mutex);
    s.running = false;
    s.watchedRequestId.store(0);
    waitUntilIdle(s, lock);
}

} // namespace

void sdoServerReset() {
    SdoServerModule& s = server();
    {
        std::lock_guard lock(s.mutex);
        s.running = false;
        s.watchedRequestId.store(0);
        s.ownRequests.fill(OwnRequest{});
        s.identity = Identity{};
        s.errorRegister = 0;
        s.channelValue = 0;
        s.channelState = ChannelState::None;
        s.channelWaitGivenUp = false;
    }
    setSdoChannelsEnabled(false);
}

void sdoServerShutdown() { stopServer(); }

void SDOServer_HandleRequest(const CANFrame& frame, bool ownFrame) {
    if ((frame.flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) != 0) {
        return;
    }
    SdoServerModule& s = server();
    Identity identity;
    {
        std::lock_guard lock(s.mutex);
        if (!s.running) {
            return;
        }
        s.busy = true;
        identity = s.identity;
    }
    const BusyScope busy(s);
    const uint8_t* d = frame.data;

    if (frame.id == kNmtId && frame.length == 2) {
        const bool addressed = d[1] == identity.nodeId || d[1] == 0;
        if (addressed && (d[0] == 0x81 || d[0] == 0x82)) {
            bootUp(s, identity.nodeId);
        }
        return;
    }
    const ServerIds ids = serverIds(identity.nodeId);
    if (frame.id == ids.request && (ownFrame || takeOwnRequest(s, frame))) {
        return;  // the PC asked itself: it must not answer in the node's place
    }
    if (frame.id == ids.request && frame.length < 8) {
        // SDO requests always carry 8 bytes: a shorter one is refused as a whole, nothing written.
        uint8_t d[8] = {};
        std::memcpy(d, frame.data, std::min<uint8_t>(frame.length, 8));
        const bool abortRequest = frame.length > 0 && d[0] >= 0x80 && d[0] <= 0x9F;  // never answered
        if (!abortRequest) {
            const auto answer = abortFrame(d, kAbortCommand);
            (void)engineTransmit(ids.response, answer.data(), 8);
        }
        return;
    }
    if (frame.length != 8) {
        return;
    }
    if (frame.id == ids.response) {
        std::lock_guard lock(s.mutex);
        if (s.channelState == ChannelState::Granted) {
            s.channelState = ChannelState::Ready;  // the grant's answer has gone out on the bus
        }
        return;
    }
    if (frame.id == ids.request) {
        if (const auto answer = answerRequest(s, identity, d)) {
            (void)engineTransmit(ids.response, answer->data(), 8);
        }
    }
}

uint64_t SDOServer_NoteTransmission(const DriverOps& ops, uint32_t id, const uint8_t* data, uint8_t length) {
    SdoServerModule& s = server();
    if (id != s.watchedRequestId.load(std::memory_order_relaxed) || id == 0 || length > 8) {
        return 0;
    }
    if (ops.SelfReceiving == nullptr || ops.SelfReceiving() == 0) {
        return 0;  // no echo will come that could be taken for another master's request
    }
    OwnRequest own;
    own.length = length;
    if (length > 0) {
        std::memcpy(own.data.data(), data, length);
    }
    own.sentMs = engineNowMs();
    std::lock_guard lock(s.mutex);
    own.token = ++s.lastToken;
    s.ownRequests[s.nextOwnRequest] = own;
    s.nextOwnRequest = (s.nextOwnRequest + 1) % kOwnRequestSlots;
    return own.token;
}

void SDOServer_WithdrawTransmission(uint64_t token) {
    if (token == 0) {
        return;
    }
    SdoServerModule& s = server();
    std::lock_guard lock(s.mutex);
    for (OwnRequest& own : s.ownRequests) {
        if (own.token == token) {
            own.token = 0;
        }
    }
}

bool SDOServer_IsChannelReady() {
    SdoServerModule& s = server();
    std::lock_guard lock(s.mutex);
    return !(s.running && sdoChannelsEnabled() && s.channelState != ChannelState::Ready && !s.channelWaitGivenUp);
}

void SDOServer_RequestChannel() {
    if (SDOServer_IsChannelReady()) {
        return;
    }
    SdoServerModule& s = server();
    {
        std::lock_guard lock(s.mutex);
        s.channelValue = kChannelRequestValue;
        s.channelState = ChannelState::Requested;
    }
    const uint8_t noData[1] = {0};
    (void)engineTransmit(kChannelRequestId, noData, 0);
}

void SDOServer_GiveUpChannelWait() {
    SdoServerModule& s = server();
    std::lock_guard lock(s.mutex);
    s.channelWaitGivenUp = true;
}

} // namespace drennic

extern "C" {

void CANopenServer_Startup(uint8_t nodeId, uint32_t deviceType, uint32_t vendorId, uint32_t productCode,
                           uint32_t revisionNumber, uint32_t serialNumber, int32_t* out) {
    int32_t code = DRN_OK;
    try {
        code = drennic::startServer(
            drennic::Identity{nodeId, deviceType, vendorId, productCode, revisionNumber, serialNumber});
    } catch (...) {
        code = DRN_REQUEST_FAILED;
    }
    if (out != nullptr) {
        *out = code;
    }
}

void CANopenServer_Shutdown(void) {
    try {
        drennic::stopServer();
    } catch (...) {
    }
}

} // extern "C"
