// The shared-memory block between the CAN server and its clients: one word and four rings.
//
// Both sides (the server and every client's server-client driver) map the same block, so every
// record here is byte-exact. Ring words are host (little-endian) integers; payloads inside a
// command's data are big-endian and go through putBe16/getBe16/putBe32/getBe32.
// This header depends on nothing but the standard library, so the client driver can use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::halvorn {

// ---- Named objects shared by the server and its clients ----
inline constexpr const char* kMemoryName = "HALVORNMEMORY";
inline constexpr const char* kCommandMutexName = "HALVORNMEMORYCMDMUTEX";
inline constexpr const char* kResponseMutexName = "HALVORNMEMORYRESPMUTEX";
inline constexpr const char* kSendMutexName = "HALVORNMEMORYSENDMUTEX";
inline constexpr const char* kReceiveMutexName = "HALVORNMEMORYRECEIVEMUTEX";
inline constexpr const char* kCommandEventName = "HALVORNMEMORYCMDEVENT";     // automatic reset, set
inline constexpr const char* kResponseEventName = "HALVORNMEMORYRESPEVENT";   // manual reset, pulsed
inline constexpr const char* kSendEventName = "HALVORNMEMORYSENDEVENT";       // automatic reset, set
inline constexpr const char* kReceiveEventName = "HALVORNMEMORYRECEIVEEVENT"; // manual reset, pulsed
inline constexpr const char* kRunningEventName = "HALVORNRUNNING";            // manual reset
// A small segment of our own beside the byte-exact block: how often each ring was started afresh, how
// far it went, and the stamps of the slots of the rings the clients write.
inline constexpr const char* kRingStateName = "HALVORNMEMORYRINGSTATE";

// ---- Ring geometry ----
inline constexpr uint32_t kRingCapacity = 1000;
inline constexpr uint32_t kRingMutexWaitMs = 500;
inline constexpr int32_t kCommandDataMax = 5800;
inline constexpr uint8_t kFrameDataMax = 8;

// Flag bits of a frame, as in the library's CANFrame.
inline constexpr uint8_t kFrameFlagExtended = 0x01;
inline constexpr uint8_t kFrameFlagRemote = 0x02;
inline constexpr uint8_t kFrameFlagError = 0x04;

// One entry of the command and response rings.
struct ServerCommand {
    uint8_t code;              // command or response code
    // A client numbers its requests here; the server copies the bytes into the answer, so that an
    // answer is never taken for another request's. 0: not numbered (a server that leaves them alone
    // answers with 0).
    uint8_t requestTag[3];
    int32_t length;            // valid bytes in data, 0..kCommandDataMax
    uint8_t data[kCommandDataMax];
    uint32_t processId;        // commands: the sender; responses: the addressee, 0 = every client
};
static_assert(sizeof(ServerCommand) == 5812);
static_assert(offsetof(ServerCommand, code) == 0);
static_assert(offsetof(ServerCommand, requestTag) == 1);
static_assert(offsetof(ServerCommand, length) == 4);
static_assert(offsetof(ServerCommand, data) == 8);
static_assert(offsetof(ServerCommand, processId) == 5808);

// One entry of the send and receive rings: the 28 bytes of a CANFrame and the sender's process id.
struct ServerFrame {
    uint32_t timeMs;
    uint32_t timeMsOverflow;
    uint32_t timeUs;
    uint32_t id;
    uint8_t length;            // 0..kFrameDataMax
    uint8_t flags;             // kFrameFlag* bits
    uint8_t data[8];
    uint8_t unused[2];
    uint32_t processId;        // send ring: the sender; receive ring: 0 from the bus, else the echoed sender
};
static_assert(sizeof(ServerFrame) == 32);
static_assert(offsetof(ServerFrame, timeMs) == 0);
static_assert(offsetof(ServerFrame, timeMsOverflow) == 4);
static_assert(offsetof(ServerFrame, timeUs) == 8);
static_assert(offsetof(ServerFrame, id) == 12);
static_assert(offsetof(ServerFrame, length) == 16);
static_assert(offsetof(ServerFrame, flags) == 17);
static_assert(offsetof(ServerFrame, data) == 18);
static_assert(offsetof(ServerFrame, processId) == 28);

