#include "testing/common_test.h"

#include <platform/clock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>

#include "services/canopen_api.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "services/trace_buffer.h"
#include "testing/trace_filters.h"

namespace ostrel::vessolt {

namespace {

using trace_filters::msBetween;
namespace tf = trace_filters;

constexpr uint32_t kNmtStart = 0;
constexpr uint32_t kNmtPreOperational = 2;
constexpr uint32_t kNmtResetNode = 3;
constexpr uint32_t kLssMasterId = 0x7E5;
constexpr uint32_t kLssSlaveId = 0x7E4;
constexpr uint32_t kBootStepMs = 10;
constexpr uint32_t kLssSwitchPauseMs = 100;
constexpr uint32_t kErrorControlBufferSize = 20;
constexpr uint16_t kHeartbeatProducer = 0x1017;
constexpr uint16_t kGuardTime = 0x100C;
constexpr uint16_t kLifeTimeFactor = 0x100D;
constexpr uint16_t kNominalErrorControlMs = 100;
constexpr uint8_t kNominalLifeTimeFactor = 5;

// The library ends a transfer that the node never answered with its own time-out abort; an abort
// from the node reads "Server aborted - ...".
bool isUnanswered(const ResultBlock& result) {
    static constexpr char16_t kTimedOut[] = u"Client aborted - 0x05040000";
    for (size_t i = 0; i < std::size(kTimedOut); ++i)
        if (static_cast<char16_t>(result.message[i]) != kTimedOut[i])
            return false;
    return result.code == DRN_REQUEST_FAILED;
}

}  // namespace

// One request's record: the library writes into its buffer and size word until it completes, so
// the record outlives a cancelled wait.
struct TCommonTest::SdoCall {
    TCommonTest* owner = nullptr;
    uint32_t tag = 0;
    std::vector<uint8_t> buffer;
    uint32_t size = 0;
    ResultBlock result{};
    bool done = false;  // guarded by the owner's callsMutex_
    bool unanswered = false;  // likewise: timed out, or given up without a completion
    std::atomic<uint64_t> lastProgressUs{0};

    static void progress(float, void* user) {
        static_cast<SdoCall*>(user)->lastProgressUs.store(platform::monotonicUs(), std::memory_order_relaxed);
    }
};

TCommonTest::TCommonTest(CanopenApi& api, TTraceBuffer& trace, TDeviceSummary& summary, TLog& log,
                         CommonTestLinks links)
    : api_(api), trace_(trace), summary_(summary), log_(log), links_(std::move(links)) {}

TCommonTest::~TCommonTest() {
    std::unique_lock lock(callsMutex_);
    if (inflight_.empty())
        return;
    lock.unlock();
    api_.cancel();
    lock.lock();
    callsChanged_.wait_for(lock, std::chrono::milliseconds(kCancelDrainMs), [this] { return inflight_.empty(); });
}

void TCommonTest::SetNSM(TNSM* nsm) { nsm_ = nsm; }

void TCommonTest::SetStallLimitMs(uint32_t ms) { stallLimitMs_ = std::max<uint32_t>(ms, kWaitSliceMs); }

uint32_t TCommonTest::maxBootupTimeMs() const { return links_.maxBootupTimeMs ? links_.maxBootupTimeMs() : 3000; }

uint32_t TCommonTest::bitRate() const { return links_.bitRateKbit ? links_.bitRateKbit() : 0; }

void TCommonTest::WaitBootupTime() {
    const uint64_t deadline = platform::monotonicUs() + static_cast<uint64_t>(maxBootupTimeMs()) * 1000;
    while (platform::monotonicUs() < deadline && !(links_.cancelling && links_.cancelling()))
        platform::sleepMs(kBootStepMs);
}

void TCommonTest::ResetAllNodes() {
    ResultBlock result{};
    api_.nmt(0, kNmtResetNode, &result);
}

void TCommonTest::StartAllNodes() {
    ResultBlock result{};
    api_.nmt(0, kNmtStart, &result);
}

void TCommonTest::PreOperationalAllNodes() {
    ResultBlock result{};
    api_.nmt(0, kNmtPreOperational, &result);
}

// ---------------------------------------------------------------------------------------------
// Blocking SDO

void TCommonTest::SDOCompleted(ResultBlock* result, void* user) {
    auto* call = static_cast<SdoCall*>(user);
    if (call == nullptr || call->owner == nullptr)
        return;
    ResultBlock copy{};
    if (result != nullptr)
        copy = *result;
    else
        copy.code = DRN_REQUEST_FAILED;
    call->owner->completed(*call, copy);
}

void TCommonTest::completed(SdoCall& call, const ResultBlock& result) {
    std::shared_ptr<SdoCall> keep;  // released after the lock
    {
        std::lock_guard lock(callsMutex_);
        const auto it = inflight_.find(call.tag);
        if (it == inflight_.end() || it->second.get() != &call)
            return;  // not ours, or already given up on
        keep = it->second;
        call.result = result;
        call.done = true;
        completion_ = result;
        inflight_.erase(it);
    }
    callsChanged_.notify_all();
}

void TCommonTest::forget(uint32_t tag) {
    std::lock_guard lock(callsMutex_);
    inflight_.erase(tag);
}

ResultBlock TCommonTest::GetLastResult() const {
    std::lock_guard lock(callsMutex_);
    return completion_;
}

bool TCommonTest::waitFor(const std::shared_ptr<SdoCall>& call, const uint8_t* cancel) {
    uint64_t lastActivityUs = platform::monotonicUs();
    const uint64_t stallLimitUs = static_cast<uint64_t>(stallLimitMs_) * 1000;
    std::unique_lock lock(callsMutex_);
    for (;;) {
        if (callsChanged_.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs), [&] { return call->done; })) {
            call->unanswered = isUnanswered(call->result);
            return call->result.code == DRN_OK;
        }
        const bool cancelled = cancel != nullptr && *cancel != 0;
        lastActivityUs = std::max(lastActivityUs, call->lastProgressUs.load(std::memory_order_relaxed));
        const bool stalled = platform::monotonicUs() - lastActivityUs > stallLimitUs;
        if (!cancelled && !stalled)
            continue;
        call->unanswered = stalled && !cancelled;
        lock.unlock();
        api_.cancel();
        lock.lock();
        // Until the request completes the library may still write into its record; a completion
        // that comes later finds no waiter and only frees the record.
        callsChanged_.wait_for(lock, std::chrono::milliseconds(kCancelDrainMs), [&] { return call->done; });
        return false;
    }
}

