// The PCI card behind the simulated HICANPCI library: the card driver session, its channels with
// their controllers and receive queues, on the simulated bus. The library holds one instance for as
// long as it is loaded; the exported functions forward here.
#pragma once

#include "hicanpci_api.h"

#include <simbus/simbus.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::simhico {

inline constexpr std::string_view kLibraryName = "hicanpci";

class HicoCard {
public:
    // Announces the card to the bus with two channels (0 and 1) on line 0.
    HicoCard();
    ~HicoCard();
    HicoCard(const HicoCard&) = delete;
    HicoCard& operator=(const HicoCard&) = delete;

    [[nodiscard]] int32_t openDriver();
    [[nodiscard]] int32_t closeDriver();
    [[nodiscard]] int32_t open(uint32_t channel);
    [[nodiscard]] int32_t close(uint32_t channel);
    [[nodiscard]] int32_t start(uint32_t channel);
    [[nodiscard]] int32_t stop(uint32_t channel);
    [[nodiscard]] int32_t setBaud(uint32_t channel, uint32_t baud);
    [[nodiscard]] int32_t canCtrl(uint32_t channel, uint32_t command);
    [[nodiscard]] int32_t setTimestamp(uint32_t channel, const HiCanTimeStamp* time);
    [[nodiscard]] int32_t write(uint32_t node, const HiCanMessage* message, uint32_t timeoutUs);
    [[nodiscard]] int32_t read(uint32_t node, HiCanMessage* message, uint32_t timeoutUs);
    [[nodiscard]] int32_t resetContr(uint32_t channel, uint32_t mode);
    [[nodiscard]] int32_t clrOverrun(uint32_t channel);
    [[nodiscard]] int32_t registerEvent(uint32_t channel, const HiCanEvent* event);

    // Closes every channel and the driver session (the bus's reset).
    void resetState();

    static constexpr std::size_t kQueueCapacity = 16384;

private:
    struct Queued {
        simbus::Frame frame;
        uint64_t timeUs = 0;
    };
    struct Channel {
        uint64_t serial = 0;  // tells this opening from an earlier one of the same channel
        simbus::PortId port = 0;
        uint32_t baud = 0;    // 0: not set
        bool started = false;
        bool selfReception = false;
        bool overrun = false;
        uint32_t reportedState = HICO_STATE_ERROR_ACTIVE;
        int64_t clockOffsetUs = 0;  // card time = bus time - offset
        std::deque<Queued> queue;
        std::optional<HiCanEvent> event;
    };

    [[nodiscard]] std::optional<int32_t> fault(std::string_view function, uint32_t detail = simbus::kAnyDetail) const;
    void note(std::string text) const;
    // An entry point that changes one open channel: the provoked fault, else what `change` returns
    // (HICO_ERR_CHANNEL_CLOSED when the channel is not open), noted as
    // "<function> channel=<n><details> -> <result>". `change` runs under mutex_.
    template <typename Change>
    [[nodiscard]] int32_t changeChannel(std::string_view function, uint32_t channel, const std::string& details,
                                        uint32_t faultDetail, Change change);
    // The channel a selector or number names; null when it is not open. Caller holds mutex_.
    [[nodiscard]] Channel* channelLocked(uint32_t channel);
    [[nodiscard]] std::optional<uint32_t> currentNodeLocked() const;
    // The state change not yet reported, as its report; caller holds mutex_.
    [[nodiscard]] std::optional<int32_t> takeReportLocked(uint32_t number, Channel& channel);
    void push(Channel& channel, const simbus::Frame& frame, uint64_t timeUs);
    void signal(uint32_t channel, uint64_t serial);
    void onWire(uint32_t channel, uint64_t serial, const simbus::Frame& frame, uint64_t timeUs);
    [[nodiscard]] HiCanTimeStamp cardTime(const Channel& channel, uint64_t busTimeUs) const;
    // Closes the channels' ports; called without mutex_ (a port may be delivering into onWire).
    static void closePorts(const std::vector<simbus::PortId>& ports);

    std::mutex portsMutex_;  // serialises opening and closing (taken before mutex_)
    std::mutex eventMutex_;  // held while an event is signalled and while one is replaced
    mutable std::mutex mutex_;  // everything below; never held while calling out
    std::condition_variable arrived_;
    bool driverOpen_ = false;
    uint64_t nextSerial_ = 1;
    std::map<uint32_t, Channel> channels_;
    std::vector<uint32_t> openOrder_;  // the current node is the last
};

// The card time of a span of bus microseconds.
[[nodiscard]] HiCanTimeStamp toCardTime(uint64_t us);
[[nodiscard]] uint64_t fromCardTime(const HiCanTimeStamp& time);

} // namespace ostrel::simhico
