#include "od_scan.h"

#include <algorithm>
#include <cstring>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "services/message_sink.h"
#include "test_common.h"
#include "testing/test_manager.h"
#include "services/trace_buffer.h"

namespace ostrel::vessolt {

namespace {

constexpr auto kListWait = std::chrono::milliseconds(500);
constexpr uint16_t kFirstIndex = 0x1000;
constexpr uint32_t kBlockSize = 0x400;
constexpr int kBlocks = 4;

TraceFilter sdoFilter(uint32_t id) {
    TraceFilter filter;
    TTraceBuffer::ClearFilter(filter);
    filter.idMask = 0x7FF;
    filter.idValue = id;
    filter.dlcMask = 0xFF;
    filter.dlcValue = 8;
    return filter;
}

}  // namespace

TODScan::TODScan(TTestManager& manager, TCommonTest& common, TTraceBuffer& trace, TDeviceSummary& summary, TLog& log,
                 ODScanLinks links)
    : manager_(manager),
      common_(common),
      trace_(trace),
      summary_(summary),
      log_(log),
      links_(std::move(links)),
      run_(kTestId, manager, common, trace, [this] { return links_.bitRateKbit ? links_.bitRateKbit() : 0u; }),
      sdoBuffer_(std::make_unique<uint8_t[]>(kSdoBufferSize)) {}

TODScan::~TODScan() = default;

void TODScan::SetResultListener(MessageSink* sink) {
    std::lock_guard lock(listenerMutex_);
    listener_ = sink;
}

void TODScan::CancelTest() { run_.Cancel(); }

void TODScan::notify() {
    std::lock_guard lock(listenerMutex_);
    if (listener_)
        listener_->post(WM_ODSCAN_RESULTSCHANGED, 0, 0);
}

void TODScan::setStatus(int32_t status) { manager_.SetTestStatus(kTestId, status); }
void TODScan::setProgress(int32_t percent) { manager_.SetTestProgress(kTestId, percent); }

void TODScan::warn(const std::string& line) {
    log_.Add(line);
    run_.Warning() = 1;
}

void TODScan::RunTest() {
    run_.Begin();
    if (!sdoBuffer_) {
        log_.Add("Error: SDO buffer allocation failed");
        setProgress(100);
        setStatus(FAILED);
        return;
    }
    setStatus(RUNNING);
    ClearResults();
    run_.Execute(links_.configureNode, [this] { PrepareErrorControl(); }, [this] { return ScanObjectDictionary(); });
}

void TODScan::PrepareErrorControl() {
    const int mode = common_.SetupErrorControl(run_.Node(), cancelFlag());
    // 0 means either no error control at all or a write that failed; only the latter skips the
    // measurement.
    if (mode == 0) {
        DeviceSummaryRecord record{};
        if (summary_.GetSummary(record) && (record.heartbeatproducer || record.nodeguarding))
            return;
    }
    MeasureAccessTimes();
}

bool TODScan::SDOUpload(uint16_t index, uint8_t sub) {
    sdoSize_ = kSdoBufferSize;
    SDORequest request{run_.Node(), index, sub, &sdoSize_, sdoBuffer_.get()};
    const bool ok = run_.Upload(request);
    if (!ok)
        sdoSize_ = 0;
    return ok;
}

bool TODScan::SDODownload(uint16_t index, uint8_t sub, uint32_t size) {
    sdoSize_ = std::min(size, kSdoBufferSize);
    SDORequest request{run_.Node(), index, sub, &sdoSize_, sdoBuffer_.get()};
    return run_.Download(request);
}

int TODScan::nodeStoppedAnswering() {
    log_.Add(run_.NodeLostLine());
    trace_.Stop();
    MeasureAccessTimes();
    notify();
    return run_.Abandon(0);
}

uint32_t TODScan::bufferNumber(uint32_t bytes) const {
    const uint32_t n = std::min({bytes, sdoSize_, 4u});
    uint32_t value = 0;
    for (uint32_t i = n; i-- > 0;)
        value = (value << 8) | sdoBuffer_[i];
    return value;
}

void TODScan::putNumber(uint32_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes && i < 4; ++i)
        sdoBuffer_[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool TODScan::writeNumber(uint16_t index, uint8_t sub, uint32_t value, uint32_t bytes) {
    putNumber(value, bytes);
    return SDODownload(index, sub, bytes);
}

bool TODScan::isArrayOrRecord(uint32_t index) const {
    std::optional<ODObjectKind> kind = standardObjectKind(index);
    if (!kind && links_.objectKind)
        kind = links_.objectKind(index, run_.Node());
    return kind == ODObjectKind::ArrayOrRecord;
}

bool TODScan::readNumber(uint16_t index, uint8_t sub, uint32_t& value) {
    if (!SDOUpload(index, sub))
        return false;
    value = bufferNumber(4);
    return true;
}

int TODScan::ScanObjectDictionary() {
    run_.Warning() = 0;
    guardTimeSeen_ = false;
    configEntrySeen_ = false;
    serverCount_ = clientCount_ = rpdoCount_ = tpdoCount_ = 0;
    bool anyAnswer = false;
    trace_.Stop();
    const uint8_t node = run_.Node();

    if (links_.writeODScanLists && !links_.writeODScanLists(node)) {
        log_.Add("Error: Failed to write transmission table to Norbix Support Module");
        common_.ResetAllNodes();
        common_.WaitBootupTime();
        return 0;
    }
    common_.PreOperationalAllNodes();
    if (links_.startTransmission && !links_.startTransmission()) {
        log_.Add("Error: Failed to start Norbix Support Module transmission");
        return run_.Abandon(0);
    }

    for (int block = 0; block < kBlocks; ++block) {
        run_.RestartTrace();
        const uint32_t first = kFirstIndex + block * kBlockSize;
        for (uint32_t index = first; index < first + kBlockSize; ++index) {
            const auto idx = static_cast<uint16_t>(index);
            if (SDOUpload(idx, 0)) {
                if (!anyAnswer) {
                    anyAnswer = true;
                    summary_.SetSDOServerNum(1);
                }
                const bool walk = sdoSize_ == 1;
                // Records leave sub-indexes out (a PDO's sub-index 4): the walk of an array or a
                // record goes past gaps up to the highest sub-index that its sub-index 0 names.
                // Beyond it, and in any other object (a variable's one-byte value is no count), it
                // stops at the first gap, so that a wrong sub-index 0 costs nothing.
                const uint32_t highest = walk && isArrayOrRecord(index) ? sdoBuffer_[0] : 0u;
                EvaluateEntry(index, 0, true);
                if (cancelled())
                    return run_.Abandon(3);
                for (uint32_t sub = 1; walk && sub <= 255; ++sub) {
                    const auto s = static_cast<uint8_t>(sub);
                    if (!SDOUpload(idx, s)) {
                        if (cancelled())
                            return run_.Abandon(3);
                        if (run_.NodeLost())
                            return nodeStoppedAnswering();
                        EvaluateEntry(index, s, false);
                        if (sub <= highest)
                            continue;
                        break;
                    }
                    EvaluateEntry(index, s, true);
                    if (cancelled())
                        return run_.Abandon(3);
                }
            } else if (!cancelled() && !run_.NodeLost()) {
                EvaluateEntry(index, 0, false);
            }
            if (cancelled())
                return run_.Abandon(3);
            // Also after the writability tests of an entry that answered.
            if (run_.NodeLost())
                return nodeStoppedAnswering();
            setProgress(static_cast<int32_t>((index - kFirstIndex) * 100 / 4096));
        }
        trace_.Stop();
        MeasureAccessTimes();
        CheckEmergencies();
        notify();
        summary_.UpdatePeakMessageRate(trace_.GetPeakMessageRate());
    }

    run_.RestartTrace();
    common_.ResetAllNodes();
    common_.WaitBootupTime();
    trace_.Stop();
    float busLoad = 0.0f, burstLength = 0.0f;
    GetBusStatistics(busLoad, burstLength);
    log_.Add(BusStatisticsLine({busLoad, burstLength}));
    OfferBusStatistics(summary_, {busLoad, burstLength});
    summary_.SetSDOClientNum(clientCount_);
    // One answer proves one server, and [1200] describes that same default server.
    summary_.SetSDOServerNum(anyAnswer ? std::max(1u, serverCount_) : 0u);
    summary_.SetRPDONum(rpdoCount_);
    summary_.SetTPDONum(tpdoCount_);
    return run_.Warning() ? 2 : 1;
}

void TODScan::EvaluateEntry(uint32_t index, uint8_t sub, bool found) {
    // Taken before a writability test reuses the buffer.
    ODScanResult result;
    result.index = index;
    result.subindex = sub;
    if (found) {
        result.size = sdoSize_;
        result.valueLength = std::min(sdoSize_, 16u);
        std::memcpy(result.value, sdoBuffer_.get(), result.valueLength);
    }
    const uint32_t v = found ? bufferNumber(4) : 0;

    if (found) {
        switch (index) {
            case 0x1000:
                if (result.size == 4)
                    summary_.SetDeviceType(v);
                else
                    warn("Warning: Device Type size was not four bytes");
                break;
            case 0x1005: summary_.SetSyncConsumer(1); break;
            case 0x1006: summary_.SetSyncProducer(1); break;
            case 0x100C: guardTimeSeen_ = true; break;
            case 0x100D:
                if (sub == 0)
                    summary_.SetNodeGuarding(guardTimeSeen_ ? 1 : 0);
                break;
            case 0x1010:
                if (sub == 0)
                    summary_.SetStoreParameters(1);
                break;
            case 0x1014: summary_.SetEmcyProducer(1); break;
            case 0x1016:
                if (sub == 0)
                    summary_.SetHeartbeatConsumer(1);
                break;
            case 0x1017: summary_.SetHeartbeatProducer(1); break;
            case 0x1018:
                if (sub == 1)
                    summary_.SetVendor(v);
                break;
            case 0x1028:
                if (sub == 0)
                    summary_.SetEmcyConsumer(1);
                break;
            case 0x1400:
                if (sub == 1)
                    summary_.SetPDOLinking(TestCOBIDWrite(0x1400, v) ? 2 : 1);
                break;
            case 0x1600:
                if (sub == 1)
                    summary_.SetPDOMapping(TestMappingWrite(0x1600, 1, v) ? 2 : 1);
                break;
            case 0x1F00:
                if (sub == 0)
                    summary_.SetSDOManager(1);
                break;
            case 0x1F20:
                if (sub == 0) {
                    summary_.SetConfigManager(1);
                    configEntrySeen_ = true;
                }
                break;
            case 0x1F22:
                if (sub == 0)
                    summary_.SetConfigManager(1);
                break;
            case 0x1F80:
                if (sub == 0) {
                    summary_.SetNMTMaster((v & 1u) ? 1 : (TestNMTMasterBit(v) ? 1 : 0));
                    summary_.SetAutoStart(!(v & 4u) ? 1 : (TestAutoStartBit(v) ? 1 : 0));
                }
                break;
            default: break;
        }
    } else {
        switch (index) {
            case 0x1000: warn("Warning: Failed to read mandatory Device Type entry [1000,00]"); break;
            case 0x1001:
                if (sub == 0)
                    warn("Warning: Failed to read mandatory Error Register entry [1001,00]");
                break;
            case 0x1005: summary_.SetSyncConsumer(0); break;
            case 0x1006: summary_.SetSyncProducer(0); break;
            case 0x100C: guardTimeSeen_ = false; break;
            case 0x100D:
                if (sub == 0)
                    summary_.SetNodeGuarding(0);
                break;
            case 0x1010:
                if (sub == 0)
                    summary_.SetStoreParameters(0);
                break;
            case 0x1014: summary_.SetEmcyProducer(0); break;
            case 0x1016:
                if (sub == 0)
                    summary_.SetHeartbeatConsumer(0);
                break;
            case 0x1017: summary_.SetHeartbeatProducer(0); break;
            case 0x1018:
                if (sub == 0)
                    warn("Warning: Failed to read mandatory Identity entry [1018,00]");
                else if (sub == 1)
                    warn("Warning: Failed to read mandatory Identity entry [1018,01]");
                break;
            case 0x1028:
                if (sub == 0)
                    summary_.SetEmcyConsumer(0);
                break;
            case 0x1280:
                if (sub == 0)
                    summary_.SetSDOClientNum(0);
                break;
            case 0x1400:
                if (sub == 0)
                    summary_.SetRPDONum(0);
                break;
            case 0x1800:
                if (sub == 0)
                    summary_.SetTPDONum(0);
                break;
            case 0x1F00:
                if (sub == 0)
                    summary_.SetSDOManager(0);
                break;
            case 0x1F20:
                if (sub == 0)
                    configEntrySeen_ = false;
                break;
            case 0x1F22:
                if (sub == 0 && !configEntrySeen_)
                    summary_.SetConfigManager(0);
                break;
            case 0x1F80:
                if (sub == 0) {
                    summary_.SetNMTMaster(0);
                    summary_.SetAutoStart(0);
                }
                break;
            default: break;
        }
        return;
    }

    if (sub == 0) {
        if (index >= 0x1200 && index <= 0x127F)
            summary_.SetSDOServerNum(std::max(1u, ++serverCount_));
        else if (index >= 0x1280 && index <= 0x12FF)
            summary_.SetSDOClientNum(++clientCount_);
        else if (index >= 0x1400 && index <= 0x15FF)
            summary_.SetRPDONum(++rpdoCount_);
        else if (index >= 0x1800 && index <= 0x19FF)
            summary_.SetTPDONum(++tpdoCount_);
    }
    AddResult(result);
}

bool TODScan::TestNMTMasterBit(uint32_t value) {
    if (!writeNumber(0x1F80, 0, value | 1u, 4))
        return false;
    uint32_t read = 0;
    if (!readNumber(0x1F80, 0, read) || !(read & 1u))
        return false;
    return writeNumber(0x1F80, 0, value, 4);
}

bool TODScan::TestAutoStartBit(uint32_t value) {
    if (!writeNumber(0x1F80, 0, value & ~4u, 4))
        return false;
    uint32_t read = 0;
    if (!readNumber(0x1F80, 0, read) || (read & 4u))
        return false;
    return writeNumber(0x1F80, 0, value, 4);
}

bool TODScan::TestCOBIDWrite(uint16_t commIndex, uint32_t cobid) {
    const uint32_t invalid = cobid | 0x80000000u;
    if (!(cobid & 0x80000000u) && !writeNumber(commIndex, 1, invalid, 4))
        return false;
    uint32_t changed = 0;
    if (cobid & 0x20000000u) {
        const uint32_t low = invalid & 0x1FFFFFFFu;
        changed = (invalid & 0xE0000000u) | (low == 0x1FFFFFFFu ? low - 1 : low + 1);
    } else {
        const uint32_t low = invalid & 0x7FFu;
        changed = (invalid & ~0x7FFu) | (low == 0x7FFu ? low - 1 : low + 1);
    }
    const bool accepted = writeNumber(commIndex, 1, changed, 4);
    if (!writeNumber(commIndex, 1, cobid, 4))
        return false;
    return accepted;
}

bool TODScan::TestMappingWrite(uint16_t mapIndex, uint8_t sub, uint32_t entry) {
    const auto commIndex = static_cast<uint16_t>(mapIndex - 0x200);
    uint32_t cobid = 0, count = 0;
    if (!readNumber(commIndex, 1, cobid) || !readNumber(mapIndex, 0, count))
        return false;
    count &= 0xFFu;
    if (!(cobid & 0x80000000u) && !writeNumber(commIndex, 1, cobid | 0x80000000u, 4))
        return false;
    if (count != 0 && !writeNumber(mapIndex, 0, 0, 1))
        return false;
    bool result = writeNumber(mapIndex, sub, entry, 4);
    if (!writeNumber(mapIndex, 0, count, 1))
        result = false;
    if (!writeNumber(commIndex, 1, cobid, 4))
        return false;
    return result;
}

void TODScan::MeasureAccessTimes() {
    const uint8_t node = run_.Node();
    const TraceFilter filters[2] = {sdoFilter(0x600u + node), sdoFilter(0x580u + node)};
    auto request = trace_.FindFirst(&filters[0], 1);
    if (!request)
        return;
    for (auto frame = trace_.FindNext(filters, 2); frame; frame = trace_.FindNext(filters, 2)) {
        if (frame->identifier == 0x600u + node) {
            request = frame;
            continue;
        }
        if (frame->data[1] != request->data[1] || frame->data[2] != request->data[2] ||
            frame->data[3] != request->data[3])
            continue;
        const CANTimeStamp diff = TTraceBuffer::TimestampDiff(frame->time, request->time);
        const float ms = static_cast<float>(diff.timeMs) + static_cast<float>(diff.timeUs) * 0.001f;
        summary_.AddSDOResponseTime(ms);
        SetAccessTime(request->data[1] | (request->data[2] << 8), request->data[3], ms);
    }
}

void TODScan::SetAccessTime(uint32_t index, uint8_t sub, float ms) {
    std::unique_lock lock(listMutex_, kListWait);
    if (!lock)
        return;
    for (auto& result : results_)
        if (result.index == index && result.subindex == sub) {
            result.accessTime = ms;
            return;
        }
}

void TODScan::CheckEmergencies() { common_.CheckEmergencies(run_.Node(), &run_.Warning()); }

void TODScan::GetBusStatistics(float& busLoad, float& burstLength) {
    const BusStatistics statistics = ReadBusStatistics(trace_);
    busLoad = statistics.busLoadPercent;
    burstLength = statistics.burstLengthMs;
}

void TODScan::AddResult(const ODScanResult& result) {
    {
        std::unique_lock lock(listMutex_, kListWait);
        if (!lock)
            return;
        results_.push_back(result);
    }
    notify();
}

void TODScan::ClearResults() {
    {
        std::unique_lock lock(listMutex_, kListWait);
        if (!lock)
            return;
        results_.clear();
    }
    notify();
}

bool TODScan::FindResult(uint32_t index, uint8_t sub) const {
    ODScanResult ignored;
    return GetResult(index, sub, ignored);
}

bool TODScan::GetResult(uint32_t index, uint8_t sub, ODScanResult& out) const {
    std::unique_lock lock(listMutex_, kListWait);
    if (!lock)
        return false;
    for (const auto& result : results_)
        if (result.index == index && result.subindex == sub) {
            out = result;
            return true;
        }
    return false;
}

std::optional<std::vector<ODScanResult>> TODScan::CopyResults() const {
    std::unique_lock lock(listMutex_, kListWait);
    if (!lock)
        return std::nullopt;
    return results_;
}

ODScanRowTexts TODScan::RowText(const ODScanResult& result) const {
    const uint8_t node = run_.Node();
    const int32_t type = links_.entryType ? links_.entryType(result.index, result.subindex, node) : 0;
    ODScanRowTexts texts = ResultTexts(result, StoredAsText(result.index, result.subindex, type));
    texts.name = links_.entryName ? links_.entryName(result.index, result.subindex, node) : std::string("<unknown>");
    if (texts.name.size() > 999)
        texts.name.resize(999);
    texts.type = TypeCodeName(type);
    return texts;
}

std::vector<ODScanRowTexts> TODScan::RowTexts() const {
    std::vector<ODScanRowTexts> rows;
    if (auto results = CopyResults())
        for (const auto& result : *results)
            rows.push_back(RowText(result));
    return rows;
}

void TODScan::WriteReport(std::FILE* file, int layout) const {
    if (file == nullptr)
        return;
    TEST test;
    const int32_t status = manager_.GetTest(kTestId, test) ? test.status : NOTSTARTED;
    std::fputs(ReportHeading(kName, status, true).c_str(), file);
    std::fputs("--- Test Results --->\n", file);
    const char* format = layout == 1 ? "%8s\t%10s\t%16s\t%6s\t%10s\t%11s\t%13s\t%27s\t%s\n"
                                     : "%8s %10s %16s %6s %10s %11s %13s %27s %s\n";
    std::fprintf(file, format, "Index", "Subindex", "Type", "Size", "Acc.Time", "Hex Value", "ASCII Value",
                 "Decimal Value", "Name");
    std::string lastIndex;
    for (const auto& row : RowTexts()) {
        std::string index = row.index;
        if (layout == 1) {
            if (index != "^")
                lastIndex = index;
            index = lastIndex;
        }
        std::fprintf(file, format, index.c_str(), row.subindex.c_str(), row.type.c_str(), row.size.c_str(),
                     row.accessTime.c_str(), row.hex.c_str(), row.ascii.c_str(), row.decimal.c_str(),
                     row.name.c_str());
    }
}

}  // namespace ostrel::vessolt
