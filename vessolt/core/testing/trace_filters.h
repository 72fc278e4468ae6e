#pragma once
// Filters of the common test services' trace searches.
#include <cstdint>
#include <initializer_list>

#include "services/trace_buffer.h"

namespace ostrel::vessolt::trace_filters {

// Data frames with an 11-bit identifier: a remote request or a 29-bit frame never matches.
// length < 0 takes any length.
[[nodiscard]] inline TraceFilter data(uint32_t id, int length = -1, std::initializer_list<uint8_t> bytes = {},
                                      uint32_t idMask = 0x7FF) {
    TraceFilter f{};
    f.idMask = idMask;
    f.idValue = id & idMask;
    if (length >= 0) {
        f.dlcMask = 0xFF;
        f.dlcValue = static_cast<uint8_t>(length);
    }
    f.flagsMask = kTraceFlagRemote | kTraceFlagExtended;
    int i = 0;
    for (uint8_t b : bytes) {
        if (i == 8)
            break;
        f.dataMask[i] = 0xFF;
        f.dataValue[i] = b;
        ++i;
    }
    return f;
}

// Remote requests with an 11-bit identifier, of any length.
[[nodiscard]] inline TraceFilter remote(uint32_t id) {
    TraceFilter f{};
    f.idMask = 0x7FF;
    f.idValue = id & 0x7FF;
    f.flagsMask = kTraceFlagRemote | kTraceFlagExtended;
    f.flagsValue = kTraceFlagRemote;
    return f;
}

// A boot-up message: length 1, data byte 0x00.
[[nodiscard]] inline TraceFilter bootup(uint32_t id, uint32_t idMask = 0x7FF) { return data(id, 1, {0x00}, idMask); }

// The NMT command that resets all nodes.
[[nodiscard]] inline TraceFilter resetAllNodes() { return data(0x000, 2, {0x81, 0x00}); }

// Milliseconds from `earlier` to `later`, never negative, to the microsecond.
[[nodiscard]] inline float msBetween(const TraceMessage& later, const TraceMessage& earlier) {
    const CANTimeStamp d = TTraceBuffer::TimestampDiff(later.time, earlier.time);
    return static_cast<float>(d.timeMs) + static_cast<float>(d.timeUs) * 0.001f;
}

} // namespace ostrel::vessolt::trace_filters