bool TCommonTest::transfer(SDORequest* request, const uint8_t* cancel, bool upload) {
    if (request == nullptr || request->size == nullptr || (request->data == nullptr && *request->size != 0))
        return false;
    request->unanswered = false;
    std::lock_guard serial(sdoSerial_);
    auto call = std::make_shared<SdoCall>();
    call->owner = this;
    const uint32_t requested = *request->size;
    if (upload) {
        call->buffer.assign(requested, 0);
        call->size = requested;
    } else {
        call->buffer.assign(request->data, request->data + requested);
        call->size = requested;
    }
    call->lastProgressUs = platform::monotonicUs();
    {
        std::lock_guard lock(callsMutex_);
        call->tag = nextTag_++;
        if (nextTag_ == 0)
            nextTag_ = 1;
        inflight_[call->tag] = call;
    }
    int32_t out = 0;
    const auto node = request->node;
    const auto index = static_cast<uint16_t>(request->index);
    if (upload)
        api_.sdoUpload(node, index, request->subindex, call->buffer.data(), &call->size, &SdoCall::progress,
                       &TCommonTest::SDOCompleted, call.get(), &out);
    else
        api_.sdoDownload(node, index, request->subindex, call->buffer.data(), requested, &SdoCall::progress,
                         &TCommonTest::SDOCompleted, call.get(), &out);
    if (out != DRN_OK) {
        // A refused request never completes.
        forget(call->tag);
        ResultBlock start{};
        start.code = out;
        const std::string text = links_.resultToText ? links_.resultToText(start) : "code " + std::to_string(out);
        log_.Add(std::string(upload ? "Note: Failed to start SDO upload: " : "Note: Failed to start SDO download: ") +
                 text);
        return false;
    }
    if (!waitFor(call, cancel)) {
        std::lock_guard lock(callsMutex_);
        request->unanswered = call->unanswered;
        return false;
    }
    if (upload) {
        std::lock_guard lock(callsMutex_);
        const uint32_t received = std::min(call->size, requested);
        if (received > 0)
            std::memcpy(request->data, call->buffer.data(), received);
        *request->size = received;
    }
    return true;
}

bool TCommonTest::SDOUpload(SDORequest* request, const uint8_t* cancel) { return transfer(request, cancel, true); }

bool TCommonTest::SDODownload(SDORequest* request, const uint8_t* cancel) {
    return transfer(request, cancel, false);
}

