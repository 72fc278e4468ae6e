#pragma once
// The checks of a timing test's settings page, without widgets: the page hands in what its controls
// show and gets back either the record to apply or the first message to show. The checks run in a
// fixed order and stop at the first failure; the bus-load warning does not stop them.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "timing_config.h"
#include "timing_variant.h"

namespace ostrel::vessolt {

class TExpressions;
class TLog;

// What the page's controls show.
struct TimingSettingsTexts {
    std::string syncid;  // hexadecimal; read on the Sync pages only
    std::string cycles;  // one period per line
    bool manualEnable = false;
    bool alarmEnable = false;
    int32_t alarmOperation = 0;
    std::string alarmExpression;
    uint8_t transmissionType = 0;
    uint32_t ciatr308options = 0;  // bits 0-3 from the four traffic boxes
    bool limitEnable = false;
    std::string upperLimit;
    std::string lowerLimit;
    std::string limitExpression;
    // The page's working copies; taken on the pages that have them.
    std::array<RPDOFrame, kTimingMaxPdos> rpdo{};
    std::array<RPDOFrame, kTimingMaxPdos> phase1rpdo{};
    std::array<RPDOFrame, kTimingMaxPdos> phase2rpdo{};
};

struct TimingSettingsVerdict {
    // Shown first when not empty, whatever follows.
    std::string warning;
    // The first failure; empty when the record is to be applied.
    std::string message;
    // Settings fields and frames only; valid when message is empty.
    TimingTestConfig record{};

    [[nodiscard]] bool accepted() const { return message.empty(); }
};

class TimingSettingsCheck {
public:
    TimingSettingsCheck(TimingTestKind kind, const TExpressions& expressions);

    // bitrateKbit is the open network's bit rate, 0 while unknown (no bus-load warning then).
    [[nodiscard]] TimingSettingsVerdict Check(const TimingSettingsTexts& texts, uint32_t bitrateKbit) const;

    // Whether tpdos TPDOs of 120 bits with 50 bits of overhead fill the bus within one period.
    [[nodiscard]] static bool ExceedsBusLoad(uint32_t periodMs, int tpdos, uint32_t bitrateKbit);

    // An unsigned number as typed: leading blanks skipped, no sign, an optional "0x" in base 16,
    // reading stops at the first character that is not a digit; no digit gives 0; saturates at
    // 0xFFFFFFFF.
    [[nodiscard]] static uint32_t ReadUnsigned(std::string_view text, int base);

    [[nodiscard]] TimingTestKind Kind() const { return kind_; }

    // A loaded record goes through the page's own checks too, for the rules that span two fields
    // (a search with a lower limit of 0, an alarm without an expression): false, with one log line
    // naming `where` and the page's message, when the page would refuse what it would show.
    [[nodiscard]] bool AcceptsLoaded(const TimingTestConfig& record, const std::string& where, TLog* log) const;

private:
    [[nodiscard]] bool checkExpression(const char* name, const std::string& text, std::string& message) const;

    TimingTestKind kind_;
    const TExpressions& expressions_;
};

// What the page's controls show for a record.
[[nodiscard]] TimingSettingsTexts timingSettingsTexts(TimingTestKind kind, const TimingTestConfig& record);

// The description of one RPDO row: "8 bytes - FF FF ...", "1 byte - 0A", "0 bytes -".
[[nodiscard]] std::string describeRPDOFrame(const RPDOFrame& frame);

} // namespace ostrel::vessolt
