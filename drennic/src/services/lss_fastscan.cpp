// The LSS fast scan. The scan thread asks bit by bit, from the top of each of the four identity
// numbers down, whether some slave still matching the bits found so far has a 0 in the next bit:
// silence means every such slave has a 1 there. When all four numbers are known, exactly one slave
// is in configuration mode; it gets the next node id, stores it and boots with it. Then the next
// unconfigured slave is looked for, until none answers.
//
// Every request must come back as an echo through the engine's frame hook before its answer
// window counts: a request that never reached the bus must not be read as "no slave has a 0 here"
// (on a dead bus that would end the scan with success).
#include "services/lss_fastscan.h"

#include "engine/engine.h"
#include "engine/result_block.h"
#include "services/lss_services.h"
#include "services/service_modules.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace drennic {
namespace {

constexpr uint32_t kBootUpBase = 0x700;

constexpr uint8_t kSwitchGlobal = 0x04;
constexpr uint8_t kConfigureNodeId = 0x11;
constexpr uint8_t kStoreConfiguration = 0x17;
constexpr uint8_t kFastScan = 0x51;
constexpr uint8_t kIdentifyAnswer = 0x4F;  // a slave's answer to a fast-scan request
constexpr uint8_t kBitCheckedConfirm = 0x80;  // "is any unconfigured slave there?", restarts every slave

constexpr uint32_t kEchoWaitMs = 200;
constexpr uint32_t kBootUpWaitMs = 200;
constexpr auto kGateWait = std::chrono::seconds(1);
constexpr uint32_t kMaxAnswerWindowMs = 0xFFFF;  // the answer window is a 16-bit time
constexpr float kPartPercent = 25.0F;
constexpr uint32_t kFirstNodeId = 1;
constexpr uint32_t kLastNodeId = 127;
constexpr uint8_t kErrorNodeIdOutOfRange = 1;

constexpr std::u16string_view kNoEcho = u"Own LSS request not received back from the bus";
constexpr std::u16string_view kSlaveLost = u"LSS slave stopped answering during fast scan";

struct ScanParameters {
    bool knownIds = false;
    bool byteStep = false;
    FastScanResult* results = nullptr;
    uint32_t maxResults = 0;
    uint8_t firstNodeId = 0;
    uint32_t answerWindowMs = 0;
    ProgressCallback progress = nullptr;
    CompletionCallback completion = nullptr;
    void* user = nullptr;
};

// One scan thread; `exited` is set as the thread's last act, so that it can be joined without waiting.
struct ScanThread {
    std::atomic<bool> exited{false};
    std::thread thread;
};

// The module's process-wide state. The engine thread's hook and the scan thread meet in `mutex`;
// `lifecycle` guards start-up, shut-down and the list of threads, and is never held while joining.
struct FastScanModule {
    std::mutex lifecycle;
    bool started = false;
    std::vector<std::unique_ptr<ScanThread>> threads;  // not joined yet; at most one is scanning

    std::atomic<bool> running{false};  // a scan has been claimed and has not completed

    std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    bool requestSeen = false;   // a frame on 0x7E5 (our own request coming back)
    bool bootUpSeen = false;    // the awaited boot-up
    // Answers on 0x7E4 to the request just sent (their command byte is `awaitedAnswer`); any other
    // frame there answers somebody else.
    uint8_t awaitedAnswer = 0;
    int answers = 0;
    CANFrame firstAnswer{};
    uint32_t awaitedBootUpId = 0;  // 0: none

    // The scan's transmissions and the engine's stop meet here: once the engine has switched the
    // slaves back at its stop, nothing of the scan goes out any more.
    std::timed_mutex gate;
    std::atomic<bool> gateClosed{false};
    // A request that may have selected a slave went out after the last switch back to waiting.
    std::atomic<bool> slavesMayBeConfiguring{false};

