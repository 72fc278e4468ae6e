#include "timing_settings_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "expressions/expressions.h"
#include "services/log.h"
#include "services/numeric_text.h"
#include "timing_rules.h"

namespace ostrel::vessolt {

namespace {

constexpr int kBusLoadTPDOs = 4;
constexpr int kExpressionErrorSize = 200;

constexpr const char* kSyncIdRange = "The Sync message ID must be in the range 0x0000001 to 0x1FFFFFFF";
constexpr const char* kSyncIdElevenBits = "The Sync message ID must be an 11-bit identifier (0x001 to 0x7FF)";
constexpr const char* kSyncIdTraffic =
    "You cannot have a Sync Message ID of 0x080 and generate CiA TR-308 Sync traffic";
constexpr const char* kTooManyPeriods = "No more than 40 periods can be tested.";
constexpr const char* kSyncPeriodZero = "A Sync period of 0 ms is not allowed.";
constexpr const char* kEventTimeZero = "An event time of 0 ms is not allowed.";
constexpr const char* kEventTimeTooLong = "An event time above 65535 ms is not allowed.";
constexpr const char* kNotSendable = "%s of %s ms cannot be sent by the support module (at most %s ms).";
constexpr const char* kSyncBusLoad =
    "A Sync period of %d ms or less might exceed 100% bus load when using four TPDOs";
constexpr const char* kEventBusLoad =
    "An event time of %d ms or less might exceed 100% bus load when using four TPDOs";
constexpr const char* kNoAlarmExpression = "You must enter an alarm expression";
constexpr const char* kLowerLimitZero = "The lower test range limit must be at least 1 ms";
constexpr const char* kUpperBelowLower =
    "The upper test range limit must be greater than the lower test range limit";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool blankOnly(const std::string& s) { return std::all_of(s.begin(), s.end(), isBlank); }

// The warning texts carry a literal "100%": only the %d is a field.
std::string withNumber(const char* format, uint32_t value) {
    std::string text(format);
    const size_t at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(value));
    return text;
}

// A number as typed, for the messages: its digits after any leading blanks.
std::string typedNumber(std::string_view text) {
    const size_t first = std::min(text.find_first_not_of(" \t\n\v\f\r"), text.size());
    const size_t end = std::min(text.find_first_not_of("0123456789", first), text.size());
    return std::string(text.substr(first, end - first));
}

} // namespace

TimingSettingsCheck::TimingSettingsCheck(TimingTestKind kind, const TExpressions& expressions)
    : kind_(kind), expressions_(expressions) {}

uint32_t TimingSettingsCheck::ReadUnsigned(std::string_view text, int base) {
    // The fields take no sign: a signed text reads as no number.
    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string_view::npos && (text[first] == '+' || text[first] == '-'))
        return 0;
    return parseUnsignedText(text, base);
}

bool TimingSettingsCheck::ExceedsBusLoad(uint32_t periodMs, int tpdos, uint32_t bitrateKbit) {
    if (bitrateKbit == 0 || tpdos < 1)
        return false;
    const double bits = tpdos * 120.0 + 50.0;
    // The bits the bus carries in one period: kbit/s times ms. In double, as long periods at high
    // rates pass 32 bits.
    const double capacity = std::trunc(static_cast<double>(bitrateKbit) * static_cast<double>(periodMs));
    if (capacity <= 0.0)
        return true;
    return bits / capacity * 100.0 >= 100.0;
}

bool TimingSettingsCheck::checkExpression(const char* name, const std::string& text, std::string& message) const {
    char error[kExpressionErrorSize] = {};
    if (expressions_.Check(text.c_str(), error, kExpressionErrorSize))
        return true;
    message = "Error in ";
    message += name;
    message += ": ";
    // The evaluator gives no reason for a blank text.
    message += error[0] != '\0' ? error : "the expression is empty";
    return false;
}

