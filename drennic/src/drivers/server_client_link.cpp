#include "drivers/server_client_link.h"

#include <platform/clock.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include <pthread.h>

namespace drennic {

using ostrel::halvorn::RingClient;
using ostrel::halvorn::RingRead;
using ostrel::halvorn::RingReadStatus;
using ostrel::halvorn::RingWriteResult;
using ostrel::halvorn::ServerCommand;
using ostrel::halvorn::ServerFrame;
using ostrel::platform::EventReset;
using ostrel::platform::NamedEvent;

namespace {

// Starting a thread takes microseconds; the bound only matters on a starved machine.
constexpr auto kThreadStartWait = std::chrono::seconds(10);
constexpr uint32_t kReaderPollMs = 1;
// A reader that has just taken a batch of this many frames or more waits this long before it looks
// again: frames keep coming, and are taken in batches rather than one wake-up each. Well below the
// time the server needs to fill a ring, so it costs no frames. After a few frames (an echo of our own,
// say, with the answer to it right behind) it looks again at once.
constexpr std::size_t kBusyBatch = 16;
constexpr uint32_t kBusyBatchPauseUs = 50;

EchoWindow::Signature signatureOf(const ServerFrame& frame) {
    EchoWindow::Signature signature;
    signature.id = frame.id;
    signature.length = frame.length;
    signature.flags = frame.flags;
    std::memcpy(signature.data, frame.data, sizeof signature.data);
    return signature;
}

} // namespace

std::unique_ptr<ServerLink> ServerLink::connect(uint32_t processId, MsgBuffer& frames, Options options,
                                                ostrel::platform::OpenFailure* failure) {
    auto client = RingClient::connect(processId, failure);
    if (!client) {
        return nullptr;
    }
    auto receiveEvent = NamedEvent::open(ostrel::halvorn::kReceiveEventName, EventReset::Manual, false, failure);
    auto responseEvent = receiveEvent ? NamedEvent::open(ostrel::halvorn::kResponseEventName, EventReset::Manual,
                                                         false, failure)
                                      : nullptr;
    if (!receiveEvent || !responseEvent) {
        return nullptr;
    }
    return std::unique_ptr<ServerLink>(new ServerLink(std::move(client), std::move(receiveEvent),
                                                      std::move(responseEvent), processId, frames,
                                                      std::move(options)));
}

ServerLink::ServerLink(std::unique_ptr<RingClient> client, std::unique_ptr<NamedEvent> receiveEvent,
                       std::unique_ptr<NamedEvent> responseEvent, uint32_t processId, MsgBuffer& frames,
                       Options options)
    : client_(std::move(client)),
      receiveEvent_(std::move(receiveEvent)),
      responseEvent_(std::move(responseEvent)),
      processId_(processId),
      frames_(frames),
      options_(std::move(options)),
      joinedServer_(client_->serverStarts()),
      joinedEpoch_(client_->commandEpoch()),
      seenServer_(joinedServer_.load()),
      seenEpoch_(joinedEpoch_.load()),
      // Not from 0: a late answer to a link this process had before never carries a tag this one uses
      // soon.
      lastTag_(static_cast<uint32_t>(ostrel::platform::monotonicUs()) & ostrel::halvorn::kRequestTagMask),
      markedPayload_(std::make_unique<uint8_t[]>(ostrel::halvorn::kCommandDataMax)),
      responseBuffer_(std::make_unique<ServerCommand>()),
      receiverWake_(NamedEvent::createLocal(EventReset::Automatic)),
      readerFrame_(std::make_unique<ServerFrame>()),
      readerResponse_(std::make_unique<ServerCommand>()) {}

ServerLink::~ServerLink() {
    abandonRequests();
    stopPing();
    stopReader();
}

// ---- threads ----

bool ServerLink::startThreads() {
    try {
        reader_ = std::thread([this] { readerLoop(); });
        ping_ = std::thread([this] { pingLoop(); });
    } catch (const std::system_error&) {
        stopPing();
        stopReader();
        return false;
    }
    std::unique_lock lock(threadLock_);
    const bool running =
        threadState_.wait_for(lock, kThreadStartWait, [this] { return readerRunning_ && pingRunning_; });
    lock.unlock();
    if (!running) {
        stopPing();
        stopReader();
    }
    return running;
}

void ServerLink::stopPing() {
    {
        std::lock_guard lock(threadLock_);
        pingStop_ = true;
    }
    threadState_.notify_all();
    if (ping_.joinable()) {
        ping_.join();
    }
}

void ServerLink::stopReader() {
    readerStop_.store(true);
    echoWindow_.release();  // no echo will be taken any more
    if (reader_.joinable()) {
        reader_.join();
    }
    wakeReceiver();
}

void ServerLink::pingLoop() {
    (void)::pthread_setname_np(::pthread_self(), kPingThreadName);
    std::unique_lock lock(threadLock_);
    pingRunning_ = true;
    threadState_.notify_all();
    for (;;) {
        threadState_.wait_for(lock, std::chrono::milliseconds(kPingIntervalMs),
                              [this] { return pingStop_ || rejoinWanted_; });
        if (pingStop_) {
            break;
        }
        rejoinWanted_ = false;
        lock.unlock();
        // Registers with a new server, or again with one that dropped us, first.
        ensureJoined(Clock::now() + std::chrono::milliseconds(kServerRequestTimeoutMs));
        // The ticket asks a server that does not know us to say so.
        uint8_t ticket[ostrel::halvorn::kPingTicketLength];
        ostrel::halvorn::putBe32(ticket, registrations_.load());
        (void)writeCommand(ostrel::halvorn::ServerCmd_Ping, ticket, sizeof ticket);
        if (options_.checkServer) {
            (void)options_.checkServer();
        }
        lock.lock();
    }
    pingRunning_ = false;
}

void ServerLink::readerLoop() {
    (void)::pthread_setname_np(::pthread_self(), kReaderThreadName);
    {
        std::lock_guard lock(threadLock_);
        readerRunning_ = true;
    }
    threadState_.notify_all();
    while (!readerStop_.load(std::memory_order_relaxed)) {
        // Noted before we look: a pulse while we look then ends the wait at once instead of being lost.
        const uint32_t receiveSeen = receiveEvent_->changes();
        const uint32_t responseSeen = responseEvent_->changes();
        noticeNewServer();
        // Frames first, then responses; both every pass, so that a busy bus never starves an answer.
        // A request that waits reads its answers itself.
        const std::size_t framesTaken = drainReceived();
        bool responsesTaken = false;
        if (!requesterReads_.load()) {
            std::unique_lock reading(responseReadLock_, std::try_to_lock);
            responsesTaken = reading.owns_lock() && drainResponses();
        }
        if (framesTaken == 0 && !responsesTaken) {
            waitForTraffic(receiveSeen, responseSeen);
        } else if (framesTaken >= kBusyBatch && !options_.pollOnly) {
            std::this_thread::sleep_for(std::chrono::microseconds(kBusyBatchPauseUs));
        }
    }
    std::lock_guard lock(threadLock_);
    readerRunning_ = false;
}

void ServerLink::waitForTraffic(uint32_t receiveSeen, uint32_t responseSeen) {
    // The server pulses an event after each write; one that came since we noted the events ends the
    // wait at once. While a request reads its answers itself, or the engine its frames, those leave
    // us asleep.
    const bool framesToUs = !engineReceives_.load();
    const bool responsesToUs = !requesterReads_.load();
    if (options_.pollOnly || (!framesToUs && !responsesToUs)) {
        ostrel::platform::sleepMs(kReaderPollMs);
    } else if (!framesToUs) {
        (void)responseEvent_->waitSince(responseSeen, kReaderPollMs);
    } else {
        if (!responsesToUs) responseSeen = responseEvent_->changes();
        (void)ostrel::platform::waitForEitherSince(*receiveEvent_, receiveSeen, *responseEvent_, responseSeen,
                                                   kReaderPollMs);
    }
}

bool ServerLink::receiveFrame(CANFrame& out, uint32_t waitMs) {
    if (options_.pollOnly) {
        return frames_.get(out, waitMs);
    }
    const uint64_t deadlineUs = ostrel::platform::monotonicUs() + uint64_t{waitMs} * 1000;
    engineReceives_.store(true);
    struct Leave {
        std::atomic<bool>& flag;
        ~Leave() { flag.store(false); }
    } leave{engineReceives_};
    for (;;) {
        if (frames_.get(out, 0)) {
            return true;
        }
        // Noted before we look: a pulse while we look ends the wait at once.
        const uint32_t receiveSeen = receiveEvent_->changes();
        const uint32_t wakeSeen = receiverWake_->changes();
        (void)drainReceived();
        if (frames_.get(out, 0)) {
            return true;
        }
        const uint64_t now = ostrel::platform::monotonicUs();
        if (receiverWakeWanted_.exchange(false) || readerStop_.load() || now >= deadlineUs) {
            return false;
        }
        const auto leftMs = static_cast<uint32_t>((deadlineUs - now + 999) / 1000);
        (void)ostrel::platform::waitForEitherSince(*receiveEvent_, receiveSeen, *receiverWake_, wakeSeen, leftMs);
    }
}

void ServerLink::wakeReceiver() {
    if (options_.pollOnly) {
        frames_.wake();
        return;
    }
    receiverWakeWanted_.store(true);
    receiverWake_->pulse();
}

bool ServerLink::serverChangedSince(uint32_t starts, uint32_t epoch) const noexcept {
    return client_->serverStarts() != starts && client_->commandEpoch() != epoch;
}

void ServerLink::noticeNewServer() {
    if (!serverChangedSince(seenServer_, seenEpoch_)) {
        return;
    }
    seenServer_ = client_->serverStarts();
    seenEpoch_ = client_->commandEpoch();
    // The ping thread registers with the new one unless somebody sends first. The old server's late
    // answers are gone with its rings.
    {
        std::lock_guard lock(responseLock_);
        owedAnswer_.fill(false);
    }
    {
        std::lock_guard lock(threadLock_);
        rejoinWanted_ = true;
    }
    threadState_.notify_all();
}

void ServerLink::noticeRegistrationLost(const ServerCommand& response) {
    // An answer to a ping sent before our latest registration says nothing about that one.
    if (response.length < ostrel::halvorn::kPingTicketLength ||
        ostrel::halvorn::getBe32(response.data) != registrations_.load()) {
        return;
    }
    registrationLost_.store(true);
    // The ping thread registers again unless somebody sends first.
    {
        std::lock_guard lock(threadLock_);
        rejoinWanted_ = true;
    }
    threadState_.notify_all();
}

std::size_t ServerLink::drainReceived() {
    std::lock_guard reading(receiveReadLock_);
    std::size_t taken = 0;
    ServerFrame& frame = *readerFrame_;
    while (client_->receivePending()) {
        const RingRead r = client_->readReceived(frame);
        if (r.status == RingReadStatus::Entry) {
            takeFrame(frame);
            ++taken;
        } else if (r.status != RingReadStatus::Rejected) {
            break;  // empty, busy or not set up: look again on the next pass
        }
    }
    return taken;
}

bool ServerLink::drainResponses() {
    bool taken = false;
    ServerCommand& response = *readerResponse_;
    for (;;) {
        const RingRead r = client_->readResponse(response);
        if (r.status == RingReadStatus::Rejected || r.heldBack) {
            // Whose answer it was cannot be told: a request that waits may have lost its own.
            std::lock_guard lock(responseLock_);
            const bool waiting = awaitedCode_ != 0 && !responseFilled_;
            answerRejected_ = answerRejected_ || (waiting && r.status == RingReadStatus::Rejected);
            answerHeldBack_ = answerHeldBack_ || (waiting && r.heldBack);
        }
        if (r.status == RingReadStatus::Entry) {
            takeResponse(response);
            taken = true;
        } else if (r.status != RingReadStatus::Rejected) {
            return taken;  // empty, busy or scribbled on: look again on the next pass
        }
    }
}

void ServerLink::takeFrame(const ServerFrame& frame) {
    bool own = false;
    if (frame.processId == processId_) {
        own = true;
        echoWindow_.settle(signatureOf(frame));  // our own frame came back
    } else if (frame.processId == 0) {
        own = echoWindow_.settle(signatureOf(frame), true);
    }
    if (client_->currentNetwork() != busHandle_.load(std::memory_order_relaxed)) {
        return;  // the server works on another network than ours
    }
    if ((frame.flags & ostrel::halvorn::kFrameFlagError) != 0 && !errorFrameWish_.load(std::memory_order_relaxed)) {
        return;
    }
    CANFrame received{};
    received.timeMs = frame.timeMs;
    received.timeMsOverflow = frame.timeMsOverflow;
    received.timeUs = frame.timeUs;
    received.id = frame.id;
    received.length = frame.length;
    received.flags = static_cast<uint8_t>(frame.flags | (own ? kOwnFrameFlag : 0));
    std::memcpy(received.data, frame.data, sizeof received.data);
    frames_.put(received);
}

void ServerLink::takeResponse(const ServerCommand& response) {
    if (response.code == ostrel::halvorn::ServerResp_MajorError) {
        // A broadcast to every client about the interface, not the answer to anyone's request: a
        // request that waits goes on waiting for its own answer.
        return;
    }
    if (response.code == ostrel::halvorn::ServerResp_NotRegistered) {
        noticeRegistrationLost(response);
        return;
    }
    std::lock_guard lock(responseLock_);
    if (!answersWaitingRequest(response)) {
        return;
    }
    ServerCommand& buffer = *responseBuffer_;
    buffer.code = response.code;
    buffer.length = response.length;
    buffer.processId = response.processId;
    std::memcpy(buffer.data, response.data, static_cast<std::size_t>(response.length));
    responseFilled_ = true;
}

bool ServerLink::answersWaitingRequest(const ServerCommand& response) {
    const uint32_t tag = ostrel::halvorn::requestTagOf(response);
    const bool waiting = awaitedCode_ != 0 && !responseFilled_;
    if (tag == 0 && owedAnswer_[response.code]) {
        owedAnswer_[response.code] = false;
        droppedOwedAnswer_ = droppedOwedAnswer_ || waiting;
        return false;
    }
    if (!waiting || (tag != 0 && tag != awaitedTag_)) {
        owedAnswer_[response.code] = false;  // the late answer has come: nothing more is owed
        return false;
    }
    return true;
}

// ---- commands and requests ----

bool ServerLink::writeCommand(uint8_t code, const uint8_t* data, int32_t length, uint32_t requestTag) {
    return client_->sendCommand(code, data, length, requestTag) == RingWriteResult::Written;
}

bool ServerLink::send(uint8_t code, const uint8_t* data, int32_t length) {
    if (code != ostrel::halvorn::ServerCmd_UnregisterClient) {
        // A client on its way out has no business with a new server.
        ensureJoined(Clock::now() + std::chrono::milliseconds(kServerRequestTimeoutMs));
    }
    return writeCommand(code, data, length);
}

void ServerLink::ensureJoined(Clock::time_point deadline) {
    const auto self = std::this_thread::get_id();
    if ((!serverChangedSince(joinedServer_.load(), joinedEpoch_.load()) && !registrationLost_.load()) ||
        rejoiner_.load() == self) {
        return;
    }
    // Another thread may be registering, its requests waiting for an answer: not beyond our own limit.
    std::unique_lock lock(rejoinLock_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) {
        return;
    }
    if (!serverChangedSince(joinedServer_.load(), joinedEpoch_.load()) && !registrationLost_.load()) {
        return;  // another thread has just done it
    }
    const uint32_t server = client_->serverStarts();
    const uint32_t epoch = client_->commandEpoch();
    rejoinDeadline_.store(deadline.time_since_epoch().count());
    rejoiner_.store(self);
    // Cleared before the registration: a server that drops us again afterwards is heard of.
    registrationLost_.store(false);
    registrations_.fetch_add(1);
    echoWindow_.forget();  // the old server will never echo them
    (void)writeCommand(ostrel::halvorn::ServerCmd_RegisterClient);
    if (options_.rejoin) {
        options_.rejoin(*this);
    }
    rejoiner_.store(std::thread::id());
    joinedServer_.store(server);
    joinedEpoch_.store(epoch);
}

uint32_t ServerLink::nextTag() noexcept {
    for (;;) {
        const uint32_t tag = (lastTag_.fetch_add(1) + 1) & ostrel::halvorn::kRequestTagMask;
        if (tag != 0) {
            return tag;  // 0 is an answer without a tag
        }
    }
}

int32_t ServerLink::request(uint8_t code, const uint8_t* data, int32_t length, ServerCommand& response,
                            uint32_t timeoutMs, Repeat repeat) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (rejoiner_.load() == std::this_thread::get_id()) {
        // A request of the rejoin hook: within the limit of the call that made it run.
        deadline = std::min(deadline, Clock::time_point(Clock::duration(rejoinDeadline_.load())));
    }
    // Every writing of the request carries its tag: a server can tell what it, or one before it, did for it.
    const uint32_t tag = nextTag();
    int damaged = 0;
    // A slot held back stays so until an entry follows it: the answer to the request written again does.
    bool heldBackAnswered = false;
    for (bool repeated = false;; repeated = repeat == Repeat::Marked) {
        ensureJoined(deadline);
        AnswerWait end = AnswerWait::Answered;
        const int32_t r = requestOnce(code, data, length, response, deadline, tag, repeated, !heldBackAnswered, end);
        const bool again = end == AnswerWait::ServerReplaced ||
                           ((end == AnswerWait::AnswerDamaged || end == AnswerWait::AnswerHeldBack) &&
                            ++damaged <= kDamagedAnswerRetries);
        heldBackAnswered = heldBackAnswered || end == AnswerWait::AnswerHeldBack;
        // A request made while registering again is not written twice: the registration runs again
        // for the newest server anyway.
        if (!again || Clock::now() >= deadline || rejoiner_.load() == std::this_thread::get_id()) {
            return r;
        }
    }
}

