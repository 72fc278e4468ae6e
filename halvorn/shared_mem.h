// The server's end of the shared-memory transport: it creates the block with its rings, drains
// the command and send rings for its handlers, and writes responses and frames for the clients.
#pragma once

#include "drennic/drennic.h"
#include "halvorn/server_block.h"
#include "halvorn/transport.h"
#include "server_log.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace ostrel::halvorn {

class SharedMem {
public:
    // The handlers get a copy of each entry; they run with no ring mutex held.
    using CommandHandler = void (*)(const ServerCommand& command, void* user);
    using FrameHandler = void (*)(const ServerFrame& frame, void* user);

    enum class PollResult { TimedOut, SendRingDrained, CommandRingDrained };

    // The four rings, for their repair counts.
    enum class Ring { Command, Response, Send, Receive };
    struct RingRepairCounts {
        uint64_t repairs = 0;  // hints or records found scribbled on and written back
    };

    // Construct: creates the mutexes, the events and the block, maps it and writes the initial
    // state (capacities 1000, write indexes 0, no current network). Empty when any object fails.
    [[nodiscard]] static std::unique_ptr<SharedMem> Construct(ServerLog& log);
    // Destroy: unmaps the block and closes the events and the mutexes.
    ~SharedMem();
    SharedMem(const SharedMem&) = delete;
    SharedMem& operator=(const SharedMem&) = delete;

    void SetCommandCallback(CommandHandler handler, void* user);
    void SetFrameCallback(FrameHandler handler, void* user);

    // Waits up to timeoutMs for the send event (first) or the command event and drains the ring
    // whose event woke it; the other ring waits for a later call, its event staying set. Every call
    // first looks at the four ring headers and repairs one that was scribbled on.
    PollResult Poll(uint32_t timeoutMs);
    [[nodiscard]] RingRepairCounts repairCounts(Ring ring) const;

    // Writes a response; the caller sets code, length, data and the addressee (0 = every client).
    bool SendResponse(const ServerCommand& entry);
    // Writes a client's frame, with that client's process id, for every client.
    bool BroadcastFrame(const ServerFrame& frame);
    // Writes a frame from the bus, with process id 0, for every client.
    bool PutReceivedFrame(const CANFrame& frame);
    // The block's first word: the network the server has open.
    void SetCurrentNetwork(uint32_t handle);
    [[nodiscard]] uint32_t currentNetwork() const;

private:
    SharedMem(ServerLog& log, std::unique_ptr<TransportObjects> objects);
    void drainSendRing();
    void drainCommandRing();
    bool writeFrame(const ServerFrame& frame);
    void checkRings();
    // The keeper's look at a ring: epoch word, floor and hints written back when scribbled on, logged
    // once per repair and counted. `reader` is the server's own reader of a ring the clients write.
    template <typename Entry>
    void keepRing(RingChannel<Entry>& channel, const RingReader<Entry>* reader, Ring ring);
    void noteRestoredHeader(const RingRepair& found, Ring ring);
    [[nodiscard]] uint32_t epochOf(Ring ring) const;

    struct RepairCounters {
        std::atomic<uint64_t> repairs{0};
    };

    ServerLog& log_;
    std::unique_ptr<TransportObjects> objects_;
    RingReader<ServerCommand> commandReader_;  // used only by the polling thread
    RingReader<ServerFrame> sendReader_;       // used only by the polling thread
    ServerCommand commandRecord_{};            // the copy handed to the command handler
    std::array<RepairCounters, 4> repairCounters_;

    std::mutex handlersLock_;
    CommandHandler commandHandler_ = nullptr;
    void* commandUser_ = nullptr;
    FrameHandler frameHandler_ = nullptr;
    void* frameUser_ = nullptr;
};

// A CANFrame as it travels in a frame ring.
[[nodiscard]] ServerFrame toServerFrame(const CANFrame& frame, uint32_t processId) noexcept;
[[nodiscard]] CANFrame toCanFrame(const ServerFrame& frame) noexcept;

} // namespace ostrel::halvorn