// Read indexes are not in the block: every reader keeps its own.
struct ServerRingHeader {
    uint32_t capacity;
    uint32_t writeIndex;
};
static_assert(sizeof(ServerRingHeader) == 8);

template <typename Entry>
struct ServerRing {
    ServerRingHeader header;
    Entry entries[kRingCapacity];
};

struct ServerBlock {
    uint32_t currentNetwork;   // the server's open network, 0 = none; written only by the server
    ServerRing<ServerCommand> commandRing;
    ServerRing<ServerCommand> responseRing;
    ServerRing<ServerFrame> sendRing;
    ServerRing<ServerFrame> receiveRing;
};
static_assert(sizeof(ServerBlock) == 11'688'036);
static_assert(offsetof(ServerBlock, currentNetwork) == 0);
static_assert(offsetof(ServerBlock, commandRing.header.capacity) == 4);
static_assert(offsetof(ServerBlock, commandRing.header.writeIndex) == 8);
static_assert(offsetof(ServerBlock, commandRing.entries) == 12);
static_assert(offsetof(ServerBlock, responseRing.header.capacity) == 5'812'012);
static_assert(offsetof(ServerBlock, responseRing.header.writeIndex) == 5'812'016);
static_assert(offsetof(ServerBlock, responseRing.entries) == 5'812'020);
static_assert(offsetof(ServerBlock, sendRing.header.capacity) == 11'624'020);
static_assert(offsetof(ServerBlock, sendRing.header.writeIndex) == 11'624'024);
static_assert(offsetof(ServerBlock, sendRing.entries) == 11'624'028);
static_assert(offsetof(ServerBlock, receiveRing.header.capacity) == 11'656'028);
static_assert(offsetof(ServerBlock, receiveRing.header.writeIndex) == 11'656'032);
static_assert(offsetof(ServerBlock, receiveRing.entries) == 11'656'036);

// Kept beside the block, never inside it, one for each ring. Whenever a server starts, it starts every ring
// afresh in a new epoch. What a ring holds is told by its slots' stamps alone (see below); the rest are
// hints that the server keeps and writes back: the epoch word, the count of entries written (its
// remainder by the capacity is the header's write index), the place the server reads next (rings the
// clients write; below it no client writes) and how many entries all the epochs before this one held,
// with a check that binds that number to the epoch.
struct RingRestart {
    uint32_t epoch;
    // recordCheck(epoch, earlier), and in the rings the server writes also over `position`: a reader trusts
    // `earlier` (and there the count) only when it agrees
    uint32_t check;
    uint64_t position;          // one past the latest entry written in the epoch, as its writer left it
    // slotStamp(epoch, rings the clients write: the place the server reads next; the rings it writes: a
    // second copy of `earlier`)
    uint64_t floor;
    // How many entries the epochs before this one held, all told: a reader that knew the number for its
    // own epoch counts exactly what it missed, however many servers started meanwhile.
    uint64_t earlier;
};
static_assert(sizeof(RingRestart) == 32);
static_assert(offsetof(RingRestart, check) == 4);
static_assert(offsetof(RingRestart, position) == 8);
static_assert(offsetof(RingRestart, floor) == 16);
static_assert(offsetof(RingRestart, earlier) == 24);

// Beside each slot of every ring, its stamp: which entry it holds, by its place in the count of entries
// written in the epoch (below 2^48) and the low 16 bits of the epoch above it. A writer copies its entry
// into the slot and then writes its check and stamps it, under the ring's mutex; a reader takes a slot
// only when its stamp is the place it reads next and the check agrees with the bytes.
inline constexpr uint32_t kStampPlaceBits = 48;
inline constexpr uint64_t kStampPlaceLimit = uint64_t{1} << kStampPlaceBits;
inline constexpr uint64_t kUnstamped = UINT64_MAX;  // never a stamp: its place is beyond the limit
[[nodiscard]] constexpr uint64_t slotStamp(uint32_t epoch, uint64_t place) noexcept {
    return (uint64_t{epoch & 0xFFFF} << kStampPlaceBits) | place;
}

