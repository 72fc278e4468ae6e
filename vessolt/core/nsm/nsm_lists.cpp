// The support module's transmission lists: the test's stimulus (list 1), the background load aimed at
// the device under test (list 2) and the traffic tables of simulated nodes (lists 3 to 6).
#include <array>
#include <cstdio>
#include <cstring>

#include "nsm/nsm.h"

namespace ostrel::vessolt {

namespace {
constexpr int kStimulusCapacity = 50;
constexpr int kBackgroundCapacity = 50;
constexpr uint16_t kSdoLoadIndex = 0x1800;
constexpr uint8_t kSdoLoadSubIndex = 1;
constexpr uint32_t kSdoLoadSpanMs = 400;
constexpr uint32_t kSdoLoadIntervalMs = 400;
constexpr uint32_t kGuardingSpanMs = 400;
constexpr uint32_t kGuardingIntervalMs = 100;

// An entry at timeMs; false when the list format cannot hold the time.
bool makeEntry(NSMListEntry& entry, uint64_t timeMs, uint32_t identifier, uint8_t dlc, const uint8_t* data) {
    entry = NSMListEntry{};
    entry.identifier = identifier;
    if (data != nullptr)
        std::memcpy(entry.data, data, sizeof entry.data);
    TNSM::SetEntryLength(entry, dlc);
    return timeMs * 1000 <= kNSMMaxEntryTimeUs && TNSM::SetEntryTime(entry, static_cast<uint32_t>(timeMs * 1000));
}

bool frameEntry(NSMListEntry& entry, uint64_t timeMs, const NSMStimulusFrame& frame) {
    return makeEntry(entry, timeMs, frame.identifier, frame.dlc, frame.data);
}
}  // namespace

int TNSM::BuildSDOLoad(NSMListEntry* entries, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t spanMs,
                       uint32_t intervalMs) {
    if (intervalMs == 0)
        return 0;
    const auto count = static_cast<int>(spanMs / intervalMs);
    const uint8_t request[8] = {0x40, static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8), subIndex,
                                0, 0, 0, 0};
    for (int k = 1; k <= count; ++k)
        if (!makeEntry(entries[k - 1], uint64_t{intervalMs} * static_cast<uint64_t>(k), 0x600u + node, 8, request))
            return -1;
    return count;
}

int TNSM::BuildGuardingLoad(NSMListEntry* entries, uint8_t node, uint32_t spanMs, uint32_t intervalMs) const {
    if (errorControlMode_ != 2 || intervalMs == 0)
        return 0;
    const auto count = static_cast<int>(spanMs / intervalMs);
    for (int k = 1; k <= count; ++k)
        if (!makeEntry(entries[k - 1], uint64_t{intervalMs} * static_cast<uint64_t>(k),
                       (0x700u + node) | kNSMRemoteFrame, 1, nullptr))
            return -1;
    return count;
}

void TNSM::SortList(NSMListEntry* entries, int count) {
    bool swapped = true;
    while (swapped) {
        swapped = false;
        for (int i = 0; i + 1 < count; ++i) {
            if (entries[i].timeLength > entries[i + 1].timeLength) {
                std::swap(entries[i], entries[i + 1]);
                swapped = true;
            }
        }
    }
}

void TNSM::AlignListToPeriod(NSMListEntry* entries, int count) {
    if (count < 2)
        return;
    const uint32_t first = GetEntryTime(entries[0]);
    const uint32_t span = GetEntryTime(entries[count - 1]) - first;
    if (first < span)
        return;
    for (int i = 0; i < count; ++i)
        (void)SetEntryTime(entries[i], GetEntryTime(entries[i]) - span);
}

bool TNSM::selectList(uint32_t list) {
    char command[8];
    std::snprintf(command, sizeof command, "Lst%u", static_cast<unsigned>(list % 10));
    return download(nodeId_, static_cast<uint16_t>(listObject_), listSubIndex_, command, 4);
}

bool TNSM::downloadEntries(const NSMListEntry* entries, int count) {
    if (count <= 0)
        return true;
    return download(nodeId_, static_cast<uint16_t>(listObject_), listSubIndex_, entries,
                    static_cast<uint32_t>(count) * sizeof(NSMListEntry));
}

bool TNSM::finishWithBackground(uint8_t node, uint32_t options) {
    std::array<NSMListEntry, kBackgroundCapacity> entries{};
    if (!selectList(nsmListBackground))
        return false;
    const int sdo = BuildSDOLoad(entries.data(), node, kSdoLoadIndex, kSdoLoadSubIndex, kSdoLoadSpanMs,
                                 kSdoLoadIntervalMs);
    if (sdo < 0)
        return false;
    const int guarding = BuildGuardingLoad(entries.data() + sdo, node, kGuardingSpanMs, kGuardingIntervalMs);
    if (guarding < 0)
        return false;
    SortList(entries.data(), sdo + guarding);
    if (!downloadEntries(entries.data(), sdo + guarding))
        return false;
    listsLoaded_ = true;
    // The test runs without the background traffic when a traffic list fails.
    (void)WriteTR308Lists(options);
    return true;
}