int32_t ServerLink::requestOnce(uint8_t code, const uint8_t* data, int32_t length, ServerCommand& response,
                                Clock::time_point deadline, uint32_t tag, bool repeated, bool heedHeldBack,
                                AnswerWait& end) {
    end = AnswerWait::NotWritten;
    std::unique_lock inFlight(inFlight_, std::defer_lock);
    if (!inFlight.try_lock_until(deadline)) {
        return kRequestNotSent;
    }
    const auto expected = static_cast<uint8_t>(code + 1);
    {
        std::lock_guard lock(responseLock_);
        if (abandoned_) {
            return kRequestNotSent;
        }
        awaitedCode_ = expected;
        awaitedTag_ = tag;
        responseFilled_ = false;
        answerRejected_ = false;
        answerHeldBack_ = false;
        droppedOwedAnswer_ = false;
    }
    if (repeated && length >= 0 && length < ostrel::halvorn::kCommandDataMax) {
        if (length > 0) {
            std::memcpy(markedPayload_.get(), data, static_cast<std::size_t>(length));
        }
        markedPayload_[static_cast<std::size_t>(length)] = ostrel::halvorn::kRequestRepeated;
        data = markedPayload_.get();
        ++length;
    }
    requesterReads_.store(true);
    RingClient::CommandPlace at;
    if (client_->sendCommand(code, data, length, tag, at) == RingWriteResult::Written) {
        end = awaitAnswer(at, deadline, heedHeldBack);
    }
    requesterReads_.store(false);
    std::lock_guard lock(responseLock_);
    awaitedCode_ = 0;
    if (!responseFilled_) {
        const bool mayStillAnswer =
            end == AnswerWait::TimedOut || end == AnswerWait::AnswerDamaged || end == AnswerWait::AnswerHeldBack;
        if (mayStillAnswer && !droppedOwedAnswer_) {
            owedAnswer_[expected] = true;  // the server may still answer
        }
        if (end == AnswerWait::NotWritten) {
            return kRequestNotSent;
        }
        return end == AnswerWait::AnswerDamaged || end == AnswerWait::AnswerHeldBack ? kRequestWrongResponse
                                                                                      : kRequestNoResponse;
    }
    responseFilled_ = false;
    const ServerCommand& buffer = *responseBuffer_;
    response.code = buffer.code;
    response.length = buffer.length;
    response.processId = buffer.processId;
    std::memcpy(response.data, buffer.data, static_cast<std::size_t>(buffer.length));
    return response.code == expected ? 0 : kRequestWrongResponse;
}