TimingSettingsVerdict TimingSettingsCheck::Check(const TimingSettingsTexts& texts, uint32_t bitrateKbit) const {
    const TimingVariant& variant = timingVariant(kind_);
    const bool syncPage = variant.hasSync;
    const bool eventPage = variant.isEvent;
    const bool busLoadWarning = kind_ != TimingTestKind::TPDOSyncRPDOs;

    TimingSettingsVerdict v;
    TimingTestConfig& r = v.record;

    if (syncPage) {
        const uint32_t id = ReadUnsigned(texts.syncid, 16);
        const TimingRule rule = timingRule(kind_, TimingValue::SyncId);
        if (id < rule.min) {
            v.message = kSyncIdRange;
            return v;
        }
        if (id > rule.max) {
            v.message = kSyncIdElevenBits;
            return v;
        }
        if (id == 0x80 && (texts.ciatr308options & 0x08u) != 0) {
            v.message = kSyncIdTraffic;
            return v;
        }
        r.syncid = id;
    }

    // A period beyond the rule: the device's event timer on the Event pages, else the module's lists.
    const TimingRule periodRule = timingRule(kind_, TimingValue::Period);
    const auto tooLong = [&](const char* subject, std::string_view typed) {
        if (eventPage)
            return std::string(kEventTimeTooLong);
        std::string text = kNotSendable;
        for (const std::string& field : {std::string(subject), typedNumber(typed), std::to_string(periodRule.max)})
            text.replace(text.find("%s"), 2, field);
        return text;
    };

    int count = 0;
    size_t start = 0;
    while (start <= texts.cycles.size()) {
        size_t end = texts.cycles.find('\n', start);
        if (end == std::string::npos)
            end = texts.cycles.size();
        std::string_view line(texts.cycles.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (count == kTimingMaxCycles) {
            v.message = kTooManyPeriods;
            return v;
        }
        const uint32_t period = ReadUnsigned(line, 10);
        if (period == 0) {
            v.message = syncPage ? kSyncPeriodZero : kEventTimeZero;
            return v;
        }
        if (!periodRule.accepts(period)) {
            v.message = tooLong(syncPage ? "A Sync period" : "An event time", line);
            return v;
        }
        if (busLoadWarning && v.warning.empty() && ExceedsBusLoad(period, kBusLoadTPDOs, bitrateKbit))
            v.warning = withNumber(syncPage ? kSyncBusLoad : kEventBusLoad, period);
        r.manualtime[static_cast<size_t>(count++)] = period;
    }
    r.manualtestcycles = count;
    r.manual_enable = texts.manualEnable ? 1 : 0;

    if (variant.hasRpdo)
        r.rpdo = texts.rpdo;
    if (variant.isTurnaround) {
        r.phase1rpdo = texts.phase1rpdo;
        r.phase2rpdo = texts.phase2rpdo;
    }

    // The alarm belongs to the manual test: its box is disabled while the manual test is off.
    if (texts.alarmEnable && texts.manualEnable) {
        if (blankOnly(texts.alarmExpression)) {
            v.message = kNoAlarmExpression;
            return v;
        }
        if (!checkExpression("alarm expression", texts.alarmExpression, v.message))
            return v;
    }
    r.alarm_enable = texts.alarmEnable ? 1 : 0;
    r.alarm_operation =
        timingRule(kind_, TimingValue::AlarmOperation).accepts(texts.alarmOperation) ? texts.alarmOperation : 0;
    setTimingExpression(r.alarm_expression, texts.alarmExpression.c_str());

    if (variant.hasTransmissionType)
        r.tpdotransmissiontype = texts.transmissionType;
    r.ciatr308options = texts.ciatr308options & 0x0Fu;

    r.limit_enable = texts.limitEnable ? 1 : 0;
    r.limit_upperlimit = ReadUnsigned(texts.upperLimit, 10);
    r.limit_lowerlimit = ReadUnsigned(texts.lowerLimit, 10);
    setTimingExpression(r.limit_expression, texts.limitExpression.c_str());
    // Stored whether or not the search is on: what is kept must be what could run.
    const TimingRule limitRule = timingRule(kind_, TimingValue::Limit);
    if (!limitRule.accepts(r.limit_upperlimit)) {
        v.message = tooLong("The upper test range limit", texts.upperLimit);
        return v;
    }
    if (!limitRule.accepts(r.limit_lowerlimit)) {
        v.message = tooLong("The lower test range limit", texts.lowerLimit);
        return v;
    }

    if (texts.limitEnable) {
        if (!checkExpression("limit expression", texts.limitExpression, v.message))
            return v;
        // A search that reaches period 0 would stimulate nothing.
        if (r.limit_lowerlimit < 1) {
            v.message = kLowerLimitZero;
            return v;
        }
        if (r.limit_upperlimit < r.limit_lowerlimit) {
            v.message = kUpperBelowLower;
            return v;
        }
    }
    deriveTimingRows(r);
    return v;
}

bool TimingSettingsCheck::AcceptsLoaded(const TimingTestConfig& record, const std::string& where, TLog* log) const {
    const TimingSettingsVerdict verdict = Check(timingSettingsTexts(kind_, record), 0);
    if (!verdict.accepted() && log != nullptr)
        log->Add("Warning: " + where + " the settings were not loaded (the settings page says: " + verdict.message +
                 ")");
    return verdict.accepted();
}

TimingSettingsTexts timingSettingsTexts(TimingTestKind kind, const TimingTestConfig& r) {
    const TimingVariant& variant = timingVariant(kind);
    TimingSettingsTexts t;
    if (variant.hasSync) {
        char id[16];
        std::snprintf(id, sizeof id, r.syncid <= 0x7FF ? "%03X" : "%08X", static_cast<unsigned>(r.syncid));
        t.syncid = id;
    }
    const int count = std::clamp(r.manualtestcycles, 0, kTimingMaxCycles);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            t.cycles += '\n';
        t.cycles += std::to_string(r.manualtime[static_cast<size_t>(i)]);
    }
    t.manualEnable = r.manual_enable != 0;
    t.alarmEnable = r.alarm_enable != 0;
    t.alarmOperation = r.alarm_operation >= 0 && r.alarm_operation <= 2 ? r.alarm_operation : 0;
    t.alarmExpression = r.alarm_expression;
    t.transmissionType = r.tpdotransmissiontype;
    t.ciatr308options = r.ciatr308options & 0x0Fu;
    t.limitEnable = r.limit_enable != 0;
    t.upperLimit = std::to_string(r.limit_upperlimit);
    t.lowerLimit = std::to_string(r.limit_lowerlimit);
    t.limitExpression = r.limit_expression;
    t.rpdo = r.rpdo;
    t.phase1rpdo = r.phase1rpdo;
    t.phase2rpdo = r.phase2rpdo;
    return t;
}

std::string describeRPDOFrame(const RPDOFrame& frame) {
    const int length = std::min<int>(frame.dlc, 8);
    std::string text = std::to_string(frame.dlc);
    text += frame.dlc == 1 ? " byte -" : " bytes -";
    for (int k = 0; k < length; ++k) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %2.2X", static_cast<unsigned>(frame.data[k]));
        text += hex;
    }
    return text;
}

} // namespace ostrel::vessolt
