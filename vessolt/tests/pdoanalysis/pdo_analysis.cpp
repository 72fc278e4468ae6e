#include "pdo_analysis.h"

#include <algorithm>
#include <cstring>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "services/message_sink.h"
#include "test_common.h"
#include "testing/test_manager.h"
#include "testing/timing_stats.h"
#include "services/trace_buffer.h"

namespace ostrel::vessolt {

namespace {

constexpr auto kTableWait = std::chrono::milliseconds(500);
constexpr uint32_t kCobIdInvalid = 0x80000000u;
constexpr uint32_t kParameterCapacity = 20;
constexpr uint32_t kFirstRPDO = 0x1400, kLastRPDO = 0x1403;
constexpr uint32_t kFirstTPDO = 0x1800, kLastTPDO = 0x1803;
constexpr uint32_t kMappingOffset = 0x200;
constexpr uint32_t kTimesTried[] = {0, 100, 32000, 33000, 60000};

bool isCommunicationIndex(uint32_t index) {
    return (index >= 0x1400 && index <= 0x15FF) || (index >= 0x1800 && index <= 0x19FF);
}

uint32_t littleEndian(const uint8_t* data, uint32_t size, uint32_t bytes) {
    const uint32_t n = std::min({size, bytes, 4u});
    uint32_t value = 0;
    for (uint32_t i = n; i-- > 0;)
        value = (value << 8) | data[i];
    return value;
}

// Whether a COB-ID read back is the one written to a device with this node id.
bool sameCOBID(uint32_t written, uint32_t read, uint8_t node) {
    if (read == written)
        return true;
    // A device may keep a base of the pre-defined connection set (0x180 to 0x500) as that base
    // plus its node id.
    const uint32_t id = written & 0x7FFu;
    const bool base = (written & 0x20000000u) == 0 && id >= 0x180 && id <= 0x500 && (id & 0x7Fu) == 0;
    return base && read == written + node;
}

}  // namespace

TPDOAnalysis::TPDOAnalysis(TTestManager& manager, TCommonTest& common, TTraceBuffer& trace, TDeviceSummary& summary,
                           TLog& log, PDOAnalysisLinks links)
    : manager_(manager),
      common_(common),
      trace_(trace),
      summary_(summary),
      log_(log),
      links_(std::move(links)),
      run_(kTestId, manager, common, trace, [this] { return links_.bitRateKbit ? links_.bitRateKbit() : 0u; }),
      readBuffer_(std::make_unique<uint8_t[]>(kReadBufferSize)) {}

TPDOAnalysis::~TPDOAnalysis() = default;

void TPDOAnalysis::SetTableListener(MessageSink* sink) {
    std::lock_guard lock(listenerMutex_);
    listener_ = sink;
}

void TPDOAnalysis::CancelTest() { run_.Cancel(); }

void TPDOAnalysis::post(uint32_t message) {
    std::lock_guard lock(listenerMutex_);
    if (listener_)
        listener_->post(message, 0, 0);
}

void TPDOAnalysis::setStatus(int32_t status) { manager_.SetTestStatus(kTestId, status); }

void TPDOAnalysis::updateProgress() {
    // The analysis may need more operations than it plans for; the bar stops at 100 and never
    // goes back.
    const auto percent = static_cast<int32_t>(std::min<uint64_t>(100, uint64_t{operations_.load()} * 100 / kPlannedOperations));
    if (percent > lastProgress_) {
        lastProgress_ = percent;
        manager_.SetTestProgress(kTestId, percent);
    }
}

void TPDOAnalysis::checkSDOTraffic(bool withStatistics) {
    // Only a statistics record turns the missing-response check on.
    SDOTimeStats statistics;
    common_.CheckSDOTraffic(run_.Node(), &run_.Warning(), withStatistics ? &statistics : nullptr);
}

void TPDOAnalysis::RunTest() {
    run_.Begin();
    lastProgress_ = 0;
    setStatus(RUNNING);
    run_.Execute(
        links_.configureNode, [this] { (void)common_.SetupErrorControl(run_.Node(), cancelFlag()); },
        [this] {
            checkSDOTraffic(true);
            return RunAnalysis();
        });
}

int TPDOAnalysis::RunAnalysis() {
    const uint8_t node = run_.Node();
    trace_.Stop();
    if (links_.writePDOAnalysisLists && !links_.writePDOAnalysisLists(node)) {
        log_.Add("Error: Failed to write transmission table to Norbix Support Module");
        return run_.Abandon(0);
    }
    common_.PreOperationalAllNodes();
    if (links_.startTransmission && !links_.startTransmission()) {
        log_.Add("Error: Failed to start Norbix Support Module transmission");
        return run_.Abandon(0);
    }

    ResetResults();
    ClearPDOTable();
    run_.RestartTrace();
    ReadPDOConfiguration();
    trace_.Stop();
    if (run_.NodeLost())
        return nodeStoppedAnswering();
    checkSDOTraffic(true);
    if (cancelled())
        return run_.Abandon(3);

    run_.RestartTrace();
    TestAccess();
    trace_.Stop();
    if (run_.NodeLost())
        return nodeStoppedAnswering();
    if (cancelled())
        return run_.Abandon(3);
    // Without a PDO there was no traffic to check, and no request is no fault here.
    const auto table = CopyTable();
    if (table && !table->empty())
        checkSDOTraffic(true);

    // Showing the marks sends nothing; this trace has no SDO traffic.
    run_.RestartTrace();
    ShowAccessResults();
    trace_.Stop();
    checkSDOTraffic(false);

    run_.RestartTrace();
    common_.ResetAllNodes();
    common_.WaitBootupTime();
    trace_.Stop();
    float busLoad = 0.0f, burstLength = 0.0f;
    GetBusStatistics(busLoad, burstLength);
    log_.Add(BusStatisticsLine({busLoad, burstLength}));
    OfferBusStatistics(summary_, {busLoad, burstLength});
    return 1;
}

int TPDOAnalysis::nodeStoppedAnswering() {
    log_.Add(run_.NodeLostLine());
    return run_.Abandon(0);
}

void TPDOAnalysis::ResetResults() {
    operations_.store(0);
    marksShown_.store(false);
    post(WM_PDOANALYSIS_RESET);
}

void TPDOAnalysis::ClearPDOTable() {
    {
        std::unique_lock lock(tableMutex_, kTableWait);
        if (lock)
            table_.clear();
    }
    current_ = PDOEntry{};
    post(WM_PDOANALYSIS_RESET);
}

void TPDOAnalysis::ReadPDOConfiguration() {
    readIndex_ = kFirstRPDO;
    readSub_ = 1;
    current_ = PDOEntry{};
    bool more = true;
    while (more) {
        // Every upload offers the whole buffer: the library refuses an answer longer than the
        // capacity, so a capacity shrunk by a short answer would lose every later 16-bit value.
        readSize_ = kReadBufferSize;
        std::memset(readBuffer_.get(), 0, 4);
        SDORequest request{run_.Node(), readIndex_, readSub_, &readSize_, readBuffer_.get()};
        const bool ok = run_.Upload(request);
        if (run_.NodeLost())
            return;
        ++operations_;
        more = advanceReading(ok);
        if (cancelled())
            return;
        if (more)
            updateProgress();
    }
}

void TPDOAnalysis::nextPDO(uint32_t commIndex, bool& more) {
    more = true;
    if (commIndex == kLastTPDO) {
        more = false;
        return;
    }
    readIndex_ = commIndex == kLastRPDO ? kFirstTPDO : commIndex + 1;
    readSub_ = 1;
}

bool TPDOAnalysis::advanceReading(bool ok) {
    bool more = true;
    const uint8_t* data = readBuffer_.get();
    if (isCommunicationIndex(readIndex_)) {
        const uint32_t c = readIndex_;
        switch (readSub_) {
            case 1:
                // A new PDO starts in the slot: nothing of one read before stays.
                current_ = PDOEntry{};
                current_.index = c;
                if (!ok) {
                    nextPDO(c, more);
                    break;
                }
                current_.cobid = littleEndian(data, readSize_, 4);
                current_.cobidaccess = kAccessReadOnly;
                readSub_ = 2;
                break;
            case 2:
                if (!ok) {
                    nextPDO(c, more);
                    break;
                }
                current_.transtype = static_cast<uint8_t>(littleEndian(data, readSize_, 1));
                current_.transtypeaccess = kAccessReadOnly;
                readSub_ = 3;
                break;
            case 3:
                if (ok) {
                    current_.inhibittime = littleEndian(data, readSize_, 2);
                    current_.inhibittimeaccess = kAccessReadOnly;
                }
                readSub_ = 5;  // sub-index 4 is reserved
                break;
            default:
                if (ok) {
                    current_.eventtime = littleEndian(data, readSize_, 2);
                    current_.eventtimeaccess = kAccessReadOnly;
                }
                readIndex_ = c + kMappingOffset;
                readSub_ = 0;
                break;
        }
        return more;
    }
    const uint32_t c = readIndex_ - kMappingOffset;
    if (readSub_ == 0) {
        if (!ok) {
            addRow();
            nextPDO(c, more);
            return more;
        }
        current_.mapping[0] = std::min(littleEndian(data, readSize_, 1), 8u);
        current_.mappingnumaccess = kAccessReadOnly;
        readSub_ = 1;
        return more;
    }
    // All eight are read, whatever the count says.
    if (ok) {
        current_.mapping[readSub_] = littleEndian(data, readSize_, 4);
        current_.entriesRead = readSub_;
    }
    if (readSub_ == 8) {
        addRow();
        nextPDO(c, more);
    } else {
        ++readSub_;
    }
    return more;
}

void TPDOAnalysis::addRow() {
    if (current_.isTPDO())
        AddTPDORow();
    else
        AddRPDORow();
}

void TPDOAnalysis::AddRPDORow() { (void)AddPDO(current_); }
void TPDOAnalysis::AddTPDORow() { (void)AddPDO(current_); }

bool TPDOAnalysis::AddPDO(const PDOEntry& entry) {
    {
        std::unique_lock lock(tableMutex_, kTableWait);
        if (!lock || table_.size() >= static_cast<size_t>(kTableSize))
            return false;
        table_.push_back(entry);
    }
    post(WM_PDOANALYSIS_ROWADDED);
    return true;
}

std::optional<PDOEntry> TPDOAnalysis::entryAt(int entry) const {
    std::unique_lock lock(tableMutex_, kTableWait);
    if (!lock || entry < 0 || static_cast<size_t>(entry) >= table_.size())
        return std::nullopt;
    return table_[static_cast<size_t>(entry)];
}

void TPDOAnalysis::updateEntry(int entry, const std::function<void(PDOEntry&)>& change) {
    std::unique_lock lock(tableMutex_, kTableWait);
    if (lock && entry >= 0 && static_cast<size_t>(entry) < table_.size())
        change(table_[static_cast<size_t>(entry)]);
}

TPDOAnalysis::ParameterPlace TPDOAnalysis::placeOf(uint32_t commIndex, Parameter parameter) {
    switch (parameter) {
        case Parameter::COBID: return {commIndex, 1, 4};
        case Parameter::TransmissionType: return {commIndex, 2, 1};
        case Parameter::InhibitTime: return {commIndex, 3, 2};
        case Parameter::EventTime: return {commIndex, 5, 2};
        case Parameter::MappingNum: break;
    }
    return {commIndex + kMappingOffset, 0, 1};
}

bool TPDOAnalysis::readParameter(uint32_t commIndex, Parameter parameter, uint32_t& value) {
    const ParameterPlace place = placeOf(commIndex, parameter);
    uint8_t buffer[kParameterCapacity] = {};
    uint32_t size = kParameterCapacity;
    SDORequest request{run_.Node(), place.index, place.sub, &size, buffer};
    if (!run_.Upload(request))
        return false;
    ++operations_;
    value = littleEndian(buffer, size, place.bytes);
    return true;
}

bool TPDOAnalysis::writeParameter(uint32_t commIndex, Parameter parameter, uint32_t value) {
    const ParameterPlace place = placeOf(commIndex, parameter);
    uint8_t buffer[4];
    for (uint32_t i = 0; i < 4; ++i)
        buffer[i] = static_cast<uint8_t>(value >> (8 * i));
    uint32_t size = place.bytes;
    SDORequest request{run_.Node(), place.index, place.sub, &size, buffer};
    if (!run_.Download(request))
        return false;
    ++operations_;
    return true;
}

void TPDOAnalysis::TestAccess() {
    const auto table = CopyTable();
    const int count = table ? static_cast<int>(table->size()) : 0;
    for (int n = 0; n < count && !cancelled() && !run_.NodeLost(); ++n) {
        TestCOBID(n);
        if (cancelled())
            break;
        TestTransmissionTypes(n);
        if (cancelled())
            break;
        TestInhibitTime(n);
        if (cancelled())
            break;
        TestEventTime(n);
        if (cancelled())
            break;
        TestMapping(n);
        updateProgress();
    }
}

bool TPDOAnalysis::invalidate(uint32_t commIndex, uint32_t& working) {
    if (working & kCobIdInvalid)
        return true;
    if (!writeParameter(commIndex, Parameter::COBID, working | kCobIdInvalid))
        return false;
    working |= kCobIdInvalid;
    return true;
}

bool TPDOAnalysis::validate(uint32_t commIndex, uint32_t& working) {
    if (!writeParameter(commIndex, Parameter::COBID, working & ~kCobIdInvalid))
        return false;
    working &= ~kCobIdInvalid;
    return true;
}

bool TPDOAnalysis::restore(uint32_t commIndex, uint32_t c0, uint32_t working, std::optional<Parameter> parameter,
                           uint32_t value) {
    if (run_.NodeLost())
        return false;
    // A parameter of an existing PDO, and its identifier, change only while it is invalid.
    bool ok = true;
    if (parameter || ((working ^ c0) & ~kCobIdInvalid) != 0)
        ok = invalidate(commIndex, working);
    if (parameter && ok)
        ok = writeParameter(commIndex, *parameter, value);
    if (working != c0)
        ok = writeParameter(commIndex, Parameter::COBID, c0) && ok;
    return ok;
}

void TPDOAnalysis::TestCOBID(int entry) {
    const auto e = entryAt(entry);
    if (!e || e->cobidaccess == kAccessUnknown)
        return;
    updateEntry(entry, [](PDOEntry& p) { p.cobidaccess = kAccessReadOnly; });
    const uint32_t c0 = e->cobid, index = e->index;
    uint32_t working = c0;
    bool writable = false;
    if (invalidate(index, working)) {
        const uint32_t changed = (working & 0xC0000000u) | 0x200u;
        if (writeParameter(index, Parameter::COBID, changed)) {
            working = changed;
            // A PDO that cannot be valid as it stands (nothing mapped, say) is judged by the
            // identifier it took while invalid.
            (void)validate(index, working);
            uint32_t read = 0;
            writable = readParameter(index, Parameter::COBID, read) && sameCOBID(working, read, run_.Node());
        }
    }
    if (restore(index, c0, working, std::nullopt, 0) && writable)
        updateEntry(entry, [](PDOEntry& p) { p.cobidaccess = kAccessReadWrite; });
}

void TPDOAnalysis::TestTransmissionTypes(int entry) {
    const auto e = entryAt(entry);
    if (!e || e->transtypeaccess == kAccessUnknown)
        return;
    updateEntry(entry, [](PDOEntry& p) {
        std::fill(std::begin(p.supported), std::end(p.supported), -1);
        p.transtypeaccess = kAccessReadOnly;
    });
    const uint32_t c0 = e->cobid, index = e->index;
    uint32_t working = c0;
    const auto& types = TriedTransmissionTypes(e->isTPDO());
    bool any = false, written = false, complete = true;
    for (size_t i = 0; i < types.size() && complete; ++i) {
        const uint8_t t = types[i];
        uint32_t read = 0;
        complete = invalidate(index, working);
        // A refused type shows in the read-back, and so does one the device will not run with.
        if (complete && writeParameter(index, Parameter::TransmissionType, t))
            written = true;
        if (complete)
            (void)validate(index, working);
        complete = complete && readParameter(index, Parameter::TransmissionType, read);
        if (complete && read == t) {
            any = true;
            updateEntry(entry, [i, t](PDOEntry& p) { p.supported[i] = t; });
        }
    }
    const auto changed = written ? std::optional(Parameter::TransmissionType) : std::nullopt;
    if (restore(index, c0, working, changed, e->transtype) && complete && any)
        updateEntry(entry, [](PDOEntry& p) { p.transtypeaccess = kAccessReadWrite; });
}

void TPDOAnalysis::testTimeParameter(int entry, Parameter parameter) {
    const bool inhibit = parameter == Parameter::InhibitTime;
    const auto e = entryAt(entry);
    if (!e || (inhibit ? e->inhibittimeaccess : e->eventtimeaccess) == kAccessUnknown)
        return;
    const auto setAccess = [this, entry, inhibit](uint32_t access) {
        updateEntry(entry, [inhibit, access](PDOEntry& p) {
            (inhibit ? p.inhibittimeaccess : p.eventtimeaccess) = access;
        });
    };
    setAccess(kAccessReadOnly);
    const uint32_t c0 = e->cobid, index = e->index;
    uint32_t working = c0;
    bool any = false, written = false, complete = true;
    for (uint32_t value : kTimesTried) {
        uint32_t read = 0;
        complete = invalidate(index, working);
        if (complete && writeParameter(index, parameter, value))
            written = true;
        if (complete)
            (void)validate(index, working);
        complete = complete && readParameter(index, parameter, read);
        if (!complete)
            break;
        // The value the parameter already had counts as accepted too.
        any = any || read == value;
    }
    const auto changed = written ? std::optional(parameter) : std::nullopt;
    if (restore(index, c0, working, changed, inhibit ? e->inhibittime : e->eventtime) && complete && any)
        setAccess(kAccessReadWrite);
}

void TPDOAnalysis::TestInhibitTime(int entry) { testTimeParameter(entry, Parameter::InhibitTime); }
void TPDOAnalysis::TestEventTime(int entry) { testTimeParameter(entry, Parameter::EventTime); }

void TPDOAnalysis::TestMapping(int entry) {
    const auto e = entryAt(entry);
    if (!e || e->mappingnumaccess == kAccessUnknown)
        return;
    const uint32_t n = e->mappingCount();
    if (n == 0) {
        updateEntry(entry, [](PDOEntry& p) { p.mappingnumaccess = kAccessUntested; });
        return;
    }
    updateEntry(entry, [](PDOEntry& p) { p.mappingnumaccess = kAccessReadOnly; });
    const uint32_t c0 = e->cobid, index = e->index;
    uint32_t working = c0;
    bool written = false, writable = false;
    if (invalidate(index, working) && writeParameter(index, Parameter::MappingNum, n - 1)) {
        written = true;
        uint32_t read = 0;
        writable = readParameter(index, Parameter::MappingNum, read) && read == n - 1;
        // A device may refuse a PDO with one object less (or none): that says nothing about
        // whether the count can be written.
        (void)validate(index, working);
    }
    const auto changed = written ? std::optional(Parameter::MappingNum) : std::nullopt;
    if (restore(index, c0, working, changed, n) && writable)
        updateEntry(entry, [](PDOEntry& p) { p.mappingnumaccess = kAccessReadWrite; });
}

void TPDOAnalysis::ShowAccessResults() {
    marksShown_.store(true);
    post(WM_PDOANALYSIS_MARKS);
}

void TPDOAnalysis::GetBusStatistics(float& busLoad, float& burstLength) {
    const BusStatistics statistics = ReadBusStatistics(trace_);
    busLoad = statistics.busLoadPercent;
    burstLength = statistics.burstLengthMs;
}

bool TPDOAnalysis::FindPDO(uint32_t commIndex) const {
    PDOEntry ignored;
    return GetPDO(commIndex, ignored);
}

bool TPDOAnalysis::GetPDO(uint32_t commIndex, PDOEntry& out) const {
    std::unique_lock lock(tableMutex_, kTableWait);
    if (!lock)
        return false;
    for (const auto& entry : table_)
        if (entry.index == commIndex) {
            out = entry;
            return true;
        }
    return false;
}

std::optional<std::vector<PDOEntry>> TPDOAnalysis::CopyTable() const {
    std::unique_lock lock(tableMutex_, kTableWait);
    if (!lock)
        return std::nullopt;
    return table_;
}

std::vector<PDORow> TPDOAnalysis::Rows(bool marked) const {
    PDONames names;
    const uint8_t node = run_.Node();
    if (links_.messageName)
        names.messageName = links_.messageName;
    if (links_.entryName)
        names.entryName = [this, node](uint32_t index, uint8_t sub) { return links_.entryName(index, sub, node); };
    std::vector<PDORow> rows;
    if (auto table = CopyTable())
        for (const auto& entry : *table)
            rows.push_back(MakePDORow(entry, names, marked));
    return rows;
}

void TPDOAnalysis::WriteReport(std::FILE* file, int layout) const {
    if (file == nullptr)
        return;
    TEST test;
    const int32_t status = manager_.GetTest(kTestId, test) ? test.status : NOTSTARTED;
    std::fputs(ReportHeading(kName, status, true).c_str(), file);
    std::fputs("--- Test Results --->\n", file);
    for (const auto& row : Rows(MarksShown()))
        WritePDOReportBlock(file, layout, row);
}

}  // namespace ostrel::vessolt
