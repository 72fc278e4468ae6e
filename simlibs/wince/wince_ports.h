// The CAN interfaces behind the simulated WinCE-style library: open ports with their controllers
// and receive queues, on the simulated bus, and the library-wide settings. The library holds one
// instance for as long as it is loaded; the exported functions forward here.
#pragma once

#include "wince_api.h"

#include <simbus/simbus.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::simwince {

inline constexpr std::string_view kLibraryName = "wince";

class WincePorts {
public:
    // Announces the library to the bus with two interfaces ("CAN1", "CAN2") on line 0.
    WincePorts();
    ~WincePorts();
    WincePorts(const WincePorts&) = delete;
    WincePorts& operator=(const WincePorts&) = delete;

    [[nodiscard]] int32_t numberOfInterfaces();
    [[nodiscard]] int32_t open(const char16_t* portName, uint32_t rateKbit);
    [[nodiscard]] WinceBool close(int32_t port);
    [[nodiscard]] WinceBool setReceiveEvent(int32_t port, const WinceEvent* event);
    [[nodiscard]] WinceBool start(int32_t port);
    [[nodiscard]] WinceBool stop(int32_t port);
    [[nodiscard]] WinceBool transmit(int32_t port, uint32_t id, WinceBool remote, WinceBool extended,
                                     WinceBool errorFrame, uint8_t length, const uint8_t* data);
    [[nodiscard]] WinceBool receive(int32_t port, uint32_t* id, WinceBool* remote, WinceBool* extended,
                                    WinceBool* errorFrame, uint8_t* length, uint8_t* data);
    [[nodiscard]] WinceBool status(int32_t port, uint32_t* errorPassive, uint32_t* errorCounters, uint32_t* busOff);
    [[nodiscard]] WinceBool configureErrorFrames(WinceBool on);
    [[nodiscard]] WinceBool configureSelfReceive(WinceBool on);

    // Closes every port and restores the settings (the bus's reset).
    void resetState();

    static constexpr std::size_t kQueueCapacity = 16384;

private:
    struct Port {
        uint32_t interfaceNumber = 0;
        uint32_t rateKbit = 0;
        simbus::PortId busPort = 0;
        bool started = false;
        std::deque<simbus::Frame> queue;
        std::optional<WinceEvent> event;
    };

    [[nodiscard]] std::optional<int32_t> fault(std::string_view function, uint32_t detail = simbus::kAnyDetail) const;
    void note(std::string text) const;
    [[nodiscard]] Port* portLocked(int32_t port);
    void push(Port& port, const simbus::Frame& frame);
    void signal(int32_t port);
    void onWire(int32_t port, const simbus::Frame& frame);

    std::mutex portsMutex_;     // serialises opening and closing (taken before the others)
    std::mutex eventMutex_;     // held while an event is signalled and while one is replaced
    mutable std::mutex mutex_;  // everything below; never held while calling out
    std::map<int32_t, Port> ports_;
    int32_t nextHandle_ = 1;
    bool errorFrames_ = false;
    bool selfReceive_ = false;
};

// The interface number of a device name "CAN<n>:"; nullopt for any other name.
[[nodiscard]] std::optional<uint32_t> interfaceOfPortName(std::u16string_view name);

} // namespace ostrel::simwince