    ~FastScanModule() {
        for (auto& entry : threads) {
            if (!entry->thread.joinable()) {
                continue;
            }
            if (entry->thread.get_id() == std::this_thread::get_id()) {
                entry->thread.detach();  // exit() called from a callback on the scan thread
            } else {
                {
                    std::lock_guard lock(mutex);
                    stopRequested = true;
                }
                changed.notify_all();
                entry->thread.join();
            }
        }
    }
};

FastScanModule& module() {
    static FastScanModule instance;
    return instance;
}

// Takes every scan thread but the calling one out of the list (caller holds `lifecycle`): with
// `onlyExited`, only those that have ended, so that joining them cannot block.
std::vector<std::unique_ptr<ScanThread>> takeThreads(FastScanModule& m, bool onlyExited) {
    std::vector<std::unique_ptr<ScanThread>> taken;
    taken.reserve(m.threads.size());
    const auto self = std::this_thread::get_id();
    auto keep = std::stable_partition(m.threads.begin(), m.threads.end(), [&](const std::unique_ptr<ScanThread>& t) {
        return t->thread.get_id() == self || (onlyExited && !t->exited.load());
    });
    std::move(keep, m.threads.end(), std::back_inserter(taken));
    m.threads.erase(keep, m.threads.end());
    return taken;
}

void joinAll(std::vector<std::unique_ptr<ScanThread>>& threads) {
    for (auto& entry : threads) {
        if (entry->thread.joinable()) {
            entry->thread.join();
        }
    }
    threads.clear();
}

void putLe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    bytes[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// The part after `lssSub`; after the serial number the position wraps round to the vendor id, which
// is what tells the fully matched slave to enter configuration mode.
[[nodiscard]] uint8_t partAfter(uint8_t lssSub) { return static_cast<uint8_t>((lssSub + 1) & 3); }

class Scan {
public:
    Scan(FastScanModule& m, const ScanParameters& parameters) : m_(m), p_(parameters) {}

    void run() {
        for (uint32_t i = 0; i < p_.maxResults; ++i) {
            p_.results[i].valid = 0;
        }
        reportProgress(0);
        uint32_t filled = 0;
        uint32_t nodeId = p_.firstNodeId;
        for (;;) {
            const Reply anySlave = sendRequest(0, kBitCheckedConfirm, 0, 0);
            if (anySlave == Reply::Failed) {
                return complete();
            }
            if (anySlave == Reply::Silent) {
                reportProgress(100);
                setResult(&result_, DRN_OK);
                return complete();
            }
            if (nodeId > kLastNodeId) {
                setResult(&result_, DRN_REQUEST_FAILED, u"No node id left for the next LSS slave");
                return complete();
            }
            if (!scanSlave() || !configureNode(static_cast<uint8_t>(nodeId))) {
                return complete();
            }
            if (filled < p_.maxResults) {
                FastScanResult& entry = p_.results[filled++];
                entry = FastScanResult{};
                entry.vendorId = idNumber_[0];
                entry.productCode = idNumber_[1];
                entry.revisionNumber = idNumber_[2];
                entry.serialNumber = idNumber_[3];
                entry.nodeId = static_cast<uint8_t>(nodeId);
                entry.valid = 1;
            }
            ++nodeId;
            reportProgress(0);
            lssNext_ = 0;
            idNumber_[0] = 0;
        }
    }

private:
    enum class Reply { Answered, Silent, Failed };
    enum class Wait { Seen, TimedOut, Stopped };

    // ---- One slave's identity, bit by bit ----

    [[nodiscard]] bool scanSlave() {
        lssNext_ = 0;
        for (lssSub_ = 0; lssSub_ < 4; ++lssSub_) {
            reportProgress(progress_ + kPartPercent);
            idNumber_[lssSub_] = 0;
            bitChecked_ = 32;
            while (bitChecked_ > 0) {
                if (p_.knownIds && bitChecked_ == 32 && lssSub_ == 1) {
                    // Product codes mostly fit in 16 bits: try the upper half as 0 at once.
                    const Reply reply = sendRequest(idNumber_[1], 16, 1, lssNext_);
                    if (reply == Reply::Failed) {
                        return false;
                    }
                    if (reply == Reply::Answered) {
                        bitChecked_ = 16;
                    }
                } else if (p_.knownIds && bitChecked_ == 32 && lssSub_ == 2) {
                    // Revision 0 matched in full moves the slave on to the serial number.
                    const Reply reply = sendRequest(idNumber_[2], 0, 2, static_cast<uint8_t>(lssNext_ + 1));
                    if (reply == Reply::Failed) {
                        return false;
                    }
                    if (reply == Reply::Answered) {
                        lssSub_ = 3;
                        lssNext_ = 3;
                        idNumber_[3] = 0;
                        reportProgress(progress_ + kPartPercent);
                        continue;
                    }
                }
                if (p_.byteStep && bitChecked_ % 8 == 0) {
                    if (!stepWholeBytes()) {
                        return false;
                    }
                    if (bitChecked_ == 0) {
                        break;
                    }
                }
                --bitChecked_;
                if (bitChecked_ == 0) {
                    lssNext_ = partAfter(lssSub_);
                }
                const Reply reply = sendRequest(idNumber_[lssSub_], static_cast<uint8_t>(bitChecked_), lssSub_, lssNext_);
                if (reply == Reply::Failed) {
                    return false;
                }
                if (reply == Reply::Silent) {
                    idNumber_[lssSub_] |= uint32_t{1} << bitChecked_;
                }
            }
            // With bit 0 set, the last request went unanswered and the slave has not moved on yet.
            if ((idNumber_[lssSub_] & 1) != 0) {
                const Reply reply = sendRequest(idNumber_[lssSub_], 0, lssSub_, lssNext_);
                if (reply == Reply::Failed) {
                    return false;
                }
                if (reply == Reply::Silent) {
                    setResult(&result_, DRN_NO_FRAME, kSlaveLost);
                    return false;
                }
            }
        }
        return true;
    }

    // Whole zero bytes at a time while some slave answers; the first silent byte is scanned bit by bit.
    [[nodiscard]] bool stepWholeBytes() {
        while (bitChecked_ > 0) {
            bitChecked_ -= 8;
            if (bitChecked_ == 0) {
                lssNext_ = partAfter(lssSub_);
            }
            const Reply reply = sendRequest(idNumber_[lssSub_], static_cast<uint8_t>(bitChecked_), lssSub_, lssNext_);
            if (reply == Reply::Failed) {
                return false;
            }
            if (reply == Reply::Silent) {
                bitChecked_ += 8;
                lssNext_ = lssSub_;
                break;
            }
        }
        return true;
    }

    // ---- The selected slave: node id, store, boot-up ----

    [[nodiscard]] bool configureNode(uint8_t nodeId) {
        if (!command({kConfigureNodeId, nodeId}, u"configuring node id") ||
            !command({kStoreConfiguration}, u"storing configuration")) {
            return false;
        }
        {
            std::lock_guard lock(m_.mutex);
            m_.awaitedBootUpId = kBootUpBase + nodeId;
            m_.bootUpSeen = false;
        }
        bool booted = false;
        if (transmitAndAwaitEcho({kSwitchGlobal, 0})) {
            const Wait wait = awaitEvent(&FastScanModule::bootUpSeen, kBootUpWaitMs);
            booted = wait == Wait::Seen;
            if (wait == Wait::TimedOut) {
                setResult(&result_, DRN_NO_FRAME, u"No boot-up from node " + decimal(nodeId));
            }
        }
        {
            std::lock_guard lock(m_.mutex);
            m_.awaitedBootUpId = 0;
        }
        return booted;
    }

    // A configuration command whose answer repeats the command byte with error code 0. The whole
    // answer window passes: a second answer means a second slave in configuration state, which must
    // not store the node id as well.
    [[nodiscard]] bool command(const std::array<uint8_t, 8>& request, std::u16string_view doing) {
        if (!transmitAndAwaitEcho(request, request[0]) || !sleep(p_.answerWindowMs)) {
            return false;
        }
        int answers = 0;
        CANFrame answer{};
        {
            std::lock_guard lock(m_.mutex);
            answers = m_.answers;
            answer = m_.firstAnswer;
            m_.awaitedAnswer = 0;
        }
        if (answers == 0) {
            setResult(&result_, DRN_NO_FRAME, u"No response from LSS slave when " + std::u16string(doing));
            return false;
        }
        if (answers > 1) {
            setResult(&result_, DRN_REQUEST_FAILED, kLssMoreThanOneSlave);
            return false;
        }
        if (request[0] == kConfigureNodeId && answer.data[1] == kErrorNodeIdOutOfRange) {
            setResult(&result_, DRN_REQUEST_FAILED, kLssNodeIdOutOfRange);
            return false;
        }
        if (answer.data[1] != 0) {
            setResult(&result_, DRN_REQUEST_FAILED, u"Invalid response from LSS slave when " + std::u16string(doing));
            return false;
        }
        return true;
    }

    // A slave that a fast-scan request may have selected (its answer lost, or the scan ended after
    // it) would take the configure commands meant for the next device: back to waiting with it. The
    // frame is harmless to slaves that are waiting; the result stays the scan's. After the engine's
    // stop has done it, the scan sends nothing more.
    void releaseSlaves() {
        std::unique_lock gate(m_.gate, std::defer_lock);
        if (!gate.try_lock_for(kGateWait) || m_.gateClosed.load() || !m_.slavesMayBeConfiguring.exchange(false)) {
            return;
        }
        CANFrame frame{};
        frame.id = kLssMasterId;
        frame.length = 8;
        frame.data[0] = kSwitchGlobal;
        ResultBlock ignored{};
        CAN_Transmit(&frame, &ignored);
    }

    // ---- Frames and events ----

    [[nodiscard]] Reply sendRequest(uint32_t idNumber, uint8_t bitChecked, uint8_t lssSub, uint8_t lssNext) {
        std::array<uint8_t, 8> data{kFastScan};
        putLe32(data.data() + 1, idNumber);
        data[5] = bitChecked;
        data[6] = lssSub;
        data[7] = lssNext;
        if (!transmitAndAwaitEcho(data, kIdentifyAnswer)) {
            return Reply::Failed;
        }
        // The whole window passes: every slave that matches answers within it, and the bus is quiet
        // again before the next request.
        if (!sleep(p_.answerWindowMs)) {
            return Reply::Failed;
        }
        std::lock_guard lock(m_.mutex);
        const bool answered = m_.answers > 0;
        m_.awaitedAnswer = 0;
        return answered ? Reply::Answered : Reply::Silent;
    }

    // `answer`: the command byte of the answers to count (0: none awaited).
    [[nodiscard]] bool transmitAndAwaitEcho(const std::array<uint8_t, 8>& data, uint8_t answer = 0) {
        CANFrame frame{};
        frame.id = kLssMasterId;
        frame.length = 8;
        std::copy(data.begin(), data.end(), frame.data);
        {
            std::lock_guard lock(m_.mutex);
            m_.requestSeen = false;
            m_.awaitedAnswer = answer;
            m_.answers = 0;
        }
        ResultBlock sent{};
        {
            std::unique_lock gate(m_.gate, std::defer_lock);
            if (!gate.try_lock_for(kGateWait) || m_.gateClosed.load()) {
                setResult(&result_, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
                return false;
            }
            CAN_Transmit(&frame, &sent);
            // Every request but the confirmation may complete a slave's identity and select it. A
            // refused switch back to waiting is tried once more at the end.
            if (sent.code == DRN_OK && data[0] == kSwitchGlobal) {
                m_.slavesMayBeConfiguring = false;
            } else if (sent.code == DRN_OK && data[0] == kFastScan && data[5] != kBitCheckedConfirm) {
                m_.slavesMayBeConfiguring = true;
            }
        }
        if (sent.code != DRN_OK) {
            result_ = sent;
            return false;
        }
        const Wait echo = awaitEvent(&FastScanModule::requestSeen, kEchoWaitMs);
        if (echo == Wait::TimedOut) {
            setResult(&result_, DRN_REQUEST_FAILED, kNoEcho);
        }
        return echo == Wait::Seen;
    }

    // Waits for an auto-reset event of the hook and takes it.
    [[nodiscard]] Wait awaitEvent(bool FastScanModule::*event, uint32_t timeoutMs) {
        std::unique_lock lock(m_.mutex);
        const bool seen = m_.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                              [&] { return m_.stopRequested || m_.*event; });
        if (m_.stopRequested) {
            setResult(&result_, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
            return Wait::Stopped;
        }
        if (!seen) {
            return Wait::TimedOut;
        }
        m_.*event = false;
        return Wait::Seen;
    }

    // False when the module is shut down meanwhile.
    [[nodiscard]] bool sleep(uint32_t ms) {
        std::unique_lock lock(m_.mutex);
        if (m_.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_.stopRequested; })) {
            setResult(&result_, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
            return false;
        }
        return true;
    }

    // ---- Callbacks ----

    void reportProgress(float percent) {
        progress_ = percent;
        if (p_.progress != nullptr) {
            p_.progress(percent, p_.user);
        }
    }

    // Every end of the scan passes here. The scan is over before the callback runs, so the callback
    // may start the next scan or an LSS request of the engine.
    void complete() {
        releaseSlaves();
        m_.running.store(false);
        if (p_.completion != nullptr) {
            p_.completion(&result_, p_.user);
        }
    }

    static std::u16string decimal(uint32_t value) {
        std::u16string text;
        do {
            text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
            value /= 10;
        } while (value != 0);
        return text;
    }

    FastScanModule& m_;
    const ScanParameters p_;
    ResultBlock result_{};
    float progress_ = 0;
    std::array<uint32_t, 4> idNumber_{};
    int bitChecked_ = 0;
    uint8_t lssSub_ = 0;
    uint8_t lssNext_ = 0;
};

void runScan(FastScanModule* m, ScanThread* self, ScanParameters parameters) {
    {
        Scan scan(*m, parameters);
        scan.run();
    }
    self->exited.store(true);
}

// `out` is written before the thread starts, so that a completion never precedes it.
void startScan(const ScanParameters& parameters, int32_t* out) {
    FastScanModule& m = module();
    std::vector<std::unique_ptr<ScanThread>> ended;
    int32_t code = DRN_OK;
    {
        std::lock_guard lifecycle(m.lifecycle);
        if (!m.started) {
            code = DRN_NOT_INITIALIZED;
        } else if (m.running.exchange(true)) {
            code = DRN_BUSY;
        } else if (engineRequestPending()) {
            m.running.store(false);
            code = DRN_BUSY;
        } else {
            {
                std::lock_guard lock(m.mutex);
                m.stopRequested = false;
                m.requestSeen = false;
                m.awaitedAnswer = 0;
                m.answers = 0;
                m.bootUpSeen = false;
                m.awaitedBootUpId = 0;
            }
            m.gateClosed = false;
            m.slavesMayBeConfiguring = false;
            if (out != nullptr) {
                *out = DRN_OK;
            }
            try {
                auto entry = std::make_unique<ScanThread>();
                m.threads.reserve(m.threads.size() + 1);  // nothing may throw once the thread runs
                entry->thread = std::thread(runScan, &m, entry.get(), parameters);
                m.threads.push_back(std::move(entry));
            } catch (const std::exception&) {
                m.running.store(false);
                code = DRN_NOT_INITIALIZED;
            }
            if (code == DRN_OK) {
                out = nullptr;  // already written
            }
        }
        try {
            ended = takeThreads(m, true);
        } catch (const std::exception&) {
            // Ended threads are only tidied up; the next start or the shut-down joins them.
        }
    }
    joinAll(ended);
    if (out != nullptr) {
        *out = code;
    }
}

} // namespace

bool fastScanRunning() noexcept { return module().running.load(); }

void fastScanStartup() {
    FastScanModule& m = module();
    std::vector<std::unique_ptr<ScanThread>> ended;
    {
        std::lock_guard lifecycle(m.lifecycle);
        m.started = true;
        ended = takeThreads(m, true);
    }
    joinAll(ended);
}

// Stops a running scan (it completes with -7) and joins every scan thread before the library goes on
// to withdraw the driver the scan transmits through.
void fastScanShutdown() {
    FastScanModule& m = module();
    std::vector<std::unique_ptr<ScanThread>> threads;
    {
        std::lock_guard lifecycle(m.lifecycle);
        m.started = false;
        {
            std::lock_guard lock(m.mutex);
            m.stopRequested = true;
        }
        m.changed.notify_all();
        threads = takeThreads(m, false);
    }
    joinAll(threads);
}

void LSSFastScan_OnEngineStop() {
    FastScanModule& m = module();
    if (!m.running.load()) {
        return;
    }
    {
        std::unique_lock gate(m.gate, std::defer_lock);
        (void)gate.try_lock_for(kGateWait);  // a transmission of the scan in flight goes out first
        m.gateClosed = true;
        if (m.slavesMayBeConfiguring.exchange(false)) {
            const std::array<uint8_t, 8> waiting{kSwitchGlobal, 0};
            (void)engineTransmit(kLssMasterId, waiting.data(), 8);
        }
    }
    {
        std::lock_guard lock(m.mutex);
        m.stopRequested = true;
    }
    m.changed.notify_all();
}

void LSSFastScan_OnFrame(const CANFrame& frame) {
    if ((frame.flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) != 0) {
        return;
    }
    FastScanModule& m = module();
    bool wake = false;
    {
        std::lock_guard lock(m.mutex);
        if (m.awaitedBootUpId != 0 && frame.id == m.awaitedBootUpId && frame.length == 1 && frame.data[0] == 0) {
            m.bootUpSeen = true;
            wake = true;
        } else if (frame.id == kLssMasterId) {
            m.requestSeen = true;
            wake = true;
        } else if (frame.id == kLssSlaveId && m.awaitedAnswer != 0 && frame.length == 8 &&
                   frame.data[0] == m.awaitedAnswer) {
            if (m.answers++ == 0) {
                m.firstAnswer = frame;
            }
        }
    }
    if (wake) {
        m.changed.notify_all();
    }
}

} // namespace drennic

extern "C" {

void LSSFastScan_ScanAndConfig(uint32_t knownIdsFlag, uint32_t byteStepFlag, FastScanResult* results,
                               uint32_t maxResults, uint8_t firstNodeId, uint32_t timeoutMs, ProgressCallback progress,
                               CompletionCallback completion, void* user, int32_t* out) {
    if ((results == nullptr && maxResults != 0) || firstNodeId < drennic::kFirstNodeId ||
        firstNodeId > drennic::kLastNodeId) {
        if (out != nullptr) {
            *out = DRN_BAD_PARAMETERS;
        }
        return;
    }
    drennic::ScanParameters parameters;
    parameters.knownIds = knownIdsFlag != 0;
    parameters.byteStep = byteStepFlag != 0;
    parameters.results = results;
    parameters.maxResults = maxResults;
    parameters.firstNodeId = firstNodeId;
    parameters.answerWindowMs = std::min(timeoutMs, drennic::kMaxAnswerWindowMs);
    parameters.progress = progress;
    parameters.completion = completion;
    parameters.user = user;
    try {
        drennic::startScan(parameters, out);
    } catch (...) {
        if (out != nullptr) {
            *out = DRN_NOT_INITIALIZED;
        }
    }
}

} // extern "C"
