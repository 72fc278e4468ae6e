// The network table: the hardware and networks the server offers when it has no CAN interface
// driver (library not started, or the simulated bus). One simulated hardware, eight built-in
// CANopen networks, and the user networks that clients add, kept in the per-user registry.
#pragma once

#include "drennic/drennic.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::halvorn {

// Who asked for a network to be added or deleted: the client's process id and the request's tag
// (0: a request without a tag, which leaves no trace).
struct RequestOrigin {
    uint32_t client = 0;
    uint32_t tag = 0;
};

// What was done for a request, as the table keeps it.
struct RequestRecord {
    enum class Kind : uint8_t { Added = 1, Deleted = 2 };
    Kind kind = Kind::Added;
    uint32_t handle = 0;
};

class NetTable {
public:
    // HKEY_CURRENT_USER; one string value per user network: name = handle in decimal,
    // data = "<hardware>,<kbit/s>,<name>".
    static constexpr const char* kRegistryKey = "Software\\Ostrel\\Halvorn\\Networks";
    static constexpr uint32_t kFirstUserHandle = 9;
    static constexpr uint32_t kLastUserHandle = 65'535;
    static constexpr int32_t kDeleted = 0;
    static constexpr int32_t kDeleteRefused = 2;
    static constexpr std::size_t kBuiltInCount = 8;
    static constexpr const char16_t* kHardwareName = u"Internal";
    static constexpr uint32_t kHardwareHandle = 0;

    // Construct: creates the registry key when it does not exist.
    NetTable();

    [[nodiscard]] static const std::array<NetworkInfo, kBuiltInCount>& builtInNetworks();
    // Handle 32 among them.
    [[nodiscard]] static bool isBuiltInHandle(uint32_t handle);

    // Writes the one "Internal" entry (handle 0); returns 1.
    [[nodiscard]] int32_t GetHardware(HardwareInfo* records) const;
    // The built-in networks (whatever the hardware), then the stored networks of `hardware`,
    // at most `capacity` records in all.
    [[nodiscard]] int32_t Enumerate(NetworkInfo* records, int32_t capacity, uint32_t hardware) const;
    // Stores a network under the first free handle from 9 and returns the handle; 0 when no
    // handle is free or the network cannot be stored. The request's origin is stored with it, in the
    // same change of the store: a server that dies after it finds both or neither.
    [[nodiscard]] uint32_t Add(std::string_view utf8Name, uint32_t baudKbit, uint32_t hardware,
                               RequestOrigin origin = {});
    // kDeleteRefused for handles up to 8; otherwise the stored value goes (with the origin noted in the
    // same change) and the answer is kDeleted.
    [[nodiscard]] int32_t Delete(uint32_t handle, RequestOrigin origin = {});
    // What an add or a delete of `origin` did, for a request written again after a server restart. The
    // table keeps the latest kKeptRequests of them across restarts, beside the networks (in values of
    // another type, which the network list passes over).
    [[nodiscard]] std::optional<RequestRecord> FindRequest(RequestOrigin origin) const;
    // Notes what was done for a request when the networks live elsewhere (an interface library's own).
    void RecordRequest(RequestOrigin origin, RequestRecord record);
    static constexpr std::size_t kKeptRequests = 256;
    // kbit/s of a built-in or stored network, 0 when unknown.
    [[nodiscard]] uint32_t GetBaudrate(uint32_t handle) const;
    // Whether `handle` may be given to a new network.
    [[nodiscard]] bool ReadRegistry(uint32_t handle) const;
};

} // namespace ostrel::halvorn
