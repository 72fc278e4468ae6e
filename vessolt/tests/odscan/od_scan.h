#pragma once
// The object dictionary scan (test 20): finds the device under test, sets up its error control,
// reads every entry of 0x1000-0x1FFF, fills the device summary, tries the writability tests and
// keeps the entries that answered. Runs on the test manager's worker thread; the result list is
// shared with the GUI thread under its own lock. No Qt here: the script types include this.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "network/object_kind.h"
#include "od_scan_result.h"
#include "test_run.h"
#include "services/timed_mutex.h"

namespace ostrel::vessolt {

class MessageSink;
class TCommonTest;
class TDeviceSummary;
class TLog;
class TTestManager;
class TTraceBuffer;

// Posted to the result listener after the result list or its access times changed; the handler
// copies the list (row count = count + 1).
inline constexpr uint32_t WM_ODSCAN_RESULTSCHANGED = 0x7E60;

// What the scan takes from parts of the program built elsewhere. Empty members are skipped.
struct ODScanLinks {
    // The bit rate of the open network in kbit/s.
    std::function<uint32_t()> bitRateKbit;
    // Writes the configured DCF into the node, honouring the cancel flag.
    std::function<void(uint8_t node, const std::atomic<bool>* cancel)> configureNode;
    // The support module's scan lists and their start; empty counts as success.
    std::function<bool(uint8_t node)> writeODScanLists;
    std::function<bool()> startTransmission;
    // Name and type code of an entry from the network description; type 0 when it has none.
    std::function<std::string(uint32_t index, uint8_t sub, uint8_t node)> entryName;
    std::function<int32_t(uint32_t index, uint8_t sub, uint8_t node)> entryType;
    // How the node's own description (its data sheet) gives an object; nullopt when it does not.
    std::function<std::optional<ODObjectKind>(uint32_t index, uint8_t node)> objectKind;
};

class TODScan {
public:
    static constexpr int32_t kTestId = 20;
    static constexpr const char* kName = "Object Dictionary Scan";
    static constexpr uint32_t kSdoBufferSize = 2000;

    TODScan(TTestManager& manager, TCommonTest& common, TTraceBuffer& trace, TDeviceSummary& summary, TLog& log,
            ODScanLinks links);
    ~TODScan();
    TODScan(const TODScan&) = delete;
    TODScan& operator=(const TODScan&) = delete;

    // The window that shows the list; it gets WM_ODSCAN_RESULTSCHANGED. Null detaches: no post
    // reaches the old one after this returns.
    void SetResultListener(MessageSink* sink);

    // The test's callbacks.
    void RunTest();
    void CancelTest();

    // The steps of a run, by name.
    void PrepareErrorControl();
    // 0 failed, 1 passed, 2 passed with warnings, 3 cancelled.
    int ScanObjectDictionary();
    void EvaluateEntry(uint32_t index, uint8_t sub, bool found);
    void MeasureAccessTimes();
    void SetAccessTime(uint32_t index, uint8_t sub, float ms);
    void CheckEmergencies();
    void GetBusStatistics(float& busLoad, float& burstLength);
    [[nodiscard]] bool SDOUpload(uint16_t index, uint8_t sub);
    [[nodiscard]] bool SDODownload(uint16_t index, uint8_t sub, uint32_t size);
    [[nodiscard]] bool TestNMTMasterBit(uint32_t value);
    [[nodiscard]] bool TestAutoStartBit(uint32_t value);
    [[nodiscard]] bool TestCOBIDWrite(uint16_t commIndex, uint32_t cobid);
    [[nodiscard]] bool TestMappingWrite(uint16_t mapIndex, uint8_t sub, uint32_t entry);

    // The result list. Each takes the list lock (500 ms) and does nothing without it.
    void AddResult(const ODScanResult& result);
    void ClearResults();
    [[nodiscard]] bool FindResult(uint32_t index, uint8_t sub) const;
    [[nodiscard]] bool GetResult(uint32_t index, uint8_t sub, ODScanResult& out) const;
    // A copy of the list; nullopt when the lock was not had in time.
    [[nodiscard]] std::optional<std::vector<ODScanResult>> CopyResults() const;
    // The nine texts of each result with name and type from the network description.
    [[nodiscard]] std::vector<ODScanRowTexts> RowTexts() const;
    [[nodiscard]] ODScanRowTexts RowText(const ODScanResult& result) const;

    // The test's report section; layout 0 fixed-width, 1 tab-separated.
    void WriteReport(std::FILE* file, int layout) const;
    [[nodiscard]] TTestManager& Manager() { return manager_; }
    [[nodiscard]] uint8_t NodeId() const { return run_.Node(); }
    // For running single steps without the search for the node.
    void SetNodeId(uint8_t node) { run_.SetNode(node); }

private:
    [[nodiscard]] bool cancelled() const { return run_.Cancelled(); }
    // The flag as the common services poll it: one byte, written atomically on our side.
    [[nodiscard]] const uint8_t* cancelFlag() const { return run_.CancelFlag(); }
    void notify();
    void setStatus(int32_t status);
    void setProgress(int32_t percent);
    void warn(const std::string& line);
    [[nodiscard]] uint32_t bufferNumber(uint32_t bytes) const;
    void putNumber(uint32_t value, uint32_t bytes);
    [[nodiscard]] bool writeNumber(uint16_t index, uint8_t sub, uint32_t value, uint32_t bytes);
    [[nodiscard]] bool readNumber(uint16_t index, uint8_t sub, uint32_t& value);
    // Whether sub-index 0 of the object is a count: known for the objects of the communication
    // profile, else from the node's description.
    [[nodiscard]] bool isArrayOrRecord(uint32_t index) const;
    // Ends the scan of a node that no longer answers: the log line, the access times so far and
    // a reset of all nodes; 0 (failed).
    int nodeStoppedAnswering();

    TTestManager& manager_;
    TCommonTest& common_;
    TTraceBuffer& trace_;
    TDeviceSummary& summary_;
    TLog& log_;
    ODScanLinks links_;

    // Set on the GUI thread, polled by the worker and the SDO waits.
    TestRun run_;
    std::unique_ptr<uint8_t[]> sdoBuffer_;
    uint32_t sdoSize_ = 0;
    bool guardTimeSeen_ = false;
    bool configEntrySeen_ = false;
    uint32_t serverCount_ = 0, clientCount_ = 0, rpdoCount_ = 0, tpdoCount_ = 0;

    mutable TimedMutex listMutex_;
    std::vector<ODScanResult> results_;
    // Held while posting, so that a detached window is never posted to.
    std::mutex listenerMutex_;
    MessageSink* listener_ = nullptr;
};

}  // namespace ostrel::vessolt
