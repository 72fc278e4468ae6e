// The server client's connection to the CAN server: the shared rings, the reader and ping threads
// and the request protocol. Private to the server-client driver.
#pragma once

#include "engine/msg_buffer.h"

#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/ipc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace drennic {

// Results of the request protocol, beside 0 for an answer with the expected code.
inline constexpr int32_t kRequestNotSent = -1;       // the command ring was busy, or the link is gone
inline constexpr int32_t kRequestNoResponse = -2;    // nothing within kServerRequestTimeoutMs
inline constexpr int32_t kRequestWrongResponse = -3; // an answer with another code

// Long enough for a server that is busy opening an interface; a dead server shows as -2 after it.
inline constexpr uint32_t kServerRequestTimeoutMs = 20'000;
// The server drops a client after 15 s of silence; a ping every 500 ms leaves ample margin.
inline constexpr uint32_t kPingIntervalMs = 500;
// In the received-frame buffer only: the frame is one of this client's own, come back.
inline constexpr uint8_t kOwnFrameFlag = 0x80;
// A request whose server has not answered for this long looks whether the server still runs, and
// again after as long: a live server answers well within it, a dead one is replaced without waiting
// for the next ping.
inline constexpr uint32_t kSilentServerLookMs = 200;
// Frames sent whose echo has not come back yet, at most. Keeps a fast sender from lapping the
// server's reading of the send ring (1000 slots shared by every client) and, by holding a single
// sender to some 300,000 frames/s, leaves the other clients' readers time to keep up.
inline constexpr std::size_t kEchoWindow = 64;
// A server that has never echoed a frame of ours within this time is taken not to echo at all
// (an interface that hands our frames back as bus frames): the window is switched off.
inline constexpr uint32_t kEchoNeverMs = 200;
// Echoes that stop coming (a server gone, a frame it could not send) hold a sender this long.
inline constexpr uint32_t kEchoStallMs = 1000;

// The frames this client has sent and not yet seen come back. The server echoes a client's frames
// in the order it sent them, so an echo also settles every frame sent before it (frames that the
// server could not send are never echoed).
class EchoWindow {
public:
    struct Signature {
        uint32_t id = 0;
        uint8_t length = 0;
        uint8_t flags = 0;
        uint8_t data[8] = {};
        [[nodiscard]] bool operator==(const Signature&) const = default;
    };

    // Waits while the window is full (bounded as above), then records the frame about to be sent.
    void admit(const Signature& frame);
    // An echo of one of our frames. A frame from the bus (process id 0) settles only when it matches a
    // frame in flight: a real interface hands our own frames back that way instead of the server.
    // True when it matched.
    bool settle(const Signature& frame, bool fromBus = false);
    // Lets every sender go at once, from now on.
    void release();
    // Drops every frame in flight (sent to a server that has gone).
    void forget();

private:
    static constexpr std::size_t kSlots = 2 * kEchoWindow;  // room for concurrent senders
    void dropOldest(std::size_t count) noexcept;

    std::mutex lock_;
    std::condition_variable settled_;
    Signature slots_[kSlots];
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    uint64_t settledFrames_ = 0;  // frames that left the window
    int waiters_ = 0;
    bool echoesSeen_ = false;
    bool off_ = false;
};

class ServerLink {
public:
    // Thread names, as the system shows them (at most 15 characters).
    static constexpr const char* kPingThreadName = "drennic-ping";
    static constexpr const char* kReaderThreadName = "drennic-reader";

    struct Options {
        // Poll the rings every millisecond only, instead of waiting for the server's pulses as well.
        bool pollOnly = false;
        // Makes sure that a server runs (starting one when none does and the pauses between starts
        // allow it); never waits for the server. Called by the ping thread after each ping, and by a
        // request whose server has been silent for kSilentServerLookMs. False when none runs and none
        // can be started (no program, objects of another installation): a waiting request ends then.
        std::function<bool()> checkServer;
        // Called when the link finds that a new server has started, or that the server has dropped
        // this client (it answered a ping with 0xF3), once the link has registered again, on the
        // thread that found it first (a sender, or the ping thread within kPingIntervalMs): tells
        // the server the rest of what it knew of this client. No other command or frame of this
        // process reaches the server before it returns.
        std::function<void(ServerLink&)> rejoin;
    };

    // Opens (creates-or-opens) the shared objects and takes the write indexes of the response and
    // receive rings, so that nothing written earlier is seen. Empty when the objects cannot be had.
    [[nodiscard]] static std::unique_ptr<ServerLink> connect(uint32_t processId, MsgBuffer& frames,
                                                             Options options,
                                                             ostrel::platform::OpenFailure* failure = nullptr);
    ~ServerLink();  // stops and joins the threads
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // Starts the reader and the ping thread and returns once both run; false when either failed
    // (then neither runs).
    [[nodiscard]] bool startThreads();
    void stopPing();
    void stopReader();

