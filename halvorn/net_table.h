// The network table: the hardware and networks the server offers when it has no CAN interface
// driver (library not started, or the simulated bus). One simulated hardware, eight built-in
// CANopen networks, and the user networks that clients add, kept in the per-user registry.
#pragma once

#include "drennic/drennic.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace ostrel::halvorn {

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
    // handle is free or the network cannot be stored.
    [[nodiscard]] uint32_t Add(std::string_view utf8Name, uint32_t baudKbit, uint32_t hardware);
    // kDeleteRefused for handles up to 8; otherwise the stored value goes and the answer is kDeleted.
    [[nodiscard]] int32_t Delete(uint32_t handle);
    // kbit/s of a built-in or stored network, 0 when unknown.
    [[nodiscard]] uint32_t GetBaudrate(uint32_t handle) const;
    // Whether `handle` may be given to a new network.
    [[nodiscard]] bool ReadRegistry(uint32_t handle) const;
};

} // namespace ostrel::halvorn