bool TNSM::writeGuardingOnly(uint8_t node) {
    listsLoaded_ = false;
    if (!IsFound() || !selectList(nsmListBackground))
        return false;
    std::array<NSMListEntry, kBackgroundCapacity> entries{};
    const int count = BuildGuardingLoad(entries.data(), node, kGuardingSpanMs, kGuardingIntervalMs);
    if (count < 0)
        return false;
    if (count == 0)
        return true;
    SortList(entries.data(), count);
    if (!downloadEntries(entries.data(), count))
        return false;
    listsLoaded_ = true;
    return true;
}

bool TNSM::WriteTPDOSyncLists(uint32_t syncId, uint32_t periodMs, uint8_t node, uint32_t options) {
    listsLoaded_ = false;
    if (!IsFound() || !selectList(nsmListStimulus))
        return false;
    NSMListEntry sync{};
    if (!makeEntry(sync, periodMs, syncId, 0, nullptr) || !downloadEntries(&sync, 1))
        return false;
    return finishWithBackground(node, options);
}

bool TNSM::WriteTPDOSyncRPDOsLists(uint32_t syncId, uint32_t periodMs, uint8_t node, const NSMStimulusFrame* frames,
                                   int count, uint32_t options) {
    listsLoaded_ = false;
    if (!IsFound() || count < 0 || count + 1 > kStimulusCapacity || (count > 0 && frames == nullptr))
        return false;
    if (!selectList(nsmListStimulus))
        return false;
    std::array<NSMListEntry, kStimulusCapacity> entries{};
    if (!makeEntry(entries[0], periodMs, syncId, 0, nullptr))
        return false;
    for (int i = 0; i < count; ++i)
        if (!frameEntry(entries[static_cast<size_t>(i) + 1], uint64_t{periodMs} + 1 + static_cast<uint64_t>(i), frames[i]))
            return false;
    SortList(entries.data(), count + 1);
    AlignListToPeriod(entries.data(), count + 1);
    if (!downloadEntries(entries.data(), count + 1))
        return false;
    return finishWithBackground(node, options);
}

bool TNSM::WriteTPDOEventLists(uint8_t node, uint32_t options) {
    listsLoaded_ = false;
    if (!IsFound())
        return false;
    return finishWithBackground(node, options);
}

bool TNSM::WriteTPDOEventRPDOsLists(uint32_t periodMs, uint8_t node, const NSMStimulusFrame* frames, int count,
                                    uint32_t options) {
    listsLoaded_ = false;
    if (!IsFound() || count < 0 || count > kStimulusCapacity || (count > 0 && frames == nullptr))
        return false;
    if (count > 0) {
        std::array<NSMListEntry, kStimulusCapacity> entries{};
        for (int i = 0; i < count; ++i)
            if (!frameEntry(entries[static_cast<size_t>(i)], uint64_t{periodMs} + 1 + static_cast<uint64_t>(i), frames[i]))
                return false;
        SortList(entries.data(), count);
        AlignListToPeriod(entries.data(), count);
        if (!selectList(nsmListStimulus) || !downloadEntries(entries.data(), count))
            return false;
    }
    return finishWithBackground(node, options);
}

bool TNSM::WriteODScanLists(uint8_t node) { return writeGuardingOnly(node); }

bool TNSM::WritePDOAnalysisLists(uint8_t node) { return writeGuardingOnly(node); }

bool TNSM::WritePDOTurnaroundLists(uint32_t periodMs, uint8_t node, const NSMStimulusFrame* phase1,
                                   const NSMStimulusFrame* phase2, uint32_t index, uint32_t count, uint32_t options) {
    listsLoaded_ = false;
    if (!IsFound())
        return false;
    if (count > 0) {
        // The frame number must lie within both arrays.
        if (index == 0 || index > count || phase1 == nullptr || phase2 == nullptr)
            return false;
        std::array<NSMListEntry, 2> entries{};
        if (!frameEntry(entries[0], periodMs, phase1[index - 1]) ||
            !frameEntry(entries[1], uint64_t{periodMs} * 2, phase2[index - 1]))
            return false;
        SortList(entries.data(), 2);
        if (!selectList(nsmListStimulus) || !downloadEntries(entries.data(), 2))
            return false;
    }
    return finishWithBackground(node, options);
}

bool TNSM::WriteTrafficList(const NSMTrafficRecord* table, uint32_t list) {
    if (table == nullptr || !selectList(list))
        return false;
    std::array<NSMListEntry, kStimulusCapacity> entries{};
    int count = 0;
    for (const NSMTrafficRecord* row = table; row->identifier != 0 && count < kStimulusCapacity; ++row, ++count) {
        NSMListEntry& entry = entries[static_cast<size_t>(count)];
        if (!SetEntryTime(entry, row->timeUs))
            return false;
        SetEntryLength(entry, row->dlc);
        entry.identifier = row->identifier;
        std::memcpy(entry.data, row->data, sizeof entry.data);
    }
    return downloadEntries(entries.data(), count);
}

bool TNSM::WriteTR308Lists(uint32_t options) {
    for (int kind = 0; kind < 4; ++kind) {
        if ((options & (1u << kind)) == 0)
            continue;
        const uint32_t rate = links_.bitRateKbit ? links_.bitRateKbit() : 125;
        if (!WriteTrafficList(TR308Table(kind, rate), nsmListErrorControlTraffic + static_cast<uint32_t>(kind)))
            return false;
    }
    return true;
}

}  // namespace ostrel::vessolt
