#pragma once
// The settings and results of one timing test, copied as a whole between the test, its settings
// page and the script types. One record type serves the five timing tests; a field a test does not
// use stays zero.
#include <array>
#include <cstddef>
#include <cstdint>

#include "testing/timing_stats.h"

namespace ostrel::vessolt {

using TimingStatistics = TPDOTimingStats;

inline constexpr int kTimingMaxCycles = 40;
inline constexpr size_t kTimingExpressionSize = 300;  // bytes, terminator included
inline constexpr int kTimingMaxPdos = 8;

// One RPDO the support module sends to the device; id is filled by the run from the device.
struct RPDOFrame {
    uint32_t id = 0;
    uint8_t dlc = 0;
    uint8_t data[8]{};
};
static_assert(sizeof(RPDOFrame) == 16);
static_assert(offsetof(RPDOFrame, dlc) == 4 && offsetof(RPDOFrame, data) == 5);

struct TimingTestConfig {
    int32_t activecycles = 0;
    int32_t searchrows = 0;
    int32_t manual_enable = 0;
    int32_t manualtestcycles = 0;
    std::array<uint32_t, kTimingMaxCycles> manualtime{};

    // Per cycle: manual rows first, then the limit search's rows.
    std::array<uint32_t, kTimingMaxCycles> time{};
    std::array<float, kTimingMaxCycles> busload{};
    std::array<TimingStatistics, kTimingMaxCycles> tpdo{};
    std::array<ErrorControlStats, kTimingMaxCycles> ec{};
    std::array<SDOTimeStats, kTimingMaxCycles> sdo{};
    std::array<float, kTimingMaxCycles> peakmsgrate{};
    std::array<float, kTimingMaxCycles> maxbusload{};
    std::array<float, kTimingMaxCycles> maxburstlen{};
    std::array<PeriodStats, kTimingMaxCycles> sync{};                          // Sync tests
    std::array<std::array<uint32_t, kTimingMaxPdos>, kTimingMaxCycles> tpdocount{};  // turnaround

    std::array<RPDOFrame, kTimingMaxPdos> rpdo{};        // tests with RPDOs
    std::array<RPDOFrame, kTimingMaxPdos> phase1rpdo{};  // turnaround
    std::array<RPDOFrame, kTimingMaxPdos> phase2rpdo{};
    uint32_t syncid = 0;

    int32_t alarm_enable = 0;
    int32_t alarm_operation = 0;
    char alarm_expression[kTimingExpressionSize]{};
    uint32_t ciatr308options = 0;
    int32_t limit_enable = 0;
    char limit_expression[kTimingExpressionSize]{};
    uint32_t limit_upperlimit = 0;
    uint32_t limit_lowerlimit = 0;
    uint8_t tpdotransmissiontype = 0;  // Event tests and turnaround
};

// Clears the results of row i (busload included).
void clearTimingRow(TimingTestConfig& config, int i);

// Copies text into an expression field: at most 299 bytes, never splitting a UTF-8 character.
void setTimingExpression(char (&field)[kTimingExpressionSize], const char* text);

// activecycles, searchrows 0, and the manual periods into time.
void deriveTimingRows(TimingTestConfig& config);

} // namespace ostrel::vessolt
