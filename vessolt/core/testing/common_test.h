#pragma once
// The services through which the device tests and the support-module driver talk to the network:
// blocking SDO on top of the library's asynchronous requests, NMT to all nodes, finding the test
// node and the support module among the boot-ups in the trace (with an LSS fallback), setting up
// heartbeat or node guarding, and the checks that turn a recorded trace into timing figures.
//
// Runs on the test worker and on the support-module wizard's workers; SDO calls are serialised.
// Destroy it only after the hardware is closed: a request the library still runs holds a record
// of this object.
#include <drennic/drennic.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "testing/timing_stats.h"

namespace ostrel::vessolt {

class CanopenApi;
class TDeviceSummary;
class TLog;
class TNSM;
class TTraceBuffer;

// One blocking SDO transfer. The caller owns the record and both buffers until the call returns.
struct SDORequest {
    uint8_t node;
    uint32_t index;  // the library takes 16 bits
    uint8_t subindex;
    uint32_t* size;  // upload: in capacity, out bytes received; download: in bytes to write
    uint8_t* data;
    // Out: the node sent nothing back in time (an abort is an answer).
    bool unanswered = false;
};

// What the services take from parts of the program built elsewhere.
struct CommonTestLinks {
    // The global test configuration's maximum boot-up time in ms.
    std::function<uint32_t()> maxBootupTimeMs;
    // The bit rate of the hardware configuration, kbit/s.
    std::function<uint32_t()> bitRateKbit;
    // The user's text for a failed request's result block.
    std::function<std::string(const ResultBlock&)> resultToText;
    // The name of an emergency error code; empty when the network description has none.
    std::function<std::string(uint32_t errorCode)> errorCodeName;
    // True while the running tests are being cancelled; unset means never.
    std::function<bool()> cancelling;
};

class TCommonTest {
public:
    static constexpr uint32_t kWaitSliceMs = 100;
    // A request that neither completes nor reports progress this long is given up.
    static constexpr uint32_t kDefaultStallLimitMs = 3000;
    // After a cancel the library may still write into the request's buffer until it completes.
    static constexpr uint32_t kCancelDrainMs = 1000;
    static constexpr int kMaxTPDOs = 8;
    static constexpr int kMaxTurnaroundIds = 16;

    TCommonTest(CanopenApi& api, TTraceBuffer& trace, TDeviceSummary& summary, TLog& log, CommonTestLinks links);
    ~TCommonTest();
    TCommonTest(const TCommonTest&) = delete;
    TCommonTest& operator=(const TCommonTest&) = delete;

    // The support-module driver is created after this object and uses it.
    void SetNSM(TNSM* nsm);
    void SetStallLimitMs(uint32_t ms);

    // Ends early when the run is cancelled: the boot-up time may be as long as a user typed it.
    void WaitBootupTime();
    void ResetAllNodes();
    void StartAllNodes();
    void PreOperationalAllNodes();

    // The library's completion callback; `user` is the request's record.
    static void SDOCompleted(ResultBlock* result, void* user);
    // False on failure; only a request that could not be started is logged. A set cancel flag ends
    // the wait within one slice.
    [[nodiscard]] bool SDOUpload(SDORequest* request, const uint8_t* cancel);
    [[nodiscard]] bool SDODownload(SDORequest* request, const uint8_t* cancel);
    // The result block of the last request that completed.
    [[nodiscard]] ResultBlock GetLastResult() const;

    // Resets all nodes and returns the first node that boots, or 0.
    [[nodiscard]] uint8_t ResetAndFindBootup(uint32_t bitRate);
    // The test node, or 0; fills node id, boot-up times and LSS in the device summary.
    [[nodiscard]] uint8_t FindTestNode(const uint8_t* cancel);
    // 0 none, 1 heartbeat, 2 node guarding; 0 also when a needed write failed or on cancel.
    [[nodiscard]] int SetupErrorControl(uint8_t node, const uint8_t* cancel = nullptr);

