// The named objects of the server's shared memory, as both sides open them, and the client's
// end of the rings.
#pragma once

#include "halvorn/ring.h"
#include "halvorn/server_block.h"
#include "platform/ipc.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace ostrel::halvorn {

// The four mutexes, the four events and the mapped block, created-or-opened with the same names
// and parameters by the server and by every client, and beside them the rings' restart records.
// Closing releases them in reverse order.
class TransportObjects {
public:
    // Opens the mutexes, then the events, then the block and the restart records. Empty when any of
    // them fails: the rings must not be used then; `failure`, when given, learns why.
    [[nodiscard]] static std::unique_ptr<TransportObjects> open(platform::OpenFailure* failure = nullptr);
    // The name of the first of these objects (or the running event) that a live process holds in
    // another format, as a program of another installation would; null when there is none.
    [[nodiscard]] static const char* objectOfAnotherFormat();
    ~TransportObjects();
    TransportObjects(const TransportObjects&) = delete;
    TransportObjects& operator=(const TransportObjects&) = delete;

    [[nodiscard]] ServerBlock& block() noexcept { return *block_; }
    // The record beside the block: the rings' epochs, counts, floors and slot stamps.
    [[nodiscard]] RingStateBlock& ringState() noexcept { return *restarts_; }
    [[nodiscard]] RingChannel<ServerCommand>& commandRing() noexcept { return commandRing_; }
    [[nodiscard]] RingChannel<ServerCommand>& responseRing() noexcept { return responseRing_; }
    [[nodiscard]] RingChannel<ServerFrame>& sendRing() noexcept { return sendRing_; }
    [[nodiscard]] RingChannel<ServerFrame>& receiveRing() noexcept { return receiveRing_; }
    [[nodiscard]] platform::NamedEvent& commandEvent() noexcept { return *commandEvent_; }
    [[nodiscard]] platform::NamedEvent& sendEvent() noexcept { return *sendEvent_; }

    // The block's first word; written by the server without a lock, read by clients without one.
    [[nodiscard]] uint32_t currentNetwork() const noexcept;
    void setCurrentNetwork(uint32_t handle) noexcept;

    // The server's start-up state: capacities 1000, write indexes 0, no current network, and a new
    // epoch for every ring, so that clients still attached drop what a dead server left. Counts a
    // server start, and makes this process the keeper of every ring: it keeps its own copy of each
    // ring's epoch and of where it stands, of the current network and of the count of server starts.
    void initialise();
    // How many servers have started on these objects.
    [[nodiscard]] uint32_t serverStarts() const noexcept;

    // The keeper's look at the words it keeps beside the rings: each one scribbled on is written back.
    struct WordRepair {
        std::optional<uint32_t> currentNetwork;  // the value found, when it was written back
        std::optional<uint32_t> serverStarts;
    };
    [[nodiscard]] WordRepair keepWords() noexcept;

private:
    struct Objects {
        std::unique_ptr<platform::NamedMutex> commandMutex, responseMutex, sendMutex, receiveMutex;
        std::unique_ptr<platform::NamedEvent> commandEvent, responseEvent, sendEvent, receiveEvent;
        std::unique_ptr<platform::SharedMemory> memory;
        std::unique_ptr<platform::SharedMemory> ringState;
    };
    explicit TransportObjects(Objects objects);

    std::unique_ptr<platform::NamedMutex> commandMutex_, responseMutex_, sendMutex_, receiveMutex_;
    std::unique_ptr<platform::NamedEvent> commandEvent_, responseEvent_, sendEvent_, receiveEvent_;
    std::unique_ptr<platform::SharedMemory> memory_;
    std::unique_ptr<platform::SharedMemory> ringState_;
    ServerBlock* block_;
    RingStateBlock* restarts_;
    RingChannel<ServerCommand> commandRing_;
    RingChannel<ServerCommand> responseRing_;
    RingChannel<ServerFrame> sendRing_;
    RingChannel<ServerFrame> receiveRing_;
    std::atomic<bool> keeper_{false};
    std::atomic<uint32_t> keptNetwork_{0};
    std::atomic<uint32_t> keptStarts_{0};
};