    // A command without a response; false when it was not written. Like request() and sendFrame(),
    // it registers with a new server first.
    [[nodiscard]] bool send(uint8_t code, const uint8_t* data = nullptr, int32_t length = 0);
    // A command and its response (code + 1): 0 with `response` filled, or kRequest*. One request
    // is in flight per process; a second requester waits for the first. A request whose server has
    // gone before it answered is written again to the new one (after this client has registered
    // with it, when that server has counted its start already; it serves the request either way);
    // one made while registering again gives up then (-2). Only the answer to this request is
    // taken: the request carries a tag that the server copies into its answer; from a server that
    // does not, an answer of the code of a request that gave up is taken for that request's late
    // answer. The requester reads the response ring itself while it waits, asleep on the response
    // event between looks. It is written again, with its tag, only when a newer server has started the
    // command ring afresh without it (one written into the new server's ring is answered by it; an
    // epoch word moved by anybody else writes nothing again), or, a few times at most, when an answer
    // comes back damaged (it may have been ours). A `Marked` request carries kRequestRepeated after its
    // payload when written again, so that a server can tell a repeat of what it or the server before
    // it may have carried out already. Everything it waits for, the one in flight and a registration
    // included, stays within timeoutMs.
    enum class Repeat { Plain, Marked };
    [[nodiscard]] int32_t request(uint8_t code, const uint8_t* data, int32_t length, ostrel::halvorn::ServerCommand& response,
                                  uint32_t timeoutMs = kServerRequestTimeoutMs, Repeat repeat = Repeat::Plain);
    // From now on requests fail at once; a requester that waits is woken and gets -2.
    void abandonRequests();

    // The engine thread's Receive: the oldest frame not taken yet. With the buffer empty it reads the
    // receive ring itself, asleep on the server's pulse between looks, so that a frame reaches the engine
    // without a hand-off through the reader thread. False after `waitMs` without a frame, or at once when
    // wakeReceiver() was called since it last returned.
    [[nodiscard]] bool receiveFrame(CANFrame& out, uint32_t waitMs);
    void wakeReceiver();

    enum class FrameOutcome { Written, OtherNetwork, NotWritten };
    // Writes a frame into the send ring when the server works on this client's network.
    [[nodiscard]] FrameOutcome sendFrame(const ostrel::halvorn::ServerFrame& frame);

    [[nodiscard]] uint32_t busHandle() const noexcept { return busHandle_.load(); }
    void setBusHandle(uint32_t handle) noexcept { busHandle_.store(handle); }
    void setErrorFrameWish(bool on) noexcept { errorFrameWish_.store(on); }
    [[nodiscard]] bool errorFrameWish() const noexcept { return errorFrameWish_.load(); }
    [[nodiscard]] uint32_t processId() const noexcept { return processId_; }
    // How many servers of this ring protocol have started on the shared objects (0: none has, so a
    // server that runs keeps the rings in an older way).
    [[nodiscard]] uint32_t serverStarts() const noexcept { return client_->serverStarts(); }
    // Frames the server wrote into the receive ring that this client passed unread, since the link began.
    [[nodiscard]] uint64_t framesLost() const noexcept { return client_->lostFrames(); }

private:
    ServerLink(std::unique_ptr<ostrel::halvorn::RingClient> client, std::unique_ptr<ostrel::platform::NamedEvent> receiveEvent,
               std::unique_ptr<ostrel::platform::NamedEvent> responseEvent, uint32_t processId, MsgBuffer& frames,
               Options options);

    // AnswerDamaged: a response entry was rejected; AnswerHeldBack: the next one is stamped with bytes
    // that disagree with its check, and nothing follows it yet.
    enum class AnswerWait { Answered, Abandoned, ServerReplaced, AnswerDamaged, AnswerHeldBack, TimedOut, NotWritten };
    // How often a request is written again because an answer came back damaged.
    static constexpr int kDamagedAnswerRetries = 2;
    using Clock = std::chrono::steady_clock;

