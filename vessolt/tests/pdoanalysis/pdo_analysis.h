#pragma once
// The PDO analysis (test 30): reads the configuration of the device's first four RPDOs and TPDOs,
// tries which parameters and transmission types the device lets a master change (writing its own
// values back after each try) and ends with the support module's bus statistics.
//
// Everything runs on the test manager's worker thread, the reading too, with the common blocking
// SDO calls. The PDO table is shared with the GUI thread and the script under its own lock; the
// window hears of new rows, a reset and the access marks through its message sink. No Qt here: the
// script types include this.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pdo_analysis_result.h"
#include "test_run.h"
#include "services/timed_mutex.h"

namespace ostrel::vessolt {

class MessageSink;
class TCommonTest;
class TDeviceSummary;
class TLog;
class TTestManager;
class TTraceBuffer;

// Posted to the table listener. The handler re-reads the table; after a reset the marks go, after
// the marks message the rows show the access marks and the supported types.
inline constexpr uint32_t WM_PDOANALYSIS_RESET = 0x7E70;
inline constexpr uint32_t WM_PDOANALYSIS_ROWADDED = 0x7E71;
inline constexpr uint32_t WM_PDOANALYSIS_MARKS = 0x7E72;

// What the analysis takes from parts of the program built elsewhere. Empty members are skipped.
struct PDOAnalysisLinks {
    // The bit rate of the open network in kbit/s.
    std::function<uint32_t()> bitRateKbit;
    // Writes the configured DCF into the node, honouring the cancel flag.
    std::function<void(uint8_t node, const std::atomic<bool>* cancel)> configureNode;
    // The support module's lists for this test and their start; empty counts as success.
    std::function<bool(uint8_t node)> writePDOAnalysisLists;
    std::function<bool()> startTransmission;
    // Names from the network description.
    std::function<std::optional<std::string>(uint32_t id)> messageName;
    std::function<std::optional<std::string>(uint32_t index, uint8_t sub, uint8_t node)> entryName;
};

class TPDOAnalysis {
public:
    static constexpr int32_t kTestId = 30;
    static constexpr const char* kName = "PDO Analysis";
    static constexpr int kTableSize = 8;
    static constexpr uint32_t kReadBufferSize = 700;
    // The SDO operations a whole analysis plans for; progress is operations * 100 / this.
    static constexpr uint32_t kPlannedOperations = 808;

    TPDOAnalysis(TTestManager& manager, TCommonTest& common, TTraceBuffer& trace, TDeviceSummary& summary, TLog& log,
                 PDOAnalysisLinks links);
    ~TPDOAnalysis();
    TPDOAnalysis(const TPDOAnalysis&) = delete;
    TPDOAnalysis& operator=(const TPDOAnalysis&) = delete;

    // The window that shows the table. Null detaches: no post reaches the old one after this returns.
    void SetTableListener(MessageSink* sink);

    // The test's callbacks.
    void RunTest();
    void CancelTest();

    // The steps of a run, by name. RunAnalysis: 0 failed, 1 done, 3 cancelled.
    int RunAnalysis();
    // Reads the eight PDOs one SDO upload after the other into the table.
    void ReadPDOConfiguration();
    void ResetResults();
    void ClearPDOTable();
    void AddRPDORow();
    void AddTPDORow();
    void TestAccess();
    void TestCOBID(int entry);
    void TestTransmissionTypes(int entry);
    void TestInhibitTime(int entry);
    void TestEventTime(int entry);
    void TestMapping(int entry);
    // The rows get their access marks and supported types.
    void ShowAccessResults();
    void GetBusStatistics(float& busLoad, float& burstLength);