// A client's end of the rings: writes commands and frames with its own process id, reads the
// responses addressed to it (or to every client) and the frames of the receive ring. Its readers
// start at the write indexes found when it connects, so it never sees older entries.
// The writing operations are safe from any thread. readResponse and readReceived are each used by one
// thread at a time (they may be two different threads); the counts may be read from any thread.
class RingClient {
public:
    // Opens the shared objects and takes the current write indexes. Empty when the objects cannot
    // be opened; `failure`, when given, learns why.
    [[nodiscard]] static std::unique_ptr<RingClient> connect(uint32_t processId,
                                                             platform::OpenFailure* failure = nullptr);
    ~RingClient();
    RingClient(const RingClient&) = delete;
    RingClient& operator=(const RingClient&) = delete;

    // A writer that finds the ring's epoch word and the server's floor disagreeing wakes the server,
    // which writes them back at once, and waits this long for it before it gives the entry up.
    static constexpr uint32_t kRepairWaitMs = 300;

    // Writes a command (its process id becomes ours, its request tag stays) and sets the command event.
    [[nodiscard]] RingWriteResult sendCommand(const ServerCommand& command);
    [[nodiscard]] RingWriteResult sendCommand(uint8_t code, const uint8_t* data, int32_t length,
                                              uint32_t requestTag = 0);
    // Where a command was stamped in the command ring, as its own write learnt it.
    struct CommandPlace {
        uint32_t epoch = 0;
        uint64_t place = 0;
    };
    // The same, and `at` learns where the command was written. A server that starts the ring afresh after
    // that never sees the command; one that started it before does.
    [[nodiscard]] RingWriteResult sendCommand(uint8_t code, const uint8_t* data, int32_t length, uint32_t requestTag,
                                              CommandPlace& at);
    // The command ring's epoch word now: it moves on whenever a new server starts the ring afresh (and
    // whenever somebody scribbles on it).
    [[nodiscard]] uint32_t commandEpoch() const noexcept;
    // A look: the command written at `at` is taken by the server or still in the ring in the epoch the
    // server reads; false once a new server has started the ring afresh without it.
    [[nodiscard]] bool commandKept(const CommandPlace& at) const noexcept;
    // Writes a frame (its process id becomes ours) and sets the send event.
    [[nodiscard]] RingWriteResult sendFrame(const ServerFrame& frame);

    // The next response for us: entries addressed to another process are skipped.
    [[nodiscard]] RingRead readResponse(ServerCommand& out);
    // The next entry of the receive ring.
    [[nodiscard]] RingRead readReceived(ServerFrame& out);
    // A look without the mutex: may the receive ring hold an entry we have not taken?
    [[nodiscard]] bool receivePending() const noexcept;

    [[nodiscard]] uint32_t currentNetwork() const noexcept;
    // Changes when a new server starts (see TransportObjects::serverStarts).
    [[nodiscard]] uint32_t serverStarts() const noexcept;
    [[nodiscard]] uint32_t processId() const noexcept { return processId_; }
    // Places our readers passed without an entry (lapped by the writer, a slot scribbled on), entries
    // rejected because their bytes disagree with their checks, or entries dropped because the ring was
    // started afresh (a new server) before we read them, since connecting.
    [[nodiscard]] uint64_t lostResponses() const noexcept { return lostResponses_.load(); }
    [[nodiscard]] uint64_t lostFrames() const noexcept { return lostFrames_.load(); }
    // How often our readers found a ring started afresh.
    [[nodiscard]] uint64_t restartsSeen() const noexcept { return restartsSeen_.load(); }
    // False when a read index could not be taken at connection (it then started at 0).
    [[nodiscard]] bool startedAtWriteIndexes() const noexcept { return startedAtWriteIndexes_; }

private:
    RingClient(std::unique_ptr<TransportObjects> objects, uint32_t processId);

    std::unique_ptr<TransportObjects> objects_;
    uint32_t processId_;
    RingReader<ServerCommand> responseReader_;
    RingReader<ServerFrame> receiveReader_;
    std::atomic<uint64_t> lostResponses_{0};
    std::atomic<uint64_t> lostFrames_{0};
    std::atomic<uint64_t> restartsSeen_{0};
    bool startedAtWriteIndexes_ = false;
};

} // namespace ostrel::halvorn