// ---------------------------------------------------------------------------------------------
// Finding the nodes

void TCommonTest::restartTrace(uint32_t rate) {
    trace_.Stop();
    trace_.Reset();
    trace_.Start(rate);
}

bool TCommonTest::waitBootup(const uint8_t* cancel) {
    // The monotonic clock: a 32-bit tick deadline would end the wait at once near its wrap.
    const uint64_t deadline = platform::monotonicUs() + static_cast<uint64_t>(maxBootupTimeMs()) * 1000;
    while (platform::monotonicUs() < deadline) {
        platform::sleepMs(kBootStepMs);
        if (cancel != nullptr && *cancel != 0)
            return false;
    }
    return true;
}

void TCommonTest::transmit(std::initializer_list<uint8_t> lssData) {
    CANFrame frame{};
    frame.id = kLssMasterId;
    frame.length = 8;
    std::copy(lssData.begin(), lssData.end(), frame.data);
    ResultBlock result{};
    api_.canTransmit(frame, &result);
}

uint8_t TCommonTest::ResetAndFindBootup(uint32_t rate) {
    restartTrace(rate);
    ResetAllNodes();
    (void)waitBootup(nullptr);
    trace_.Stop();
    const TraceFilter nmt = tf::resetAllNodes();
    if (!trace_.FindFirst(&nmt, 1))
        return 0;
    const TraceFilter bootup = tf::bootup(0x700, 0x780);
    const auto found = trace_.FindNext(&bootup, 1);
    return found ? static_cast<uint8_t>(found->identifier & 0x7F) : 0;
}

uint8_t TCommonTest::FindTestNode(const uint8_t* cancel) {
    // Set once, when the search has ended: a clear before it would show "-" for a moment each time
    // a test of the run looks for the node again.
    uint32_t lss = 0;
    const uint8_t node = searchTestNode(cancel, lss);
    summary_.SetLSS(lss);
    return node;
}

uint8_t TCommonTest::searchTestNode(const uint8_t* cancel, uint32_t& lss) {
    auto cancelled = [cancel] { return cancel != nullptr && *cancel != 0; };
    const uint32_t rate = bitRate();
    restartTrace(rate);
    uint8_t testNode = 0xFF;
    if (nsm_)
        nsm_->Reset();

    ResetAllNodes();
    (void)waitBootup(cancel);
    trace_.Stop();
    if (cancelled())
        return 0;

    const TraceFilter nmt = tf::resetAllNodes();
    const auto own = trace_.FindFirst(&nmt, 1);
    if (!own) {
        log_.Add("Note: Failed to confirm NMT request was transmitted");
        return 0;
    }
    // Frames are copies, so the module queries below cannot disturb them; the cursor is shared,
    // and no search runs between two FindNext calls here.
    const TraceFilter bootup = tf::bootup(0x700, 0x780);
    for (auto frame = trace_.FindNext(&bootup, 1); frame; frame = trace_.FindNext(&bootup, 1)) {
        const auto node = static_cast<uint8_t>(frame->identifier & 0x7F);
        const bool isModule = nsm_ != nullptr && nsm_->Find(node, cancel);
        if (!isModule) {
            testNode = node;
            summary_.SetNodeId(node);
            summary_.AddBootupTime(msBetween(*frame, *own));
        }
        if (cancelled())
            return 0;
    }

    if (nsm_ == nullptr || !nsm_->IsFound()) {
        log_.Add("Error: Norbix Support Module not found");
        return 0;
    }
    char line[120];
    std::snprintf(line, sizeof line, "Norbix Support Module version %u.%u found at node ID 0x%2.2X",
                  static_cast<unsigned>(nsm_->GetMajorVersion()), static_cast<unsigned>(nsm_->GetMinorVersion()),
                  static_cast<unsigned>(nsm_->GetNodeId()));
    log_.Add(line);

    if (testNode != 0xFF) {
        (void)trace_.FindFirst(&nmt, 1);
        const TraceFilter master = tf::data(kLssMasterId, 8);
        lss = trace_.FindNext(&master, 1) ? 3 : 1;
        return testNode;
    }
    return lssFallback(cancel, rate, lss);
}

