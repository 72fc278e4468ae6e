// The engine thread: receives every frame, offers it to the listeners, drives the running request and
// finishes it through the caller's completion callback.
#include "engine/engine.h"

#include "engine/library_state.h"
#include "engine/result_block.h"
#include "services/lss_fastscan.h"
#include "services/sdo_monitor.h"
#include "services/sdo_server.h"

#include <platform/clock.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace drennic {
namespace {

constexpr auto kThreadStartWait = std::chrono::seconds(10);
constexpr uint32_t kAbortCancelledByCaller = 0x08000021;

constexpr ServiceHandlers kNoService{nullptr, nullptr, nullptr, nullptr};
constexpr ServiceHandlers kSdoClient{sdoClientStart, sdoClientOnFrame, sdoClientOnTick, sdoClientOnCancel};
constexpr ServiceHandlers kScanService{scanStart, scanOnFrame, scanOnTick, scanOnCancel};
constexpr ServiceHandlers kLssService{lssStart, lssOnFrame, lssOnTick, lssOnCancel};

constexpr std::array<ServiceHandlers, kRequestCodeCount> kDefaultHandlers = {
    kNoService,    // 0
    kSdoClient,    // 1 download
    kSdoClient,    // 2 upload
    kScanService,  // 3 scan
    kLssService,   // 4 find slave
    kLssService,   // 5 set configuration
    kScanService,  // 6 mass write
    kLssService,   // 7 configure bit timing
    kLssService,   // 8 activate bit timing
};

[[nodiscard]] constexpr bool knownCode(int32_t code) noexcept { return code > kRequestNone && code < kRequestCodeCount; }

// The requests whose frames would meet an LSS fast scan's on 0x7E4 and 0x7E5.
[[nodiscard]] constexpr bool isLssRequest(int32_t code) noexcept {
    return code == kRequestFindLssSlave || code == kRequestSetLssSlaveConfig || code == kRequestSetLssSlaveBitTiming ||
           code == kRequestUseLssSlaveBitTiming;
}

[[nodiscard]] constexpr bool usesSdoChannel(int32_t code) noexcept {
    return code == kRequestSdoDownload || code == kRequestSdoUpload || code == kRequestScanNetwork ||
           code == kRequestMassExpeditedWrite;
}

// Error, remote and extended frames never carry the answer to a request, whatever their identifier.
[[nodiscard]] constexpr bool isStandardDataFrame(const CANFrame& frame) noexcept {
    return (frame.flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) == 0;
}

thread_local bool tOnEngineThread = false;

// The one engine of the process.
struct EngineModule {
    // Serialises engineStart and engineStop of threads other than the engine thread.
    std::mutex lifecycle;
    std::thread thread;
    std::shared_ptr<const DriverBinding> driver;  // kept for the thread's life: the table it calls
    const DriverOps* ops = nullptr;
    // The driver's WakeReceive while the engine runs; read by posting threads.
    std::atomic<void (*)()> wakeReceive{nullptr};
    std::atomic<bool> stopRequested{false};
    std::mutex startedMutex;
    std::condition_variable startedChanged;
    bool started = false;

    // The request slot. Held only to read or write these fields (never across a call-out), so a
    // wait for it is short by construction and needs no time-out of its own.
    std::mutex requestMutex;
    bool accepting = false;         // the engine runs and takes requests
    int32_t requestCode = kRequestNone;  // posted or running; 0 once completed
    bool takenUp = false;           // the engine thread has the posted request
    EngineRequest posted;
    uint64_t postedSerial = 0;      // serial of the request in the slot
    uint64_t lastSerial = 0;
    uint64_t cancelledSerial = 0;   // the request a cancel was made for
    ResultBlock cancelResult{};     // how it ends: code -1 for a caller's cancel, else what failRequest said
    std::array<ServiceHandlers, kRequestCodeCount> handlers = kDefaultHandlers;

    // Engine thread only.
    EngineContext context;
    ServiceHandlers service = kNoService;
    CANFrame frame{};               // the library's frame handed to ReceiveCallback
    bool frameOwn = false;          // the driver knows it for one of the library's own
    uint32_t lastStatus = 0;