    // Trace checks over what the test recorded. warn is set to 1 with each warning logged.
    void CheckErrorControl(uint8_t node, int mode, uint8_t* warn, ErrorControlStats* stats);
    void CheckSDOTraffic(uint8_t node, uint8_t* warn, SDOTimeStats* stats);
    void CheckSyncTPDOs(TPDOTimingStats* stats, const uint32_t* tpdos, int count, uint32_t periodMs,
                        uint32_t syncId, uint8_t* warn);
    void MeasureMessagePeriod(PeriodStats* stats, uint32_t identifier, uint32_t periodMs);
    void CheckEventTPDOs(TPDOTimingStats* stats, const uint32_t* tpdos, int count, uint32_t periodMs);
    // rpdoIds: the identifiers of the test's RPDO frame entries, in order.
    void CheckTurnaround(TPDOTimingStats* stats, int* counters, const uint32_t* tpdos, int tpdoCount,
                         const uint32_t* rpdoIds, int rpdoCount);
    // The same over the test's RPDO frame entries, each of which begins with its 32-bit identifier.
    template <class Entry>
    void CheckTurnaround(TPDOTimingStats* stats, int* counters, const uint32_t* tpdos, int tpdoCount,
                         const Entry* rpdos, int rpdoCount) {
        static_assert(std::is_standard_layout_v<Entry> && sizeof(Entry) >= sizeof(uint32_t));
        if (rpdos == nullptr || rpdoCount < 0 || rpdoCount > kMaxTurnaroundIds)
            return;
        std::vector<uint32_t> ids(static_cast<size_t>(rpdoCount));
        for (int i = 0; i < rpdoCount; ++i)
            std::memcpy(&ids[static_cast<size_t>(i)], &rpdos[i], sizeof(uint32_t));
        CheckTurnaround(stats, counters, tpdos, tpdoCount, ids.data(), rpdoCount);
    }
    void CheckEmergencies(uint8_t node, uint8_t* warn);

    struct SdoCall;

private:
    [[nodiscard]] bool transfer(SDORequest* request, const uint8_t* cancel, bool upload);
    void completed(SdoCall& call, const ResultBlock& result);
    // Waits for the call to complete; false when it was cancelled, stalled or failed.
    [[nodiscard]] bool waitFor(const std::shared_ptr<SdoCall>& call, const uint8_t* cancel);
    void forget(uint32_t tag);
    [[nodiscard]] uint32_t maxBootupTimeMs() const;
    [[nodiscard]] uint32_t bitRate() const;
    // Waits the boot-up time on the monotonic clock, in 10 ms steps; false when cancelled.
    [[nodiscard]] bool waitBootup(const uint8_t* cancel);
    void restartTrace(uint32_t bitRate);
    void transmit(std::initializer_list<uint8_t> lssData);
    void warn(uint8_t* flag, const std::string& text);
    // The search itself; `lss` gets the summary's LSS value (0 when nothing was found).
    [[nodiscard]] uint8_t searchTestNode(const uint8_t* cancel, uint32_t& lss);
    [[nodiscard]] uint8_t lssFallback(const uint8_t* cancel, uint32_t bitRate, uint32_t& lss);

    CanopenApi& api_;
    TTraceBuffer& trace_;
    TDeviceSummary& summary_;
    TLog& log_;
    CommonTestLinks links_;
    TNSM* nsm_ = nullptr;

    std::mutex sdoSerial_;  // one request of these services at a time
    mutable std::mutex callsMutex_;
    std::condition_variable callsChanged_;
    // Requests the library may still complete, by tag; a record lives until its completion.
    std::map<uint32_t, std::shared_ptr<SdoCall>> inflight_;
    uint32_t nextTag_ = 1;
    ResultBlock completion_{};
    uint32_t stallLimitMs_ = kDefaultStallLimitMs;
};

} // namespace ostrel::vessolt