uint8_t TCommonTest::lssFallback(const uint8_t* cancel, uint32_t rate, uint32_t& lss) {
    auto cancelled = [cancel] { return cancel != nullptr && *cancel != 0; };
    log_.Add("Node not found - attempting to find LSS slave node");
    trace_.Reset();
    trace_.Start(rate);
    transmit({0x04, 0x01});
    platform::sleepMs(kLssSwitchPauseMs);
    const uint8_t moduleNode = nsm_->GetNodeId();
    const auto newNode = static_cast<uint8_t>(moduleNode - 1 == 0 ? moduleNode + 1 : moduleNode - 1);
    transmit({0x11, newNode});
    (void)waitBootup(cancel);
    trace_.Stop();
    if (cancelled())
        return 0;
    const TraceFilter confirmation = tf::data(kLssSlaveId, 8, {0x11, 0x00});
    if (!trace_.FindFirst(&confirmation, 1)) {
        log_.Add("Error: Failed to find a test node on the network");
        return 0;
    }
    trace_.Reset();
    trace_.Start(rate);
    transmit({0x04, 0x00});
    if (cancelled())
        return 0;
    (void)waitBootup(cancel);
    trace_.Stop();
    if (cancelled())
        return 0;
    const TraceFilter own = tf::data(kLssMasterId, 8);
    const auto switchFrame = trace_.FindFirst(&own, 1);
    if (!switchFrame) {
        log_.Add("Note: Failed to confirm LSS Switch Mode Global - Operation Mode command was transmitted");
        return 0;
    }
    const TraceFilter bootup = tf::bootup(0x700u + newNode);
    const auto frame = trace_.FindNext(&bootup, 1);
    if (!frame) {
        log_.Add("Error: Failed to find a test node on the network");
        return 0;
    }
    summary_.SetNodeId(newNode);
    summary_.AddBootupTime(msBetween(*frame, *switchFrame));
    lss = 2;
    log_.Add("LSS slave node found");
    return newNode;
}

// ---------------------------------------------------------------------------------------------
// Error control

int TCommonTest::SetupErrorControl(uint8_t node, const uint8_t* cancel) {
    if (nsm_)
        nsm_->SetErrorControlMode(0);
    restartTrace(bitRate());
    auto finish = [this](int mode) {
        trace_.Stop();
        return mode;
    };

    // Zeroed first: a reply shorter than the bytes read leaves no stale data in them.
    uint8_t buffer[kErrorControlBufferSize] = {};
    uint32_t size = sizeof buffer;
    SDORequest read{node, kHeartbeatProducer, 0, &size, buffer};
    const bool heartbeat = SDOUpload(&read, cancel);
    const auto producerTime = static_cast<uint16_t>(buffer[0] | (buffer[1] << 8));
    summary_.SetHeartbeatProducer(heartbeat ? 1 : 0);

    std::memset(buffer, 0, sizeof buffer);
    size = sizeof buffer;
    read = SDORequest{node, kGuardTime, 0, &size, buffer};
    const bool guardRead = SDOUpload(&read, cancel);
    const auto guardTime = static_cast<uint16_t>(buffer[0] | (buffer[1] << 8));
    std::memset(buffer, 0, sizeof buffer);
    size = sizeof buffer;
    read = SDORequest{node, kLifeTimeFactor, 0, &size, buffer};
    const bool lifeRead = SDOUpload(&read, cancel);
    const uint8_t lifeTimeFactor = buffer[0];
    const bool guarding = guardRead && lifeRead;
    summary_.SetNodeGuarding(guarding ? 1 : 0);

    auto write = [&](uint16_t index, uint16_t value, uint32_t bytes) {
        uint8_t data[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
        uint32_t length = bytes;
        SDORequest request{node, index, 0, &length, data};
        return SDODownload(&request, cancel);
    };

    if (cancel != nullptr && *cancel != 0)
        return finish(0);
    if (heartbeat) {
        if (guarding) {
            (void)write(kGuardTime, 0, 2);
            (void)write(kLifeTimeFactor, 0, 1);
        }
        if (producerTime != kNominalErrorControlMs && !write(kHeartbeatProducer, kNominalErrorControlMs, 2))
            return finish(0);
        if (nsm_)
            nsm_->SetErrorControlMode(1);
        return finish(1);
    }
    if (guarding) {
        if (guardTime != kNominalErrorControlMs && !write(kGuardTime, kNominalErrorControlMs, 2))
            return finish(0);
        if (lifeTimeFactor != kNominalLifeTimeFactor && !write(kLifeTimeFactor, kNominalLifeTimeFactor, 1))
            return finish(0);
        if (nsm_)
            nsm_->SetErrorControlMode(2);
        return finish(2);
    }
    return finish(0);
}

}  // namespace ostrel::vessolt
