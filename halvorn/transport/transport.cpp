#include "halvorn/transport.h"

#include "platform/clock.h"

#include <algorithm>

namespace ostrel::halvorn {

namespace {
using platform::EventReset;
using platform::NamedEvent;
using platform::NamedMutex;
} // namespace

std::unique_ptr<TransportObjects> TransportObjects::open() {
    Objects o;
    // Mutexes, then events, then the block, as the server has always created them.
    o.commandMutex = NamedMutex::open(kCommandMutexName);
    o.responseMutex = NamedMutex::open(kResponseMutexName);
    o.sendMutex = NamedMutex::open(kSendMutexName);
    o.receiveMutex = NamedMutex::open(kReceiveMutexName);
    if (!o.commandMutex || !o.responseMutex || !o.sendMutex || !o.receiveMutex) return nullptr;
    o.commandEvent = NamedEvent::open(kCommandEventName, EventReset::Automatic);
    o.responseEvent = NamedEvent::open(kResponseEventName, EventReset::Manual);
    o.sendEvent = NamedEvent::open(kSendEventName, EventReset::Automatic);
    o.receiveEvent = NamedEvent::open(kReceiveEventName, EventReset::Manual);
    if (!o.commandEvent || !o.responseEvent || !o.sendEvent || !o.receiveEvent) return nullptr;
    o.memory = platform::SharedMemory::open(kMemoryName, sizeof(ServerBlock));
    if (!o.memory || o.memory->size() < sizeof(ServerBlock) || o.memory->data() == nullptr) return nullptr;
    o.ringState = platform::SharedMemory::open(kRingStateName, sizeof(RingStateBlock));
    if (!o.ringState || o.ringState->size() < sizeof(RingStateBlock) || o.ringState->data() == nullptr) return nullptr;
    return std::unique_ptr<TransportObjects>(new TransportObjects(std::move(o)));
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
    ring_detail::storeIndex(restarts_->serverStarts, serverStarts() + 1);
}

// ---- RingClient ----

namespace {

// A writer waits only when the epoch word and the server's floor disagree (or the places ran out): the
// server puts them right whenever it looks, and it looks when the ring's event is set.
template <typename Entry>
RingWriteResult writeOrAwaitRepair(RingChannel<Entry>& ring, const Entry& entry) {
    const RingWriteResult first = ring.write(entry);
    if (first != RingWriteResult::Unusable) return first;
    ring.event().set();
    const uint32_t start = platform::tickMs();
    while (platform::tickMs() - start < RingClient::kRepairWaitMs) {
        platform::sleepMs(1);
        if (ring.looksWritable()) {
            const RingWriteResult again = ring.write(entry);
            if (again != RingWriteResult::Unusable) return again;
        }
    }
    return first;
}

} // namespace

std::unique_ptr<RingClient> RingClient::connect(uint32_t processId) {
    auto objects = TransportObjects::open();
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
    if (!ring_detail::lengthValid(length) || (length > 0 && data == nullptr)) return RingWriteResult::Rejected;
    ServerCommand entry;
    entry.code = code;
    putRequestTag(entry, requestTag);
    entry.length = length;
    if (length > 0) std::copy(data, data + length, entry.data);
    entry.processId = processId_;
    return writeOrAwaitRepair(objects_->commandRing(), entry);
}

RingWriteResult RingClient::sendFrame(const ServerFrame& frame) {
    ServerFrame entry = frame;
    entry.processId = processId_;
    return writeOrAwaitRepair(objects_->sendRing(), entry);
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
        r.lost = lost;
        return r;
    }
}

RingRead RingClient::readReceived(ServerFrame& out) {
    const RingRead r = receiveReader_.read(out);
    lostFrames_ += r.lost;
    if (r.restarted) ++restartsSeen_;
    return r;
}

bool RingClient::receivePending() const noexcept { return receiveReader_.mayHaveEntries(); }

uint32_t RingClient::currentNetwork() const noexcept { return objects_->currentNetwork(); }

uint32_t RingClient::serverStarts() const noexcept { return objects_->serverStarts(); }

} // namespace ostrel::halvorn
