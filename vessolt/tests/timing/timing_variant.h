#pragma once
// What sets the five timing tests apart: one row per test.
#include <array>
#include <cstdint>

namespace ostrel::vessolt {

enum class TimingTestKind { TPDOSync, TPDOSyncRPDOs, TPDOEvent, TPDOEventRPDOs, PDOTurnaround };

struct TimingVariant {
    TimingTestKind kind;
    int32_t testNumber;        // in status and progress calls
    const char* displayName;   // registry key, file section, status lines
    const char* periodWord;    // "Starting test cycle for %d ms <word> period"
    bool hasSync;              // SYNC stimulus and the sync results
    bool hasRpdo;              // the rpdo frames (tests 2, 4)
    bool isTurnaround;         // phase1rpdo, phase2rpdo, tpdocount, the RPDO report
    bool hasTransmissionType;  // tpdotransmissiontype
    bool isEvent;              // event TPDOs: the grid shows TPDO dev
    bool restartsTransmit;     // the transmit table is stopped, cleared and started at a run's start
    int expressionVariables;   // 17 or 14 (no SYNC values)
    int errorControlColumn;    // first of the three error-control columns
    uint32_t longCycleFactor;  // cycle duration for periods of 5000 ms and more
    int columnCount;
    std::array<const char*, 14> titles;
    std::array<bool, 14> tinted;
};

[[nodiscard]] const TimingVariant& timingVariant(TimingTestKind kind);

} // namespace ostrel::vessolt
