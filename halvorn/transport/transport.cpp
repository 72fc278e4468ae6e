#include "halvorn/transport.h"

#include "platform/clock.h"

#include <algorithm>

namespace ostrel::halvorn {

namespace {
using platform::EventReset;
using platform::NamedEvent;
using platform::NamedMutex;
} // namespace

std::unique_ptr<TransportObjects> TransportObjects::open(platform::OpenFailure* failure) {
    platform::OpenFailure ignored = platform::OpenFailure::None;
    platform::OpenFailure& why = failure != nullptr ? *failure : ignored;
    Objects o;
    // Mutexes, then events, then the block, as the server has always created them. The first that
    // fails says why.
    const auto mutex = [&why](const char* name) {
        return why == platform::OpenFailure::None ? NamedMutex::open(name, &why) : nullptr;
    };
    const auto event = [&why](const char* name, EventReset reset) {
        return why == platform::OpenFailure::None ? NamedEvent::open(name, reset, false, &why) : nullptr;
    };
    const auto memory = [&why](const char* name, std::size_t size) {
        return why == platform::OpenFailure::None ? platform::SharedMemory::open(name, size, &why) : nullptr;
    };
    why = platform::OpenFailure::None;
    o.commandMutex = mutex(kCommandMutexName);
    o.responseMutex = mutex(kResponseMutexName);
    o.sendMutex = mutex(kSendMutexName);
    o.receiveMutex = mutex(kReceiveMutexName);
    o.commandEvent = event(kCommandEventName, EventReset::Automatic);
    o.responseEvent = event(kResponseEventName, EventReset::Manual);
    o.sendEvent = event(kSendEventName, EventReset::Automatic);
    o.receiveEvent = event(kReceiveEventName, EventReset::Manual);
    o.memory = memory(kMemoryName, sizeof(ServerBlock));
    o.ringState = memory(kRingStateName, sizeof(RingStateBlock));
    if (why != platform::OpenFailure::None) return nullptr;
    if (o.memory->size() < sizeof(ServerBlock) || o.memory->data() == nullptr ||
        o.ringState->size() < sizeof(RingStateBlock) || o.ringState->data() == nullptr) {
        why = platform::OpenFailure::Failed;
        return nullptr;
    }
    return std::unique_ptr<TransportObjects>(new TransportObjects(std::move(o)));
}

const char* TransportObjects::objectOfAnotherFormat() {
    // Opened without creating anything: an event's look reads the header the objects have in common.
    for (const char* name : {kCommandMutexName, kResponseMutexName, kSendMutexName, kReceiveMutexName, kCommandEventName,
                             kResponseEventName, kSendEventName, kReceiveEventName, kMemoryName, kRingStateName,
                             kRunningEventName}) {
        if (platform::namedObjectOfAnotherFormat(name)) return name;
    }
    return nullptr;
}

TransportObjects::TransportObjects(Objects o)
    : commandMutex_(std::move(o.commandMutex)),
      responseMutex_(std::move(o.responseMutex)),
      sendMutex_(std::move(o.sendMutex)),
      receiveMutex_(std::move(o.receiveMutex)),
      commandEvent_(std::move(o.commandEvent)),
      responseEvent_(std::move(o.responseEvent)),
      sendEvent_(std::move(o.sendEvent)),
      receiveEvent_(std::move(o.receiveEvent)),
      memory_(std::move(o.memory)),
      ringState_(std::move(o.ringState)),
      block_(static_cast<ServerBlock*>(memory_->data())),
      restarts_(static_cast<RingStateBlock*>(ringState_->data())),
      commandRing_(block_->commandRing, restarts_->commandRing, restarts_->commandStamps, restarts_->commandChecks,
                   true, *commandMutex_, *commandEvent_, RingSignal::Set),
      responseRing_(block_->responseRing, restarts_->responseRing, restarts_->responseStamps,
                    restarts_->responseChecks, false, *responseMutex_, *responseEvent_, RingSignal::Pulse),
      sendRing_(block_->sendRing, restarts_->sendRing, restarts_->sendStamps, restarts_->sendChecks, true, *sendMutex_,
                *sendEvent_, RingSignal::Set),
      receiveRing_(block_->receiveRing, restarts_->receiveRing, restarts_->receiveStamps, restarts_->receiveChecks,
                   false, *receiveMutex_, *receiveEvent_, RingSignal::Pulse) {}

TransportObjects::~TransportObjects() {
    // The block and the restart records first, then the events, then the mutexes.
    block_ = nullptr;
    restarts_ = nullptr;
    ringState_.reset();
    memory_.reset();
    receiveEvent_.reset();
    sendEvent_.reset();
    responseEvent_.reset();
    commandEvent_.reset();
    receiveMutex_.reset();
    sendMutex_.reset();
    responseMutex_.reset();
    commandMutex_.reset();
}

uint32_t TransportObjects::currentNetwork() const noexcept {
    return ring_detail::loadIndex(block_->currentNetwork);
}

void TransportObjects::setCurrentNetwork(uint32_t handle) noexcept {
    keptNetwork_.store(handle);
    ring_detail::storeIndex(block_->currentNetwork, handle);
}

uint32_t TransportObjects::serverStarts() const noexcept { return ring_detail::loadIndex(restarts_->serverStarts); }

void TransportObjects::initialise() {
    setCurrentNetwork(0);
    commandRing_.initialise();
    responseRing_.initialise();
    sendRing_.initialise();
    receiveRing_.initialise();
    // Last: a client that sees the new count writes into the new rings, never into the old ones.
    keptStarts_.store(serverStarts() + 1);
    ring_detail::storeIndex(restarts_->serverStarts, keptStarts_.load());
    keeper_.store(true);
}

TransportObjects::WordRepair TransportObjects::keepWords() noexcept {
    WordRepair found;
    if (!keeper_.load()) return found;
    // A client that finds another network than its own drops every frame both ways.
    if (const uint32_t network = currentNetwork(); network != keptNetwork_.load()) {
        found.currentNetwork = network;
        ring_detail::storeIndex(block_->currentNetwork, keptNetwork_.load());
    }
    if (const uint32_t starts = serverStarts(); starts != keptStarts_.load()) {
        found.serverStarts = starts;
        ring_detail::storeIndex(restarts_->serverStarts, keptStarts_.load());
    }
    return found;
}

// ---- RingClient ----

namespace {

// A writer waits only when the epoch word and the server's floor disagree (or the places ran out): the
// server puts them right whenever it looks, and it looks when the ring's event is set.
template <typename Entry, typename Write>
RingWriteResult writeOrAwaitRepair(RingChannel<Entry>& ring, Write write) {
    const RingWriteResult first = write();
    if (first != RingWriteResult::Unusable) return first;
    ring.event().set();
    const uint32_t start = platform::tickMs();
    while (platform::tickMs() - start < RingClient::kRepairWaitMs) {
        platform::sleepMs(1);
        if (ring.looksWritable()) {
            const RingWriteResult again = write();
            if (again != RingWriteResult::Unusable) return again;
        }
    }
    return first;
}

} // namespace

std::unique_ptr<RingClient> RingClient::connect(uint32_t processId, platform::OpenFailure* failure) {
    auto objects = TransportObjects::open(failure);
    if (!objects) return nullptr;
    return std::unique_ptr<RingClient>(new RingClient(std::move(objects), processId));
}

RingClient::RingClient(std::unique_ptr<TransportObjects> objects, uint32_t processId)
    : objects_(std::move(objects)),
      processId_(processId),
      responseReader_(objects_->responseRing()),
      receiveReader_(objects_->receiveRing()) {
    const bool response = responseReader_.startAtWriteIndex();
    const bool receive = receiveReader_.startAtWriteIndex();
    startedAtWriteIndexes_ = response && receive;
}

RingClient::~RingClient() = default;

RingWriteResult RingClient::sendCommand(const ServerCommand& command) {
    if (!ring_detail::lengthValid(command.length)) return RingWriteResult::Rejected;
    return sendCommand(command.code, command.data, command.length, requestTagOf(command));
}

RingWriteResult RingClient::sendCommand(uint8_t code, const uint8_t* data, int32_t length, uint32_t requestTag) {
    CommandPlace at;
    return sendCommand(code, data, length, requestTag, at);
}

RingWriteResult RingClient::sendCommand(uint8_t code, const uint8_t* data, int32_t length, uint32_t requestTag,
                                        CommandPlace& at) {
    if (!ring_detail::lengthValid(length) || (length > 0 && data == nullptr)) return RingWriteResult::Rejected;
    ServerCommand entry;
    entry.code = code;
    putRequestTag(entry, requestTag);
    entry.length = length;
    if (length > 0) std::copy(data, data + length, entry.data);
    entry.processId = processId_;
    RingChannel<ServerCommand>& ring = objects_->commandRing();
    const auto writeInEpoch = [&] {
        // The mutex is held across the write and the look at where it was stamped (it is recursive
        // for its owner), so that epoch and place are those of the entry. The write itself finds a
        // server that started the ring afresh meanwhile; the epoch word, which anybody may scribble
        // on, is not read again and never turns an entry written into one not written.
        platform::NamedMutexLock lock(ring.mutex(), kRingMutexWaitMs);
        if (!lock.held()) return RingWriteResult::LockFailed;
        const RingWriteResult r = ring.write(entry);
        if (r == RingWriteResult::Written) at = CommandPlace{ring.lastWrittenEpoch(), ring.lastWrittenPlace()};
        return r;
    };
    return writeOrAwaitRepair(ring, writeInEpoch);
}

uint32_t RingClient::commandEpoch() const noexcept { return objects_->commandRing().epoch(); }

bool RingClient::commandKept(const CommandPlace& at) const noexcept {
    return objects_->commandRing().heldOrTaken(at.epoch, at.place);
}

RingWriteResult RingClient::sendFrame(const ServerFrame& frame) {
    ServerFrame entry = frame;
    entry.processId = processId_;
    RingChannel<ServerFrame>& ring = objects_->sendRing();
    return writeOrAwaitRepair(ring, [&] { return ring.write(entry); });
}

RingRead RingClient::readResponse(ServerCommand& out) {
    uint32_t lost = 0;
    for (;;) {
        RingRead r = responseReader_.read(out);
        lost += r.lost;
        lostResponses_ += r.lost;
        if (r.restarted) ++restartsSeen_;
        if (r.status == RingReadStatus::Entry && out.processId != processId_ && out.processId != 0) {
            continue;  // addressed to another client
        }
        // Whom a rejected entry was for cannot be told: it counts as lost to every reader.
        if (r.status == RingReadStatus::Rejected) ++lostResponses_;
        r.lost = lost;
        return r;
    }
}

RingRead RingClient::readReceived(ServerFrame& out) {
    const RingRead r = receiveReader_.read(out);
    lostFrames_ += r.lost + (r.status == RingReadStatus::Rejected ? 1 : 0);
    if (r.restarted) ++restartsSeen_;
    return r;
}

bool RingClient::receivePending() const noexcept { return receiveReader_.mayHaveEntries(); }

uint32_t RingClient::currentNetwork() const noexcept { return objects_->currentNetwork(); }

uint32_t RingClient::serverStarts() const noexcept { return objects_->serverStarts(); }

} // namespace ostrel::halvorn
