#pragma once
// Statistics records the trace checks fill, owned by the tests (one per test cycle, usually).
// A record is empty while its count is 0: a measured 0 ms is a value like any other, and the
// server's whole-millisecond stamps make it a common one. Reports show no value for an empty record.
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace ostrel::vessolt {

// Heartbeat or node-guarding times; dev is the deviation in percent from the nominal 100 ms.
struct ErrorControlStats {
    float min = 0, max = 0, dev = 0, diff = 0;
    uint32_t count = 0;
};
static_assert(sizeof(ErrorControlStats) == 20);
static_assert(offsetof(ErrorControlStats, count) == 16);

struct SDOTimeStats {
    float min = 0, max = 0;
    uint32_t count = 0;
};
static_assert(sizeof(SDOTimeStats) == 12);

// Intervals of one message; dev in percent of the nominal period.
struct PeriodStats {
    float min = 0, max = 0, dev = 0;
    uint32_t count = 0;
};
static_assert(sizeof(PeriodStats) == 16);

struct TPDOTimingStats {
    float min = 0, max = 0, diff = 0, dev = 0, ave = 0;
    double sum = 0;
    uint32_t count = 0;
};
static_assert(offsetof(TPDOTimingStats, sum) == 24);
static_assert(offsetof(TPDOTimingStats, count) == 32);

namespace timing {

// Takes v into min and max; the first value sets both.
template <class Stats>
void takeMinMax(Stats& stats, uint32_t countBefore, float v) {
    if (countBefore == 0 || v < stats.min)
        stats.min = v;
    if (countBefore == 0 || v > stats.max)
        stats.max = v;
}

[[nodiscard]] inline float periodDeviation(float min, float max, uint32_t nominalMs) {
    if (nominalMs == 0)
        return 0;
    const float p = static_cast<float>(nominalMs);
    return std::fmax(std::fabs(p - min) / p * 100.0f, std::fabs(p - max) / p * 100.0f);
}

inline void update(ErrorControlStats& s, float v) {
    takeMinMax(s, s.count, v);
    ++s.count;
    s.dev = std::fmax(std::fabs(100.0f - s.min) * 0.01f * 100.0f, std::fabs(100.0f - s.max) * 0.01f * 100.0f);
    s.diff = s.max - s.min;
}

inline void update(SDOTimeStats& s, float v) {
    takeMinMax(s, s.count, v);
    ++s.count;
}

inline void update(PeriodStats& s, float v, uint32_t nominalMs) {
    takeMinMax(s, s.count, v);
    ++s.count;
    s.dev = periodDeviation(s.min, s.max, nominalMs);
}

// withDevFor: the nominal period when dev is to be set as for PeriodStats, else 0 (dev untouched).
inline void update(TPDOTimingStats& s, float v, uint32_t withDevFor = 0) {
    takeMinMax(s, s.count, v);
    ++s.count;
    s.diff = s.max - s.min;
    s.sum += v;
    s.ave = static_cast<float>(s.sum / s.count);
    if (withDevFor != 0)
        s.dev = periodDeviation(s.min, s.max, withDevFor);
}

} // namespace timing

} // namespace ostrel::vessolt