ServerLink::AnswerWait ServerLink::awaitAnswer(const RingClient::CommandPlace& at, Clock::time_point deadline,
                                               bool heedHeldBack) {
    constexpr auto kLookEvery = std::chrono::milliseconds(kSilentServerLookMs);
    auto nextLook = Clock::now() + kLookEvery;
    for (;;) {
        // Noted before each look: an answer pulsed between the look and the sleep still wakes us.
        const uint32_t answerSeen = responseEvent_->changes();
        {
            // The reader thread may be halfway through a pass that started before this request.
            std::lock_guard reading(responseReadLock_);
            (void)drainResponses();
        }
        {
            std::lock_guard lock(responseLock_);
            if (responseFilled_) {
                return AnswerWait::Answered;
            }
            if (abandoned_) {
                return AnswerWait::Abandoned;
            }
            if (answerRejected_) {
                return AnswerWait::AnswerDamaged;
            }
            if (answerHeldBack_ && heedHeldBack) {
                return AnswerWait::AnswerHeldBack;
            }
        }
        // A newer server has started the ring afresh and never saw the request. An epoch word moved by
        // anybody else leaves the request in the ring, or taken by the server that answers it.
        if (client_->commandEpoch() != at.epoch && !client_->commandKept(at)) {
            return AnswerWait::ServerReplaced;
        }
        auto now = Clock::now();
        if (now >= deadline) {
            return AnswerWait::TimedOut;
        }
        if (now >= nextLook) {
            // A server that has gone is replaced now; with none to come, nobody will answer.
            if (options_.checkServer && !options_.checkServer()) {
                return AnswerWait::TimedOut;
            }
            now = Clock::now();
            nextLook = now + kLookEvery;
            continue;
        }
        // Asleep until an answer, the next look or the deadline; abandonRequests is seen at a look.
        const auto until = std::min(nextLook, deadline);
        const auto sliceMs = static_cast<uint32_t>(
            std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        if (options_.pollOnly) {
            ostrel::platform::sleepMs(std::min(kReaderPollMs, sliceMs));
        } else {
            (void)responseEvent_->waitSince(answerSeen, sliceMs);
        }
    }
}

void ServerLink::abandonRequests() {
    std::lock_guard lock(responseLock_);
    abandoned_ = true;
}

// ---- frames ----

void EchoWindow::admit(const Signature& frame) {
    std::unique_lock lock(lock_);
    if (!off_ && count_ >= kEchoWindow) {
        ++waiters_;
        uint64_t seen = settledFrames_;
        auto lastProgress = std::chrono::steady_clock::now();
        while (!off_ && count_ >= kEchoWindow) {
            (void)settled_.wait_for(lock, std::chrono::milliseconds(1));
            const auto now = std::chrono::steady_clock::now();
            if (settledFrames_ != seen) {
                seen = settledFrames_;
                lastProgress = now;
                continue;
            }
            const auto stalled = now - lastProgress;
            if (!echoesSeen_ && stalled > std::chrono::milliseconds(kEchoNeverMs)) {
                off_ = true;  // this server does not echo our frames
            } else if (stalled > std::chrono::milliseconds(kEchoStallMs)) {
                dropOldest(count_);
            }
        }
        --waiters_;
    }
    if (off_) {
        return;
    }
    if (count_ == kSlots) {
        dropOldest(1);
    }
    slots_[(head_ + count_) % kSlots] = frame;
    ++count_;
}

bool EchoWindow::settle(const Signature& frame, bool fromBus) {
    bool wake = false;
    bool matched = false;
    {
        std::lock_guard lock(lock_);
        for (std::size_t i = 0; i < count_; ++i) {
            if (slots_[(head_ + i) % kSlots] == frame) {
                dropOldest(i + 1);
                matched = true;
                break;
            }
        }
        if (!fromBus || matched) {
            echoesSeen_ = true;
        }
        wake = matched && waiters_ > 0;
    }
    if (wake) {
        settled_.notify_all();
    }
    return matched;
}

void EchoWindow::release() {
    {
        std::lock_guard lock(lock_);
        off_ = true;
        dropOldest(count_);
    }
    settled_.notify_all();
}

void EchoWindow::forget() {
    {
        std::lock_guard lock(lock_);
        dropOldest(count_);
    }
    settled_.notify_all();
}

void EchoWindow::dropOldest(std::size_t count) noexcept {
    head_ = (head_ + count) % kSlots;
    count_ -= count;
    settledFrames_ += count;
}

ServerLink::FrameOutcome ServerLink::sendFrame(const ServerFrame& frame) {
    ensureJoined(Clock::now() + std::chrono::milliseconds(kServerRequestTimeoutMs));
    if (client_->currentNetwork() != busHandle_.load()) {
        return FrameOutcome::OtherNetwork;
    }
    echoWindow_.admit(signatureOf(frame));
    return client_->sendFrame(frame) == RingWriteResult::Written ? FrameOutcome::Written : FrameOutcome::NotWritten;
}

} // namespace drennic