    ~EngineModule() {
        // A process that ends without Hardware_Close still joins its engine.
        stopRequested.store(true);
        if (thread.joinable()) {
            if (thread.get_id() != std::this_thread::get_id()) {
                thread.join();
            } else {
                thread.detach();  // exit() called from a callback on the engine thread
            }
        }
    }
};

EngineModule& engine() {
    static EngineModule instance;
    return instance;
}

// ---- The loop ----

void takeUpRequest(EngineModule& m) {
    EngineContext& context = m.context;
    {
        std::unique_lock lock(m.requestMutex, std::try_to_lock);
        if (!lock.owns_lock() || m.requestCode == kRequestNone || m.takenUp || m.stopRequested.load()) {
            return;
        }
        m.takenUp = true;
        m.service = m.handlers[static_cast<std::size_t>(m.requestCode)];
        context.request = m.posted;
        context.serial = m.postedSerial;
    }
    context.sdo = SdoTransfer{};
    context.scan = ScanState{};
    context.lss = LssState{};
    context.result = ResultBlock{};
    context.protocolState = kStateIdle;
    context.active = true;
    engineStamp(context);
    if (usesSdoChannel(context.request.code) && !SDOServer_IsChannelReady()) {
        SDOServer_RequestChannel();
    }
    m.service.start(context);
    if (context.active) {
        engineStamp(context);
    }
}

[[nodiscard]] bool cancelWanted(EngineModule& m, ResultBlock& result) {
    std::unique_lock lock(m.requestMutex, std::try_to_lock);
    if (!lock.owns_lock() || m.cancelledSerial == 0 || m.cancelledSerial != m.context.serial) {
        return false;
    }
    m.cancelledSerial = 0;
    result = m.cancelResult;
    return true;
}

// Ends the running request from outside its service.
void endFromOutside(EngineModule& m, const ResultBlock& result) {
    EngineContext& context = m.context;
    if (result.code == DRN_CANCELLED &&
        (context.request.code == kRequestSdoDownload || context.request.code == kRequestSdoUpload)) {
        (void)engineSendSdoAbort(context, kAbortCancelledByCaller);
    }
    m.service.onCancel(context);
    engineFinishWith(context, result);
}

void endFromOutside(EngineModule& m, int32_t code, std::u16string_view message) {
    ResultBlock result;
    setResult(&result, code, message);
    endFromOutside(m, result);
}

// Under the request mutex.
void markCancelled(EngineModule& m, uint64_t serial, int32_t code, std::u16string_view message) {
    m.cancelledSerial = serial;
    setResult(&m.cancelResult, code, message);
}

void handleFrame(EngineModule& m) {
    EngineContext& context = m.context;
    const CANFrame& frame = m.frame;
    const bool answers = context.active && context.protocolState != kStateIdle && isStandardDataFrame(frame) &&
                         Engine_IsRequestResponse(context, frame.id);
    if (const auto [callback, user] = receiveHandler(); callback != nullptr) {
        callback(&frame, answers ? 1 : 0, user);
    }
    SDOServer_HandleRequest(frame, m.frameOwn);
    SDOMonitor_OnFrame(frame);
    LSSFastScan_OnFrame(frame);
    if (answers && context.active) {
        engineStamp(context);
        if (context.protocolState >= 2 && context.protocolState <= 35) {
            m.service.onFrame(context, frame);
        }
    }
}

[[nodiscard]] bool receiveFrame(EngineModule& m) {
    ResultBlock result;
    result.code = DRN_NO_FRAME;
    uint32_t id = 0;
    uint8_t length = 0;
    uint8_t extended = 0;
    uint8_t remote = 0;
    uint8_t errorFrame = 0;
    uint32_t timeMs = 0;
    uint32_t timeMsOverflow = 0;
    uint32_t timeUs = 0;
    // The data bytes go straight into the library frame: those behind `length` keep an earlier frame's.
    m.ops->Receive(&id, &length, &extended, &remote, &errorFrame, m.frame.data, &timeMs, &timeMsOverflow, &timeUs,
                   &result);
    if (result.code != DRN_OK) {
        return false;
    }
    m.frame.timeMs = timeMs;
    m.frame.timeMsOverflow = timeMsOverflow;
    m.frame.timeUs = timeUs;
    m.frame.id = id;
    m.frame.length = std::min<uint8_t>(length, 8);
    m.frame.flags = static_cast<uint8_t>((extended ? DRN_FLAG_EXTENDED : 0) | (remote ? DRN_FLAG_REMOTE : 0) |
                                         (errorFrame ? DRN_FLAG_ERROR : 0));
    m.frameOwn = m.ops->ReceivedOwnFrame != nullptr && m.ops->ReceivedOwnFrame() != 0;
    return true;
}

void reportStatusChange(EngineModule& m) {
    const auto [callback, user] = majorErrorHandler();
    if (callback == nullptr) {
        return;
    }
    uint32_t status = 0;
    ResultBlock result;
    result.code = DRN_NOT_INITIALIZED;
    m.ops->Status(&status, &result);
    if (result.code == DRN_OK && status != m.lastStatus) {
        m.lastStatus = status;
        callback(status, user);
    }
}

// The engine is going away: nothing more is accepted, and whatever is running or still waiting in
// the slot completes with -7 so that no caller waits for a completion that would never come.
void finishOnStop(EngineModule& m) {
    LSSFastScan_OnEngineStop();  // the driver is still open: the last frames go out now
    bool waitingRequest = false;
    {
        std::lock_guard lock(m.requestMutex);
        m.accepting = false;
        m.cancelledSerial = 0;
        if (m.requestCode != kRequestNone && !m.takenUp) {
            waitingRequest = true;
            m.takenUp = true;
            m.context.request = m.posted;
            m.context.serial = m.postedSerial;
        }
    }
    if (m.context.active) {
        endFromOutside(m, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
    }
    if (waitingRequest) {
        m.context.active = true;
        engineFinish(m.context, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
    }
}

void runEngine() {
    tOnEngineThread = true;
    EngineModule& m = engine();
    {
        std::lock_guard lock(m.startedMutex);
        m.started = true;
    }
    m.startedChanged.notify_all();

    while (!m.stopRequested.load(std::memory_order_acquire)) {
        if (receiveFrame(m)) {
            handleFrame(m);
        }
        EngineContext& context = m.context;
        if (context.active) {
            const uint32_t elapsed = engineNowMs() - context.lastEventTime;
            m.service.onTick(context, elapsed);
            if (ResultBlock ending; context.active && cancelWanted(m, ending)) {
                endFromOutside(m, ending);
            }
        } else {
            takeUpRequest(m);
        }
        reportStatusChange(m);
    }
    finishOnStop(m);
}

void joinFinishedThread(EngineModule& m) {
    if (m.thread.joinable()) {
        m.stopRequested.store(true);
        m.thread.join();
    }
    m.wakeReceive.store(nullptr);
    m.ops = nullptr;
    m.driver.reset();
}

} // namespace

// ---- Start and stop ----

bool engineStart() {
    EngineModule& m = engine();
    if (tOnEngineThread) {
        return !m.stopRequested.load();
    }
    std::lock_guard lifecycle(m.lifecycle);
    if (m.thread.joinable()) {
        if (!m.stopRequested.load()) {
            return true;
        }
        joinFinishedThread(m);  // stopped from inside a callback and not joined yet
    }
    m.driver = currentDriver();
    if (!m.driver) {
        return false;
    }
    m.ops = &m.driver->ops;
    m.wakeReceive.store(m.ops->WakeReceive);
    m.context = EngineContext{};
    m.service = kNoService;
    m.frame = CANFrame{};
    m.lastStatus = 0;  // the first status seen counts against 0
    {
        std::lock_guard lock(m.requestMutex);
        m.requestCode = kRequestNone;
        m.takenUp = false;
        m.cancelledSerial = 0;
        m.accepting = true;
    }
    {
        std::lock_guard lock(m.startedMutex);
        m.started = false;
    }
    m.stopRequested.store(false);
    try {
        m.thread = std::thread(runEngine);
    } catch (const std::system_error&) {
        std::lock_guard lock(m.requestMutex);
        m.accepting = false;
        m.ops = nullptr;
        m.driver.reset();
        return false;
    }
    std::unique_lock lock(m.startedMutex);
    if (!m.startedChanged.wait_for(lock, kThreadStartWait, [&] { return m.started; })) {
        lock.unlock();
        joinFinishedThread(m);
        return false;
    }
    return true;
}

void engineStop() {
    EngineModule& m = engine();
    if (tOnEngineThread) {
        m.stopRequested.store(true);
        return;
    }
    std::lock_guard lifecycle(m.lifecycle);
    joinFinishedThread(m);
}

bool engineStoppingOnThisThread() { return tOnEngineThread && engine().stopRequested.load(); }

bool engineRunning() {
    EngineModule& m = engine();
    std::lock_guard lock(m.requestMutex);
    return m.accepting && !m.stopRequested.load();
}

// ---- Posting ----

void postRequest(const EngineRequest& request, int32_t* out, uint64_t* serial) {
    EngineModule& m = engine();
    if (serial != nullptr) {
        *serial = 0;
    }
    if (!knownCode(request.code)) {
        if (out != nullptr) {
            *out = DRN_BAD_PARAMETERS;
        }
        return;
    }
    // One critical section from the check to the code: two posts at once can never mix parameters.
    std::unique_lock lock(m.requestMutex);
    int32_t code = DRN_OK;
    if (!m.accepting || m.stopRequested.load()) {
        code = DRN_NOT_INITIALIZED;
    } else if (m.requestCode != kRequestNone || (isLssRequest(request.code) && fastScanRunning())) {
        code = DRN_BUSY;
    } else {
        m.posted = request;
        m.postedSerial = ++m.lastSerial;
        m.takenUp = false;
        if (request.code == kRequestScanNetwork && request.scanResults != nullptr) {
            for (int i = 0; i < DRN_NODE_COUNT; ++i) {
                request.scanResults[i].found = 0;
            }
        }
        if (request.code == kRequestMassExpeditedWrite && request.massWriteResults != nullptr) {
            for (int i = 0; i < DRN_NODE_COUNT; ++i) {
                request.massWriteResults[i].acknowledged = 0;
            }
        }
        m.requestCode = request.code;
        if (serial != nullptr) {
            *serial = m.postedSerial;
        }
    }
    // Written before the engine can take the request up, so a completion never precedes it.
    if (out != nullptr) {
        *out = code;
    }
    lock.unlock();
    if (code == DRN_OK) {
        // The driver functions live in this library, never in an unloaded one.
        if (void (*wake)() = m.wakeReceive.load()) {
            wake();
        }
    }
}

void cancelRequest() { failRequest(DRN_CANCELLED, {}); }

void cancelRequest(uint64_t serial) {
    EngineModule& m = engine();
    std::lock_guard lock(m.requestMutex);
    if (serial != 0 && m.requestCode != kRequestNone && m.postedSerial == serial) {
        markCancelled(m, serial, DRN_CANCELLED, {});
    }
}

void failRequest(int32_t code, std::u16string_view message) {
    EngineModule& m = engine();
    std::lock_guard lock(m.requestMutex);
    if (m.requestCode != kRequestNone) {
        markCancelled(m, m.postedSerial, code, message);
    }
}

bool engineRequestPending() {
    EngineModule& m = engine();
    std::lock_guard lock(m.requestMutex);
    return m.requestCode != kRequestNone;
}

ServiceHandlers replaceServiceHandlers(int32_t code, const ServiceHandlers& handlers) {
    EngineModule& m = engine();
    const bool complete = handlers.start != nullptr && handlers.onFrame != nullptr && handlers.onTick != nullptr &&
                          handlers.onCancel != nullptr;
    if (!knownCode(code) || !complete) {
        return kNoService;  // every posted code must keep a service that can complete it
    }
    std::lock_guard lock(m.requestMutex);
    const ServiceHandlers previous = m.handlers[static_cast<std::size_t>(code)];
    m.handlers[static_cast<std::size_t>(code)] = handlers;
    return previous;
}

// ---- Helpers for the services ----

uint32_t engineNowMs() noexcept { return ostrel::platform::tickMs(); }

void engineStamp(EngineContext& context) noexcept { context.lastEventTime = engineNowMs(); }

void driverTransmit(const DriverOps& ops, uint32_t id, uint8_t length, const uint8_t* data, uint8_t flags,
                    ResultBlock* result) {
    const bool dataFrame = (flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) == 0;
    const uint64_t note = dataFrame ? SDOServer_NoteTransmission(ops, id, data, length) : 0;  // before the echo
    ops.Transmit(id, length, data, (flags & DRN_FLAG_EXTENDED) ? 1 : 0, (flags & DRN_FLAG_REMOTE) ? 1 : 0,
                 (flags & DRN_FLAG_ERROR) ? 1 : 0, result);
    if (result->code != DRN_OK) {
        SDOServer_WithdrawTransmission(note);
    }
}

int32_t engineTransmit(uint32_t id, const uint8_t* data, uint8_t length, ResultBlock* driverResult) {
    ResultBlock result;
    result.code = DRN_NOT_INITIALIZED;
    result.message[0] = 0;
    EngineModule& m = engine();
    std::shared_ptr<const DriverBinding> held;
    const DriverOps* ops = tOnEngineThread ? m.ops : nullptr;
    if (ops == nullptr) {
        held = currentDriver();
        ops = held ? &held->ops : nullptr;
    }
    if (ops != nullptr) {
        driverTransmit(*ops, id, length, data, 0, &result);
    } else {
        setResult(&result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
    }
    if (result.code == DRN_OK) {
        postTransmitPause();
    }
    if (driverResult != nullptr) {
        *driverResult = result;
    }
    return result.code;
}

int32_t engineSendSdoAbort(const EngineContext& context, uint32_t abortCode) {
    const uint16_t index = context.request.index;
    const uint8_t data[8] = {
        0x80,
        static_cast<uint8_t>(index & 0xFF),
        static_cast<uint8_t>(index >> 8),
        context.request.subIndex,
        static_cast<uint8_t>(abortCode & 0xFF),
        static_cast<uint8_t>((abortCode >> 8) & 0xFF),
        static_cast<uint8_t>((abortCode >> 16) & 0xFF),
        static_cast<uint8_t>(abortCode >> 24),
    };
    const uint32_t id = SDO_RequestCobId(context.request.node);
    if (id == 0) {
        return DRN_BAD_PARAMETERS;  // never on the NMT identifier (COB-ID rule without SDO identifiers)
    }
    return engineTransmit(id, data, 8);
}

void engineProgress(const EngineContext& context, float percentDone) {
    if (context.request.progress != nullptr) {
        context.request.progress(percentDone, context.request.user);
    }
}

void Engine_Complete(EngineContext& context) {
    if (!context.active) {
        return;  // a request completes once
    }
    context.active = false;
    context.protocolState = kStateIdle;
    context.request.node = 0;
    const CompletionCallback completion = context.request.completion;
    void* const user = context.request.user;
    {
        // Freed before the callback runs, so that it may post the next request.
        EngineModule& m = engine();
        std::lock_guard lock(m.requestMutex);
        m.requestCode = kRequestNone;
        m.takenUp = false;
        if (m.cancelledSerial == context.serial) {
            m.cancelledSerial = 0;
        }
    }
    if (completion != nullptr) {
        completion(&context.result, user);
    }
}

void engineFinish(EngineContext& context, int32_t code, std::u16string_view message) {
    if (!context.active) {
        return;
    }
    setResult(&context.result, code, message);
    Engine_Complete(context);
}

void engineFinishWith(EngineContext& context, const ResultBlock& result) {
    if (!context.active) {
        return;
    }
    context.result = result;
    Engine_Complete(context);
}

// Only a state that waits for an answer takes one. The others (the wait for a dynamic channel, the
// LSS steps and activation waits) run on their own clocks: frames on the node's SDO response
// identifier there are somebody else's (a PDO on that identifier, another master's transfer) and
// must not hold the request for as long as they flow.
bool Engine_IsRequestResponse(const EngineContext& context, uint32_t id) noexcept {
    const int32_t state = context.protocolState;
    if (state == kStateScanCollect || state == kStateMassWriteCollect) {
        return sdoChannelRule().isAnySdoResponse(id);
    }
    if (isLssAnswerState(state)) {
        return id == 0x7E4;
    }
    return sdoClientAwaitsAnswer(state) && id == SDO_ResponseCobId(context.request.node);
}

bool engineSdoChannelReady(uint32_t elapsedMs) {
    if (SDOServer_IsChannelReady()) {
        return true;
    }
    if (elapsedMs > sdoChannelsTimeoutMs()) {
        SDOServer_GiveUpChannelWait();
        return true;
    }
    return false;
}

} // namespace drennic
