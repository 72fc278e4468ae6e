#include "shared_mem.h"

#include "platform/clock.h"

#include <cstring>

namespace ostrel::halvorn {

static_assert(sizeof(CANFrame) == offsetof(ServerFrame, processId), "a ServerFrame starts with a CANFrame");

ServerFrame toServerFrame(const CANFrame& frame, uint32_t processId) noexcept {
    ServerFrame out{};
    out.timeMs = frame.timeMs;
    out.timeMsOverflow = frame.timeMsOverflow;
    out.timeUs = frame.timeUs;
    out.id = frame.id;
    out.length = frame.length;
    out.flags = frame.flags;
    std::memcpy(out.data, frame.data, sizeof out.data);
    out.processId = processId;
    return out;
}

CANFrame toCanFrame(const ServerFrame& frame) noexcept {
    CANFrame out{};
    out.timeMs = frame.timeMs;
    out.timeMsOverflow = frame.timeMsOverflow;
    out.timeUs = frame.timeUs;
    out.id = frame.id;
    out.length = frame.length;
    out.flags = frame.flags;
    std::memcpy(out.data, frame.data, sizeof out.data);
    return out;
}

namespace {

const char* ringName(SharedMem::Ring ring) {
    switch (ring) {
    case SharedMem::Ring::Command: return "command";
    case SharedMem::Ring::Response: return "response";
    case SharedMem::Ring::Send: return "send";
    case SharedMem::Ring::Receive: return "receive";
    }
    return "unknown";
}

} // namespace

std::unique_ptr<SharedMem> SharedMem::Construct(ServerLog& log) {
    auto objects = TransportObjects::open();
    if (!objects) return nullptr;
    // The start-up state wins over whatever the block held before.
    objects->initialise();
    return std::unique_ptr<SharedMem>(new SharedMem(log, std::move(objects)));
}

SharedMem::SharedMem(ServerLog& log, std::unique_ptr<TransportObjects> objects)
    : log_(log),
      objects_(std::move(objects)),
      commandReader_(objects_->commandRing()),
      sendReader_(objects_->sendRing()) {}

SharedMem::~SharedMem() = default;

void SharedMem::SetCommandCallback(CommandHandler handler, void* user) {
    std::lock_guard lock(handlersLock_);
    commandHandler_ = handler;
    commandUser_ = user;
}

void SharedMem::SetFrameCallback(FrameHandler handler, void* user) {
    std::lock_guard lock(handlersLock_);
    frameHandler_ = handler;
    frameUser_ = user;
}

SharedMem::PollResult SharedMem::Poll(uint32_t timeoutMs) {
    checkRings();
    // The send event comes first: frames are not kept waiting behind a burst of commands.
    switch (platform::waitForEither(objects_->sendEvent(), objects_->commandEvent(), timeoutMs)) {
    case 0:
        drainSendRing();
        return PollResult::SendRingDrained;
    case 1:
        drainCommandRing();
        return PollResult::CommandRingDrained;
    default:
        return PollResult::TimedOut;
    }
}

void SharedMem::drainSendRing() {
    for (;;) {
        ServerFrame entry{};
        const RingRead r = sendReader_.read(entry);
        if (r.lost != 0) log_.Print("Send ring overrun - %lu frames lost\n", static_cast<unsigned long>(r.lost));
        if (r.status == RingReadStatus::Rejected) {
            log_.Print("Rejected frame from client %lu with length %u\n", static_cast<unsigned long>(entry.processId),
                       static_cast<unsigned>(entry.length));
            continue;
        }
        if (r.status != RingReadStatus::Entry) return;
        FrameHandler handler;
        void* user;
        {
            std::lock_guard lock(handlersLock_);
            handler = frameHandler_;
            user = frameUser_;
        }
        if (handler != nullptr) handler(entry, user);
    }
}

void SharedMem::drainCommandRing() {
    for (;;) {
        const RingRead r = commandReader_.read(commandRecord_);
        if (r.lost != 0) log_.Print("Command ring overrun - %lu commands lost\n", static_cast<unsigned long>(r.lost));
        if (r.status == RingReadStatus::Rejected) {
            log_.Print("Rejected command %2.2X from client %lu with length %ld\n",
                       static_cast<unsigned>(commandRecord_.code), static_cast<unsigned long>(commandRecord_.processId),
                       static_cast<long>(commandRecord_.length));
            continue;
        }
        if (r.status != RingReadStatus::Entry) return;
        CommandHandler handler;
        void* user;
        {
            std::lock_guard lock(handlersLock_);
            handler = commandHandler_;
            user = commandUser_;
        }
        if (handler != nullptr) handler(commandRecord_, user);
    }
}

void SharedMem::checkRings() {
    const TransportObjects::WordRepair words = objects_->keepWords();
    if (words.currentNetwork) {
        log_.Print("Repaired the current network word (%lu) - %lu written back\n",
                   static_cast<unsigned long>(*words.currentNetwork), static_cast<unsigned long>(currentNetwork()));
    }
    if (words.serverStarts) {
        log_.Print("Repaired the count of server starts (%lu) - %lu written back\n",
                   static_cast<unsigned long>(*words.serverStarts),
                   static_cast<unsigned long>(objects_->serverStarts()));
    }
    keepRing(objects_->commandRing(), &commandReader_, Ring::Command);
    keepRing(objects_->responseRing(), static_cast<RingReader<ServerCommand>*>(nullptr), Ring::Response);
    keepRing(objects_->sendRing(), &sendReader_, Ring::Send);
    keepRing(objects_->receiveRing(), static_cast<RingReader<ServerFrame>*>(nullptr), Ring::Receive);
}

template <typename Entry>
void SharedMem::keepRing(RingChannel<Entry>& channel, const RingReader<Entry>* reader, Ring ring) {
    // The floor is where our reader stands in the ring's epoch; a reader still in an older one has none.
    const uint64_t floor = reader != nullptr && reader->epoch() == channel.keptEpoch() ? reader->next() : 0;
    const std::optional<RingRepair> found = channel.keep(floor);
    if (found) noteRestoredHeader(*found, ring);
}

void SharedMem::noteRestoredHeader(const RingRepair& found, Ring ring) {
    repairCounters_[static_cast<std::size_t>(ring)].repairs.fetch_add(1);
    log_.Print("Repaired the %s ring (capacity %lu, write index %lu, count %llu, epoch %lu) - count %llu in "
               "epoch %lu written back\n",
               ringName(ring), static_cast<unsigned long>(found.capacity), static_cast<unsigned long>(found.writeIndex),
               static_cast<unsigned long long>(found.count), static_cast<unsigned long>(found.epoch),
               static_cast<unsigned long long>(found.restored), static_cast<unsigned long>(epochOf(ring)));
}

uint32_t SharedMem::epochOf(Ring ring) const {
    switch (ring) {
    case Ring::Command: return objects_->commandRing().keptEpoch();
    case Ring::Response: return objects_->responseRing().keptEpoch();
    case Ring::Send: return objects_->sendRing().keptEpoch();
    case Ring::Receive: return objects_->receiveRing().keptEpoch();
    }
    return 0;
}

SharedMem::RingRepairCounts SharedMem::repairCounts(Ring ring) const {
    const RepairCounters& counters = repairCounters_[static_cast<std::size_t>(ring)];
    return RingRepairCounts{counters.repairs.load()};
}

bool SharedMem::SendResponse(const ServerCommand& entry) {
    std::optional<RingRepair> repaired;
    const RingWriteResult r = objects_->responseRing().write(entry, &repaired);
    if (repaired) noteRestoredHeader(*repaired, Ring::Response);
    switch (r) {
    case RingWriteResult::Written:
        log_.Print("Sending response %2.2X at %lu\n", static_cast<unsigned>(entry.code),
                   static_cast<unsigned long>(platform::tickMs()));
        return true;
    case RingWriteResult::Rejected:
        log_.Print("Response %2.2X not sent - length %ld\n", static_cast<unsigned>(entry.code),
                   static_cast<long>(entry.length));
        return false;
    default:
        log_.Print("Response %2.2X dropped - response ring not available\n", static_cast<unsigned>(entry.code));
        return false;
    }
}

bool SharedMem::writeFrame(const ServerFrame& frame) {
    std::optional<RingRepair> repaired;
    const RingWriteResult r = objects_->receiveRing().write(frame, &repaired);
    if (repaired) noteRestoredHeader(*repaired, Ring::Receive);
    if (r == RingWriteResult::Written) return true;
    if (r == RingWriteResult::Rejected) {
        log_.Print("Frame %lX with length %u not passed on\n", static_cast<unsigned long>(frame.id),
                   static_cast<unsigned>(frame.length));
    } else {
        log_.Print("Frame %lX dropped - receive ring not available\n", static_cast<unsigned long>(frame.id));
    }
    return false;
}

bool SharedMem::BroadcastFrame(const ServerFrame& frame) { return writeFrame(frame); }

bool SharedMem::PutReceivedFrame(const CANFrame& frame) { return writeFrame(toServerFrame(frame, 0)); }

void SharedMem::SetCurrentNetwork(uint32_t handle) { objects_->setCurrentNetwork(handle); }

uint32_t SharedMem::currentNetwork() const { return objects_->currentNetwork(); }

} // namespace ostrel::halvorn