    // The table. Each takes the table lock (500 ms) and does nothing (false, nullopt) without it.
    // AddPDO appends a filled entry and tells the listener; false when the table is full.
    bool AddPDO(const PDOEntry& entry);
    [[nodiscard]] bool FindPDO(uint32_t commIndex) const;
    [[nodiscard]] bool GetPDO(uint32_t commIndex, PDOEntry& out) const;
    [[nodiscard]] std::optional<std::vector<PDOEntry>> CopyTable() const;
    // Whether the rows show the access marks (the report prints what the grid shows).
    [[nodiscard]] bool MarksShown() const { return marksShown_.load(); }
    // Texts of the filled rows with names from the network description.
    [[nodiscard]] std::vector<PDORow> Rows(bool marked) const;

    // The test's report section; layout 0 fixed-width, 1 tab-separated.
    void WriteReport(std::FILE* file, int layout) const;
    [[nodiscard]] TTestManager& Manager() { return manager_; }
    [[nodiscard]] uint8_t NodeId() const { return run_.Node(); }
    // For running single steps without the search for the node.
    void SetNodeId(uint8_t node) { run_.SetNode(node); }
    [[nodiscard]] uint32_t Operations() const { return operations_.load(); }

private:
    enum class Parameter { COBID, TransmissionType, InhibitTime, EventTime, MappingNum };
    // Where a parameter lives and how many bytes it has.
    struct ParameterPlace {
        uint32_t index;
        uint8_t sub;
        uint32_t bytes;
    };
    [[nodiscard]] static ParameterPlace placeOf(uint32_t commIndex, Parameter parameter);

    [[nodiscard]] bool cancelled() const { return run_.Cancelled(); }
    [[nodiscard]] const uint8_t* cancelFlag() const { return run_.CancelFlag(); }
    void post(uint32_t message);
    void setStatus(int32_t status);
    void updateProgress();
    void checkSDOTraffic(bool withStatistics);
    // Ends the analysis of a node that no longer answers: the log line and a reset of all nodes; 0.
    int nodeStoppedAnswering();
    // One step of the reading by the upload that just ended; false once the last PDO is read.
    [[nodiscard]] bool advanceReading(bool ok);
    void nextPDO(uint32_t commIndex, bool& more);
    void addRow();
    // Blocking access to one parameter of an entry; each success counts as one operation.
    [[nodiscard]] bool readParameter(uint32_t commIndex, Parameter parameter, uint32_t& value);
    [[nodiscard]] bool writeParameter(uint32_t commIndex, Parameter parameter, uint32_t value);
    [[nodiscard]] std::optional<PDOEntry> entryAt(int entry) const;
    void updateEntry(int entry, const std::function<void(PDOEntry&)>& change);
    // The common pattern of the inhibit and event time tests.
    void testTimeParameter(int entry, Parameter parameter);
    // Clear or set bit 31 of the working COB-ID on the device, unless it is so already; false
    // when the device refused (working then stays as it was).
    [[nodiscard]] bool invalidate(uint32_t commIndex, uint32_t& working);
    [[nodiscard]] bool validate(uint32_t commIndex, uint32_t& working);
    // Puts back what a test changed: the parameter's value when given, then the COB-ID c0 when
    // the working one differs. True when every write was taken.
    [[nodiscard]] bool restore(uint32_t commIndex, uint32_t c0, uint32_t working, std::optional<Parameter> parameter,
                               uint32_t value);

    TTestManager& manager_;
    TCommonTest& common_;
    TTraceBuffer& trace_;
    TDeviceSummary& summary_;
    TLog& log_;
    PDOAnalysisLinks links_;

    // Set on the GUI thread, polled by the worker and the SDO waits.
    TestRun run_;
    std::atomic<uint32_t> operations_{0};
    std::atomic<bool> marksShown_{false};
    int32_t lastProgress_ = 0;

    // The reading: the current upload and the PDO being read.
    uint32_t readIndex_ = 0;
    uint8_t readSub_ = 0;
    std::unique_ptr<uint8_t[]> readBuffer_;
    uint32_t readSize_ = 0;
    PDOEntry current_;

    mutable TimedMutex tableMutex_;
    std::vector<PDOEntry> table_;
    // Held while posting, so that a detached window is never posted to.
    std::mutex listenerMutex_;
    MessageSink* listener_ = nullptr;
};

}  // namespace ostrel::vessolt