    void readerLoop();
    // Takes what the receive ring holds into the buffer, under receiveReadLock_.
    [[nodiscard]] std::size_t drainReceived();
    // Under responseReadLock_.
    [[nodiscard]] bool drainResponses();
    void takeFrame(const ostrel::halvorn::ServerFrame& frame);
    void takeResponse(const ostrel::halvorn::ServerCommand& response);
    void waitForTraffic(uint32_t receiveSeen, uint32_t responseSeen);
    void noticeNewServer();
    void noticeRegistrationLost(const ostrel::halvorn::ServerCommand& response);
    void pingLoop();
    [[nodiscard]] bool writeCommand(uint8_t code, const uint8_t* data = nullptr, int32_t length = 0,
                                    uint32_t requestTag = 0);
    // One writing of a request with `tag` and the wait for its answer; `end` tells why it ended (a newer
    // server started the command ring afresh, an answer came back damaged). `repeated`: written with the
    // repeat mark.
    [[nodiscard]] int32_t requestOnce(uint8_t code, const uint8_t* data, int32_t length,
                                      ostrel::halvorn::ServerCommand& response, Clock::time_point deadline,
                                      uint32_t tag, bool repeated, bool heedHeldBack, AnswerWait& end);
    // Reads the response ring until the answer is taken or the wait ends otherwise.
    [[nodiscard]] AnswerWait awaitAnswer(const ostrel::halvorn::RingClient::CommandPlace& at, Clock::time_point deadline,
                                         bool heedHeldBack);
    // A new server has started since `starts` and `epoch` were noted: the count of server starts and the
    // command ring's epoch word have both moved on (one store into either is no new server).
    [[nodiscard]] bool serverChangedSince(uint32_t starts, uint32_t epoch) const noexcept;
    [[nodiscard]] uint32_t nextTag() noexcept;
    // Registers with a server that has started since we last did, and lets the rejoin hook run; gives
    // up waiting for another thread's registration at the deadline.
    void ensureJoined(Clock::time_point deadline);
    // Under responseLock_: whether the reader may hand this answer to the request that waits.
    [[nodiscard]] bool answersWaitingRequest(const ostrel::halvorn::ServerCommand& response);

    std::unique_ptr<ostrel::halvorn::RingClient> client_;
    // The server pulses these after each write into the receive and response rings.
    std::unique_ptr<ostrel::platform::NamedEvent> receiveEvent_;
    std::unique_ptr<ostrel::platform::NamedEvent> responseEvent_;
    const uint32_t processId_;
    MsgBuffer& frames_;
    const Options options_;

    std::atomic<uint32_t> busHandle_{0};
    std::atomic<bool> errorFrameWish_{false};

    // The server start we are registered with, and the command ring's epoch then; the rejoin runs under
    // rejoinLock_ on rejoiner_.
    std::atomic<uint32_t> joinedServer_{0};
    std::atomic<uint32_t> joinedEpoch_{0};
    std::timed_mutex rejoinLock_;
    std::atomic<std::thread::id> rejoiner_{};
    // While the rejoin hook runs: the deadline of the call that made it run, which its requests keep.
    std::atomic<Clock::rep> rejoinDeadline_{0};
    uint32_t seenServer_ = 0;  // reader thread only
    uint32_t seenEpoch_ = 0;   // reader thread only
    // Set when the server answers a ping with 0xF3; the pings carry the count of registrations
    // since connecting, so that an answer to a ping older than the latest one is told apart.
    std::atomic<bool> registrationLost_{false};
    std::atomic<uint32_t> registrations_{0};

    // The response buffer: filled only with the answer to the request that waits, by the reader of
    // the response ring. That is the requester itself while it waits, else the reader thread.
    std::timed_mutex inFlight_;  // one request at a time
    std::atomic<uint32_t> lastTag_;  // the tag of the latest request
    std::unique_ptr<uint8_t[]> markedPayload_;  // under inFlight_: a payload with the repeat mark
    std::mutex responseReadLock_;            // held while the response ring is read
    std::atomic<bool> requesterReads_{false};  // a request waits: the reader thread leaves responses alone
    std::mutex responseLock_;
    uint8_t awaitedCode_ = 0;    // 0: nobody waits, answers are stale
    uint32_t awaitedTag_ = 0;
    bool responseFilled_ = false;
    // While a request waits: a response entry was rejected, or one is held back.
    bool answerRejected_ = false;
    bool answerHeldBack_ = false;
    bool abandoned_ = false;
    // Answers without a tag (a server that does not copy it): a request of this response code gave
    // up, so the next such answer is its late one. A request that has dropped one while it waited
    // leaves no such mark when it gives up itself: it may have dropped its own answer.
    std::array<bool, 256> owedAnswer_{};
    bool droppedOwedAnswer_ = false;
    std::unique_ptr<ostrel::halvorn::ServerCommand> responseBuffer_;

    EchoWindow echoWindow_;

    // Held while the receive ring is read, by the reader thread or the engine's receiveFrame: frames
    // reach the buffer in ring order.
    std::mutex receiveReadLock_;
    // receiveFrame waits: frames wake the engine thread, and the reader thread only looks now and then
    // in case the engine stops taking them.
    std::atomic<bool> engineReceives_{false};
    std::atomic<bool> receiverWakeWanted_{false};
    std::unique_ptr<ostrel::platform::NamedEvent> receiverWake_;

    // Threads: running flags for the start handshake, stop flags polled by the loops.
    std::mutex threadLock_;
    std::condition_variable threadState_;
    bool readerRunning_ = false;
    bool pingRunning_ = false;
    bool pingStop_ = false;
    bool rejoinWanted_ = false;  // the reader saw a new server: the ping thread looks at once
    std::atomic<bool> readerStop_{false};
    std::thread reader_;
    std::thread ping_;
    std::unique_ptr<ostrel::halvorn::ServerFrame> readerFrame_;
    std::unique_ptr<ostrel::halvorn::ServerCommand> readerResponse_;
};

} // namespace drennic
