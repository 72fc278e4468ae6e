// The client-and-network model behind both simulated Kobal libraries: registered networks, clients
// with their connections, identifier ranges and receive queues, on the simulated bus. Each library
// holds one instance for as long as it is loaded; the exported functions translate their text and
// forward here.
#pragma once

#include "kobal_api.h"

#include <simbus/simbus.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::simkobal {

// How the library hands out names: Kobalapi2 as UTF-8 (buffer sizes in bytes), KobalPlsapi2 as
// UTF-16 (buffer sizes in characters).
enum class TextEncoding { Utf8, Utf16 };

class KobalModel {
public:
    // Announces the library to the bus under `library` with the hardware it offers by default.
    KobalModel(std::string library, TextEncoding encoding, std::vector<simbus::HardwareEntry> defaultHardware);
    ~KobalModel();
    KobalModel(const KobalModel&) = delete;
    KobalModel& operator=(const KobalModel&) = delete;

    [[nodiscard]] int32_t getHwParam(uint32_t hardware, uint32_t param, void* buffer, uint32_t size);
    [[nodiscard]] int32_t setHwParam(uint32_t hardware, uint32_t param, const void* buffer, uint32_t size);
    [[nodiscard]] int32_t getNetParam(uint32_t network, uint32_t param, void* buffer, uint32_t size);
    [[nodiscard]] int32_t setNetParam(uint32_t network, uint32_t param, uint32_t value);
    [[nodiscard]] int32_t registerNet(uint32_t network, const char* name, uint32_t hardware, uint32_t bitRate);
    [[nodiscard]] int32_t removeNet(uint32_t network);
    [[nodiscard]] int32_t registerClient(const char* name, uint32_t windowHandle, uint8_t* client);
    [[nodiscard]] int32_t removeClient(uint8_t client);
    // The name in UTF-8; nullopt when the caller passed none.
    [[nodiscard]] int32_t connectToNet(uint8_t client, std::optional<std::string> networkName, uint8_t* network);
    [[nodiscard]] int32_t disconnectFromNet(uint8_t client, uint32_t network);
    [[nodiscard]] int32_t registerMsg(uint8_t client, uint32_t network, const KobalMsgBound* low,
                                      const KobalMsgBound* high);
    [[nodiscard]] int32_t setClientParam(uint8_t client, uint32_t param, uintptr_t value);
    [[nodiscard]] int32_t write(uint8_t client, uint32_t network, const KobalMessage* message,
                                const KobalTimeStamp* time);
    [[nodiscard]] int32_t read(uint8_t client, KobalMessage* message, uint8_t* network, KobalTimeStamp* time);
    [[nodiscard]] int32_t getSystemTime(KobalTimeStamp* time);
    [[nodiscard]] uint32_t status(uint32_t hardware);
    [[nodiscard]] int32_t resetHardware(uint32_t hardware);

    // Forgets every network and client (the bus's reset).
    void resetState();

    static constexpr std::size_t kQueueCapacity = 16384;
    static constexpr uint8_t kMaxClients = 64;

private:
    struct Network {
        std::string name;  // UTF-8
        uint32_t hardware = 0;
        uint32_t bitRate = 0;
        bool delayedDistribution = false;
    };
    struct Range {
        uint32_t network = 0;
        uint32_t low = 0;
        uint32_t high = 0;
        bool extended = false;
    };
    struct Queued {
        KobalMessage message{};
        uint8_t network = 0;
        uint64_t timeUs = 0;
    };
    struct Client {
        std::string name;
        uint32_t windowHandle = 0;
        std::set<uint32_t> networks;
        std::vector<Range> ranges;
        std::deque<Queued> queue;
        std::optional<KobalEvent> event;
        bool errorFrames = false;
    };

    [[nodiscard]] std::optional<int32_t> fault(std::string_view function, uint32_t detail = simbus::kAnyDetail) const;
    void note(std::string text) const;
    [[nodiscard]] bool hardwarePresent(uint32_t hardware) const;
    [[nodiscard]] int32_t copyName(std::string_view utf8, void* buffer, uint32_t size) const;
    // Queues the frame for every client (but `except`) connected to a network of the hardware
    // that takes it; returns the clients whose events are due. Caller holds mutex_.
    [[nodiscard]] std::vector<uint8_t> deliverLocked(uint32_t hardware, const simbus::Frame& frame, uint64_t timeUs,
                                                     uint8_t except);
    [[nodiscard]] bool takes(const Client& client, uint32_t network, const simbus::Frame& frame) const;
    void signal(const std::vector<uint8_t>& clients);
    void onWire(uint32_t hardware, const simbus::Frame& frame, uint64_t timeUs);
    // Opens a port for every hardware with a connected client, closes the others.
    void syncPorts();

    const std::string library_;
    const TextEncoding encoding_;

    mutable std::mutex mutex_;  // networks_, clients_, ports_; never held while calling out
    std::map<uint32_t, Network> networks_;
    std::map<uint8_t, Client> clients_;
    std::map<uint32_t, simbus::PortId> ports_;  // changed under portsMutex_ and mutex_

    std::mutex portsMutex_;  // serialises opening and closing of ports
    // Held while a client's event is signalled, so that clearing an event waits for a running
    // signal (taken before mutex_ when both are needed).
    std::mutex eventMutex_;
};

// Library time stamps from bus microseconds.
[[nodiscard]] KobalTimeStamp toTimeStamp(uint64_t timeUs);

} // namespace ostrel::simkobal
