#include "timing_variant.h"

#include "timing_config.h"

#include <algorithm>
#include <cstring>

namespace ostrel::vessolt {

namespace {

constexpr std::array<const char*, 14> kSyncTitles{
    "Sync (ms)",   "Max Bus Ld (%)", "Max Burst Len (ms)", "TPDO Min (ms)", "TPDO Max (ms)",
    "TPDO Diff (ms)", "TPDO Ave (ms)", "HB Min (ms)", "HB Max (ms)", "HB Dev (%)",
    "SDO Min (ms)", "SDO Max (ms)", "Sync Dev (%)", ""};
constexpr std::array<const char*, 14> kEventTitles{
    "Event Tm. (ms)", "Max Bus Ld (%)", "Max Burst Len (ms)", "TPDO Min (ms)", "TPDO Max (ms)",
    "TPDO Diff (ms)", "TPDO Dev (%)", "TPDO Ave (ms)", "HB Min (ms)", "HB Max (ms)",
    "HB Dev (%)", "SDO Min (ms)", "SDO Max (ms)", ""};
constexpr std::array<const char*, 14> kTurnaroundTitles{
    "RPDO Tm. (ms)", "Max Bus Ld (%)", "Max Burst Len (ms)", "TPDO Min (ms)", "TPDO Max (ms)",
    "TPDO Diff (ms)", "TPDO Ave (ms)", "HB Min (ms)", "HB Max (ms)", "HB Dev (%)",
    "SDO Min (ms)", "SDO Max (ms)", "", ""};
constexpr std::array<bool, 14> kSyncTint{false, false, false, true, true, true, true,
                                         false, false, false, true, true, false, false};
constexpr std::array<bool, 14> kEventTint{false, false, false, true, true, true, true,
                                          true, false, false, false, true, true, false};

constexpr TimingVariant kVariants[] = {
    {TimingTestKind::TPDOSync, 1, "TPDO Sync", "Sync", true, false, false, false, false, false, 17, 7, 6,
     14, kSyncTitles, kSyncTint},
    {TimingTestKind::TPDOSyncRPDOs, 2, "TPDO Sync + RPDOs", "Sync", true, true, false, false, false, true,
     17, 7, 6, 14, kSyncTitles, kSyncTint},
    {TimingTestKind::TPDOEvent, 3, "TPDO Event", "event", false, false, false, true, true, false, 14, 8, 6,
     14, kEventTitles, kEventTint},
    {TimingTestKind::TPDOEventRPDOs, 4, "TPDO Event + RPDOs", "event", false, true, false, true, true,
     false, 14, 8, 6, 14, kEventTitles, kEventTint},
    {TimingTestKind::PDOTurnaround, 5, "PDO Turnaround", "RPDO", false, false, true, true, false, false, 14,
     7, 16, 13, kTurnaroundTitles, kSyncTint},
};

} // namespace

const TimingVariant& timingVariant(TimingTestKind kind) {
    return kVariants[static_cast<int>(kind)];
}

void clearTimingRow(TimingTestConfig& config, int i) {
    if (i < 0 || i >= kTimingMaxCycles)
        return;
    const size_t r = static_cast<size_t>(i);
    config.busload[r] = 0;
    config.tpdo[r] = {};
    config.ec[r] = {};
    config.sdo[r] = {};
    config.peakmsgrate[r] = 0;
    config.maxbusload[r] = 0;
    config.maxburstlen[r] = 0;
    config.sync[r] = {};
    config.tpdocount[r] = {};
}

void setTimingExpression(char (&field)[kTimingExpressionSize], const char* text) {
    size_t n = text ? std::strlen(text) : 0;
    if (n > kTimingExpressionSize - 1) {
        n = kTimingExpressionSize - 1;
        // Back off to the start of a character so that no UTF-8 sequence is cut.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    if (n)
        std::memcpy(field, text, n);
    std::memset(field + n, 0, kTimingExpressionSize - n);
}

void deriveTimingRows(TimingTestConfig& config) {
    const int n = config.manualtestcycles < 0 ? 0 : std::min(config.manualtestcycles, kTimingMaxCycles);
    config.searchrows = 0;
    config.activecycles = config.manual_enable ? n : 0;
    for (int i = 0; i < n; ++i)
        config.time[static_cast<size_t>(i)] = config.manualtime[static_cast<size_t>(i)];
}

} // namespace ostrel::vessolt