struct RingStateBlock {
    RingRestart commandRing;
    RingRestart responseRing;
    RingRestart sendRing;
    RingRestart receiveRing;
    // Each server adds one at its start: a client that finds another number than the one it registered
    // with talks to a new server.
    uint32_t serverStarts;
    uint32_t unused;
    uint64_t commandStamps[kRingCapacity];
    uint64_t responseStamps[kRingCapacity];
    uint64_t sendStamps[kRingCapacity];
    uint64_t receiveStamps[kRingCapacity];
    // Beside each stamp, a check over the stamp and the entry's bytes as written.
    uint64_t commandChecks[kRingCapacity];
    uint64_t responseChecks[kRingCapacity];
    uint64_t sendChecks[kRingCapacity];
    uint64_t receiveChecks[kRingCapacity];
};
static_assert(sizeof(RingStateBlock) == 64'136);
static_assert(offsetof(RingStateBlock, responseRing) == 32);
static_assert(offsetof(RingStateBlock, sendRing) == 64);
static_assert(offsetof(RingStateBlock, receiveRing) == 96);
static_assert(offsetof(RingStateBlock, serverStarts) == 128);
static_assert(offsetof(RingStateBlock, commandStamps) == 136);
static_assert(offsetof(RingStateBlock, responseStamps) == 8'136);
static_assert(offsetof(RingStateBlock, sendStamps) == 16'136);
static_assert(offsetof(RingStateBlock, receiveStamps) == 24'136);
static_assert(offsetof(RingStateBlock, commandChecks) == 32'136);
static_assert(offsetof(RingStateBlock, receiveChecks) == 56'136);

// ---- Command and response codes ----
inline constexpr uint8_t ServerCmd_SetBusConfiguration = 0x10;
inline constexpr uint8_t ServerResp_SetBusConfiguration = 0x11;
inline constexpr uint8_t ServerCmd_GetBusConfiguration = 0x12;
inline constexpr uint8_t ServerResp_GetBusConfiguration = 0x13;
inline constexpr uint8_t ServerCmd_SetErrorFrames = 0x14;
inline constexpr uint8_t ServerCmd_EnumerateHardware = 0x15;
inline constexpr uint8_t ServerResp_EnumerateHardware = 0x16;
inline constexpr uint8_t ServerCmd_EnumerateNetworks = 0x17;
inline constexpr uint8_t ServerResp_EnumerateNetworks = 0x18;
inline constexpr uint8_t ServerCmd_AddNetwork = 0x19;
inline constexpr uint8_t ServerResp_AddNetwork = 0x1A;
inline constexpr uint8_t ServerCmd_DeleteNetwork = 0x1B;
inline constexpr uint8_t ServerResp_DeleteNetwork = 0x1C;
inline constexpr uint8_t ServerCmd_GetBaudrate = 0x1D;
inline constexpr uint8_t ServerResp_GetBaudrate = 0x1E;
inline constexpr uint8_t ServerCmd_Reserved = 0x20;          // accepted and ignored
inline constexpr uint8_t ServerCmd_SetHardwareConfiguration = 0x30;
inline constexpr uint8_t ServerResp_SetHardwareConfiguration = 0x31;
inline constexpr uint8_t ServerCmd_ResetHardware = 0x32;
inline constexpr uint8_t ServerResp_MajorError = 0x40;       // sent only by the server, to every client
inline constexpr uint8_t ServerCmd_GetCurrentTime = 0x41;
inline constexpr uint8_t ServerResp_GetCurrentTime = 0x42;
inline constexpr uint8_t ServerCmd_GetVersion = 0x50;
inline constexpr uint8_t ServerResp_GetVersion = 0x51;
inline constexpr uint8_t ServerCmd_SwitchNetworks = 0x60;
inline constexpr uint8_t ServerResp_SwitchNetworks = 0x61;
inline constexpr uint8_t ServerCmd_RegisterClient = 0xF0;
inline constexpr uint8_t ServerCmd_UnregisterClient = 0xF1;
inline constexpr uint8_t ServerCmd_Ping = 0xF2;
// A ping may carry a ticket (a u32): a server that does not know the sender then answers 0xF3,
// addressed to it, with the same ticket, so that a client dropped while it was stopped registers
// again. A ping without a ticket is never answered: clients that know nothing of 0xF3 never see one.
inline constexpr uint8_t ServerResp_NotRegistered = 0xF3;
inline constexpr int32_t kPingTicketLength = 4;

// The protocol version both sides speak, answered to 0x50 (a client of this version sends its own in
// the command's two data bytes). 2.0: every ring keeps a count of entries written beside the block, and
// a peer of 1.0, which keeps none, never sees what the other writes. 3.0: every slot of every ring is
// stamped, and the record beside the block has another layout. Peers of another major version do not
// work together.
inline constexpr uint8_t kServerVersionMajor = 3;
inline constexpr uint8_t kServerVersionMinor = 0;

// ---- Payload layouts of the enumeration and network commands ----
inline constexpr uint16_t kMaxHardwareEntries = 40;
inline constexpr uint16_t kMaxNetworkEntries = 32;
inline constexpr std::size_t kHardwareEntrySize = 130;     // name field 128, u16 handle
inline constexpr std::size_t kHardwareNameField = 128;     // 32 UTF-16 characters used, rest unused
inline constexpr std::size_t kHardwareNameChars = 32;
inline constexpr std::size_t kNetworkEntrySize = 164;      // name field 160, u16 handle, u16 kbit/s
inline constexpr std::size_t kNetworkNameField = 160;      // 40 UTF-16 characters used, rest unused
inline constexpr std::size_t kNetworkNameChars = 40;
inline constexpr std::size_t kAddNetworkPayload = 164;     // name field 160, u16 kbit/s, u16 hardware
// A request that a client writes again (the server it was written to went away before it answered, or
// its answer came back damaged) keeps its request tag and may carry one byte more after its payload with
// this bit set: it may have been carried out already. Adding and deleting a network then answer with
// what was done for this client's request of this tag, which the network table keeps across server
// restarts, instead of doing it twice. A server that knows nothing of the byte ignores it.
inline constexpr uint8_t kRequestRepeated = 0x01;
static_assert(2 + kMaxHardwareEntries * kHardwareEntrySize <= static_cast<std::size_t>(kCommandDataMax));
static_assert(2 + kMaxNetworkEntries * kNetworkEntrySize <= static_cast<std::size_t>(kCommandDataMax));

// ---- Request tags (24 bits, most significant byte first) ----
inline constexpr uint32_t kRequestTagMask = 0xFF'FFFF;
constexpr void putRequestTag(ServerCommand& entry, uint32_t tag) noexcept {
    entry.requestTag[0] = static_cast<uint8_t>(tag >> 16);
    entry.requestTag[1] = static_cast<uint8_t>(tag >> 8);
    entry.requestTag[2] = static_cast<uint8_t>(tag);
}
[[nodiscard]] constexpr uint32_t requestTagOf(const ServerCommand& entry) noexcept {
    return (static_cast<uint32_t>(entry.requestTag[0]) << 16) | (static_cast<uint32_t>(entry.requestTag[1]) << 8) |
           entry.requestTag[2];
}

// ---- Big-endian payload numbers (most significant byte first) ----
constexpr void putBe16(uint8_t* out, uint16_t value) noexcept {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}
[[nodiscard]] constexpr uint16_t getBe16(const uint8_t* in) noexcept {
    return static_cast<uint16_t>((static_cast<uint16_t>(in[0]) << 8) | in[1]);
}
constexpr void putBe32(uint8_t* out, uint32_t value) noexcept {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}
[[nodiscard]] constexpr uint32_t getBe32(const uint8_t* in) noexcept {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

} // namespace ostrel::halvorn
