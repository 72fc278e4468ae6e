// The trace checks of the common test services: timing figures and warnings from what a test
// recorded. Each stops at its first warning, except the emergency check.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "services/trace_buffer.h"
#include "testing/trace_filters.h"

namespace ostrel::vessolt {

namespace {

namespace tf = trace_filters;

constexpr uint32_t kErrorControlBase = 0x700;
constexpr uint32_t kSdoRequestBase = 0x600;
constexpr uint32_t kSdoResponseBase = 0x580;
constexpr uint32_t kEmcyBase = 0x080;
constexpr uint32_t kFirstReportedErrorCode = 0x1000;
constexpr uint8_t kToggleBit = 0x80;
// The least time a device is given to answer an RPDO before the recording ends: an answer takes a
// millisecond or two, on a busy bus or device some more.
constexpr float kMinAnswerWindowMs = 10.0f;

// Index of the first identifier equal to id, or -1.
int indexOf(const uint32_t* ids, int count, uint32_t id) {
    for (int i = 0; i < count; ++i)
        if (ids[i] == id)
            return i;
    return -1;
}

std::vector<TraceFilter> filtersFor(const uint32_t* ids, int count) {
    std::vector<TraceFilter> filters;
    for (int i = 0; i < count; ++i)
        filters.push_back(tf::data(ids[i]));
    return filters;
}

}  // namespace

void TCommonTest::warn(uint8_t* flag, const std::string& text) {
    log_.Add(text);
    if (flag != nullptr)
        *flag = 1;
}

void TCommonTest::CheckErrorControl(uint8_t node, int mode, uint8_t* warnFlag, ErrorControlStats* stats) {
    const uint32_t id = kErrorControlBase + node;
    if (mode == 2) {
        // Requests are told from responses by the remote flag alone: both may have length 1.
        const TraceFilter filters[2] = {tf::remote(id), tf::data(id, 1)};
        auto request = trace_.FindFirst(&filters[0], 1);
        if (!request) {
            warn(warnFlag, "Warning: no node guarding requests found");
            return;
        }
        TraceMessage lastRequest = *request;
        bool answered = false;
        bool toggleKnown = false;
        uint8_t expectedToggle = 0;
        while (auto frame = trace_.FindNext(filters, 2)) {
            if ((frame->flags & kTraceFlagRemote) != 0) {
                if (!answered) {
                    warn(warnFlag, "Warning: no response to node guarding request");
                    return;
                }
                lastRequest = *frame;
                answered = false;
                continue;
            }
            const uint8_t toggle = frame->data[0] & kToggleBit;
            if (!toggleKnown) {
                toggleKnown = true;
                expectedToggle = toggle ^ kToggleBit;
            } else if (toggle != expectedToggle) {
                warn(warnFlag, "Warning: node guarding response toggle error");
                return;
            } else {
                expectedToggle ^= kToggleBit;
            }
            const float ms = tf::msBetween(*frame, lastRequest);
            summary_.AddNodeGuardingTime(ms);
            if (stats != nullptr)
                timing::update(*stats, ms);
            answered = true;
        }
        return;
    }
    if (mode == 1) {
        const TraceFilter heartbeat = tf::data(id, 1);
        auto previous = trace_.FindFirst(&heartbeat, 1);
        if (!previous) {
            warn(warnFlag, "Warning: no heartbeats found");
            return;
        }
        while (auto frame = trace_.FindNext(&heartbeat, 1)) {
            // A boot-up restarts the interval.
            if (frame->data[0] != 0x00) {
                const float ms = tf::msBetween(*frame, *previous);
                summary_.AddHeartbeatTime(ms);
                if (stats != nullptr)
                    timing::update(*stats, ms);
            }
            previous = frame;
        }
    }
}

void TCommonTest::CheckSDOTraffic(uint8_t node, uint8_t* warnFlag, SDOTimeStats* stats) {
    const TraceFilter filters[2] = {tf::data(kSdoRequestBase + node, 8), tf::data(kSdoResponseBase + node, 8)};
    auto reference = trace_.FindFirst(&filters[0], 1);
    if (!reference) {
        if (stats != nullptr)
            warn(warnFlag, "Warning: No SDO requests found during test cycle");
        return;
    }
    bool answered = false;
    while (auto frame = trace_.FindNext(filters, 2)) {
        if (traceFrameMatches(*frame, filters[0])) {
            if (!answered && stats != nullptr) {
                warn(warnFlag, "Warning: Missing SDO response during test cycle");
                return;
            }
            reference = frame;
            answered = false;
            continue;
        }
        const float ms = tf::msBetween(*frame, *reference);
        summary_.AddSDOResponseTime(ms);
        if (stats != nullptr)
            timing::update(*stats, ms);
        answered = true;
    }
}

void TCommonTest::CheckSyncTPDOs(TPDOTimingStats* stats, const uint32_t* tpdos, int count, uint32_t periodMs,
                                 uint32_t syncId, uint8_t* warnFlag) {
    if (count < 0 || count > kMaxTPDOs || (count > 0 && tpdos == nullptr))
        return;
    std::vector<TraceFilter> filters{tf::data(syncId, 0)};
    for (const TraceFilter& f : filtersFor(tpdos, count))
        filters.push_back(f);
    auto reference = trace_.FindFirst(&filters[0], 1);
    if (!reference)
        return;
    int seen = 0;
    while (auto frame = trace_.FindNext(filters.data(), static_cast<int>(filters.size()))) {
        if (traceFrameMatches(*frame, filters[0])) {
            if (seen < count) {
                warn(warnFlag, "Warning: not all the enabled synchronous TPDOs were transmitted after the SYNC");
                return;
            }
            if (seen > count) {
                warn(warnFlag, "Warning: too many synchronous TPDOs were transmitted after the SYNC");
                return;
            }
            reference = frame;
            seen = 0;
            continue;
        }
        const float ms = tf::msBetween(*frame, *reference);
        if (periodMs == 100)
            summary_.AddSyncTPDO100msTime(ms);
        else if (periodMs == 10)
            summary_.AddSyncTPDO10msTime(ms);
        if (stats != nullptr)
            timing::update(*stats, ms);
        ++seen;
    }
}

void TCommonTest::MeasureMessagePeriod(PeriodStats* stats, uint32_t identifier, uint32_t periodMs) {
    const TraceFilter filter = tf::data(identifier, 0);
    auto previous = trace_.FindFirst(&filter, 1);
    if (!previous)
        return;
    while (auto frame = trace_.FindNext(&filter, 1)) {
        if (stats != nullptr)
            timing::update(*stats, tf::msBetween(*frame, *previous), periodMs);
        previous = frame;
    }
}

void TCommonTest::CheckEventTPDOs(TPDOTimingStats* stats, const uint32_t* tpdos, int count, uint32_t periodMs) {
    if (count <= 0 || count > kMaxTPDOs || tpdos == nullptr)
        return;
    const std::vector<TraceFilter> filters = filtersFor(tpdos, count);
    std::vector<std::optional<TraceMessage>> previous(static_cast<size_t>(count));
    for (auto frame = trace_.FindFirst(filters.data(), count); frame; frame = trace_.FindNext(filters.data(), count)) {
        const int i = indexOf(tpdos, count, frame->identifier);
        if (i < 0)
            continue;
        auto& last = previous[static_cast<size_t>(i)];
        if (last) {
            const float ms = tf::msBetween(*frame, *last);
            if (periodMs == 100)
                summary_.AddEventTPDO100msTime(ms);
            else if (periodMs == 10)
                summary_.AddEventTPDO10msTime(ms);
            if (stats != nullptr)
                timing::update(*stats, ms, periodMs);
        }
        last = frame;
    }
}

void TCommonTest::CheckTurnaround(TPDOTimingStats* stats, int* counters, const uint32_t* tpdos, int tpdoCount,
                                  const uint32_t* rpdoIds, int rpdoCount) {
    if (tpdoCount < 0 || rpdoCount <= 0 || tpdoCount + rpdoCount > kMaxTurnaroundIds || rpdoIds == nullptr ||
        counters == nullptr || (tpdoCount > 0 && tpdos == nullptr))
        return;
    std::vector<TraceFilter> filters = filtersFor(rpdoIds, rpdoCount);
    for (const TraceFilter& f : filtersFor(tpdos, tpdoCount))
        filters.push_back(f);
    auto reference = trace_.FindFirst(filters.data(), rpdoCount);
    if (!reference)
        return;
    // The count of each RPDO's reception before its latest, -1 before the second reception.
    std::vector<int> earlier(static_cast<size_t>(rpdoCount), -1);
    int current = indexOf(rpdoIds, rpdoCount, reference->identifier);
    counters[current] = 0;
    std::vector<bool> received(static_cast<size_t>(rpdoCount), false);
    received[static_cast<size_t>(current)] = true;
    const int all = static_cast<int>(filters.size());
    // Per answered reception, the delay of the first TPDO after it: how long the device took to
    // start answering.
    std::vector<float> firstAnswerMs;
    while (auto frame = trace_.FindNext(filters.data(), all)) {
        const int rpdo = indexOf(rpdoIds, rpdoCount, frame->identifier);
        if (rpdo >= 0) {
            current = rpdo;
            if (received[static_cast<size_t>(current)])
                earlier[static_cast<size_t>(current)] = counters[current];
            received[static_cast<size_t>(current)] = true;
            counters[current] = 0;
            reference = frame;
            continue;
        }
        const float ms = tf::msBetween(*frame, *reference);
        if (counters[current] == 0)
            firstAnswerMs.push_back(ms);
        if (stats != nullptr)
            timing::update(*stats, ms);
        ++counters[current];
    }
    // The last reception may have been cut off from its answers by the end of the recording (the
    // reset that closes a measurement): one too close to the end to be answered counts as the
    // reception before it; one that the device had time to answer and left unanswered counts 0.
    // The device is given twice its usual time to a first answer (the lower median over the
    // receptions), so that a TPDO it sends on its own long after a reception, or after one it left
    // unanswered, does not stretch that time.
    const int before = earlier[static_cast<size_t>(current)];
    if (counters[current] == 0 && before > 0 && !firstAnswerMs.empty()) {
        const auto usual = firstAnswerMs.begin() + static_cast<std::ptrdiff_t>((firstAnswerMs.size() - 1) / 2);
        std::nth_element(firstAnswerMs.begin(), usual, firstAnswerMs.end());
        if (const auto end = trace_.GetSearchEndTime()) {
            const CANTimeStamp left = TTraceBuffer::TimestampDiff(*end, reference->time);
            if (static_cast<float>(left.timeMs) + static_cast<float>(left.timeUs) * 0.001f <=
                std::max(kMinAnswerWindowMs, 2.0f * *usual))
                counters[current] = before;
        }
    }
}

void TCommonTest::CheckEmergencies(uint8_t node, uint8_t* warnFlag) {
    const TraceFilter filter = tf::data(kEmcyBase + node, 8);
    for (auto frame = trace_.FindFirst(&filter, 1); frame; frame = trace_.FindNext(&filter, 1)) {
        const uint32_t code = frame->data[0] + 256u * frame->data[1];
        if (code < kFirstReportedErrorCode)
            continue;
        const std::string name = links_.errorCodeName ? links_.errorCodeName(code) : std::string();
        char line[200];
        if (!name.empty())
            std::snprintf(line, sizeof line, "Warning: Emergency transmitted by node - %s [0x%4.4X]", name.c_str(),
                          static_cast<unsigned>(code));
        else
            std::snprintf(line, sizeof line, "Warning: Emergency transmitted by node - 0x%4.4X",
                          static_cast<unsigned>(code));
        warn(warnFlag, line);
    }
}

}  // namespace ostrel::vessolt
