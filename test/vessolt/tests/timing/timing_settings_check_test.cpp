// The settings pages' checks, with the real expression evaluator.
#include "timing_settings_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "expressions/expressions.h"

namespace ostrel::vessolt {
namespace {

using namespace std::string_literals;  // moved-in texts

constexpr TimingTestKind kSync = TimingTestKind::TPDOSync;
constexpr TimingTestKind kSyncRPDOs = TimingTestKind::TPDOSyncRPDOs;
constexpr TimingTestKind kEvent = TimingTestKind::TPDOEvent;
constexpr TimingTestKind kEventRPDOs = TimingTestKind::TPDOEventRPDOs;
constexpr TimingTestKind kTurnaround = TimingTestKind::PDOTurnaround;

const std::string kRange = "The Sync message ID must be in the range 0x0000001 to 0x1FFFFFFF";
const std::string kEventAbove = "An event time above 65535 ms is not allowed.";

struct Case {
    const char* name;
    TimingTestKind kind;
    std::function<void(TimingSettingsTexts&)> edit;
    uint32_t bitrate = 0;
    std::string message{};  // a trailing '*' matches a prefix
    std::string warning{};
    std::function<void(const TimingTestConfig&)> expect{};
};

TimingSettingsTexts baseTexts() {
    TimingSettingsTexts t;
    t.syncid = "181"s;
    t.cycles = "100"s;
    t.manualEnable = true;
    t.upperLimit = "200"s;
    t.lowerLimit = "100"s;
    return t;
}

std::string lines(int n, const char* value) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += value;
        s += '\n';
    }
    return s;
}

TEST(TimingSettingsCheckTest, ChecksRunInOrderAndBuildTheRecord) {
    const std::vector<Case> cases = {
        {"sync id 80", kSync, [](auto& t) { t.syncid = "80"s; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.syncid, 0x80u); }},
        {"sync id 0x80", kSyncRPDOs, [](auto& t) { t.syncid = "0x80"s; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.syncid, 0x80u); }},
        {"80 with sync traffic", kSync,
         [](auto& t) {
             t.syncid = "80"s;
             t.ciatr308options = 0x08;
         },
         0, "You cannot have a Sync Message ID of 0x080 and generate CiA TR-308 Sync traffic"},
        {"0x80 with sync traffic", kSyncRPDOs,
         [](auto& t) {
             t.syncid = " 0x80"s;
             t.ciatr308options = 0x08;
         },
         0, "You cannot have a Sync Message ID of 0x080 and generate CiA TR-308 Sync traffic"},
        {"7FF", kSync, [](auto& t) { t.syncid = "7ff"s; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.syncid, 0x7FFu); }},
        {"1G reads 1", kSync, [](auto& t) { t.syncid = "1G"s; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.syncid, 1u); }},
        {"800", kSync, [](auto& t) { t.syncid = "800"s; }, 0,
         "The Sync message ID must be an 11-bit identifier (0x001 to 0x7FF)"},
        {"sync id 0", kSync, [](auto& t) { t.syncid = "0"s; }, 0, kRange},
        {"sync id empty", kSync, [](auto& t) { t.syncid = ""s; }, 0, kRange},
        {"event page ignores the sync id", kEvent, [](auto& t) { t.syncid = ""s; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.syncid, 0u); }},
        // The sync id is checked before the periods, and whether or not the manual test is on.
        {"sync id before periods", kSync,
         [](auto& t) {
             t.syncid = ""s;
             t.cycles = "0"s;
             t.manualEnable = false;
         },
         0, kRange},
        {"bus load at 125 kbit/s", kSync, [](auto& t) { t.cycles = "10\n\n4\n2"s; }, 125, "",
         "A Sync period of 4 ms or less might exceed 100% bus load when using four TPDOs",
         [](const auto& r) {
             EXPECT_EQ(r.manualtestcycles, 3);
             EXPECT_EQ(r.activecycles, 3);
             EXPECT_EQ(r.manualtime[0], 10u);
             EXPECT_EQ(r.manualtime[1], 4u);
             EXPECT_EQ(r.manualtime[2], 2u);
             EXPECT_EQ(r.time[1], 4u);
         }},
        {"event bus load", kTurnaround, [](auto& t) { t.cycles = "10\r\n4\r\n"s; }, 125, "",
         "An event time of 4 ms or less might exceed 100% bus load when using four TPDOs",
         [](const auto& r) { EXPECT_EQ(r.manualtestcycles, 2); }},
        {"warning then failure", kEvent, [](auto& t) { t.cycles = "3\n0"s; }, 125,
         "An event time of 0 ms is not allowed.",
         "An event time of 3 ms or less might exceed 100% bus load when using four TPDOs"},
        {"sync with rpdos never warns", kSyncRPDOs, [](auto& t) { t.cycles = "2"s; }, 125, "", ""},
        {"leading blanks", kSync, [](auto& t) { t.cycles = " 100"s; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.manualtime[0], 100u); }},
        {"letters read 0", kSync, [](auto& t) { t.cycles = "abc"s; }, 0, "A Sync period of 0 ms is not allowed."},
        {"blanks read 0", kEventRPDOs, [](auto& t) { t.cycles = "5\n  "s; }, 0, "An event time of 0 ms is not allowed."},
        {"periods checked with the manual test off", kEvent,
         [](auto& t) {
             t.cycles = "0"s;
             t.manualEnable = false;
         },
         0, "An event time of 0 ms is not allowed."},
        {"40 periods", kSync, [](auto& t) { t.cycles = lines(40, "50"); }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.manualtestcycles, 40); }},
        {"41 periods", kTurnaround, [](auto& t) { t.cycles = lines(41, "50"); }, 0,
         "No more than 40 periods can be tested."},
        {"65536 on an event page", kEvent, [](auto& t) { t.cycles = "65536"s; }, 0, kEventAbove},
        {"52428 on the turnaround page", kTurnaround, [](auto& t) { t.cycles = "52428"s; }, 0, ""},
        {"65536 on the turnaround page", kTurnaround, [](auto& t) { t.cycles = "65536"s; }, 0,
         "An event time of 65536 ms cannot be sent by the support module (at most 52428 ms)."},
        {"beyond the module on a sync page", kSync, [](auto& t) { t.cycles = "20\n 99999999999x"s; }, 1000,
         "A Sync period of 99999999999 ms cannot be sent by the support module (at most 104857 ms)."},
        {"the longest sync period with rpdos", kSyncRPDOs, [](auto& t) { t.cycles = "104849"s; }, 0, ""},
        {"alarm on, manual off, no expression", kSync,
         [](auto& t) {
             t.manualEnable = false;
             t.alarmEnable = true;
         },
         0, "", "",
         [](const auto& r) {
             EXPECT_EQ(r.alarm_enable, 1);
             EXPECT_EQ(r.manual_enable, 0);
         }},
        {"alarm on, no expression", kEvent, [](auto& t) { t.alarmEnable = true; }, 0,
         "You must enter an alarm expression"},
        {"alarm expression unknown", kSync,
         [](auto& t) {
             t.alarmEnable = true;
             t.alarmExpression = "tpdomax > foo"s;
         },
         0, "Error in alarm expression: *"},
        // Checked without evaluating: all variables are 0 while the user edits.
        {"division by a variable", kEvent,
         [](auto& t) {
             t.alarmEnable = true;
             t.alarmOperation = 2;
             t.alarmExpression = "tpdomax / tpdomin > 1.5"s;
         },
         0, "", "",
         [](const auto& r) {
             EXPECT_EQ(r.alarm_operation, 2);
             EXPECT_STREQ(r.alarm_expression, "tpdomax / tpdomin > 1.5");
         }},
        {"alarm operation out of range", kSync, [](auto& t) { t.alarmOperation = 7; }, 0, "", "",
         [](const auto& r) { EXPECT_EQ(r.alarm_operation, 0); }},
        {"limits off keep what they hold", kEvent,
         [](auto& t) {
             t.upperLimit = "5"s;
             t.lowerLimit = "10"s;
             t.limitExpression = "tpdoave <"s;
         },
         0, "", "",
         [](const auto& r) {
             EXPECT_EQ(r.limit_enable, 0);
             EXPECT_EQ(r.limit_upperlimit, 5u);
             EXPECT_EQ(r.limit_lowerlimit, 10u);
             EXPECT_STREQ(r.limit_expression, "tpdoave <");
         }},
        {"equal limits", kSync,
         [](auto& t) {
             t.limitEnable = true;
             t.upperLimit = "10"s;
             t.lowerLimit = "10"s;
             t.limitExpression = "tpdoave < 5"s;
         },
         0, "", "", [](const auto& r) { EXPECT_EQ(r.limit_enable, 1); }},
        {"limit expression refused", kSync,
         [](auto& t) {
             t.limitEnable = true;
             t.limitExpression = "tpdoave <"s;
         },
         0, "Error in limit expression: *"},
        {"limit expression empty", kTurnaround, [](auto& t) { t.limitEnable = true; }, 0,
         "Error in limit expression: the expression is empty"},
        {"lower limit 0", kEvent,
         [](auto& t) {
             t.limitEnable = true;
             t.lowerLimit = ""s;
             t.limitExpression = "1"s;
         },
         0, "The lower test range limit must be at least 1 ms"},
        {"upper below lower", kSync,
         [](auto& t) {
             t.limitEnable = true;
             t.upperLimit = "9"s;
             t.lowerLimit = "10"s;
             t.limitExpression = "1"s;
         },
         0, "The upper test range limit must be greater than the lower test range limit"},
        {"upper limit 65536 on an event page", kEventRPDOs,
         [](auto& t) {
             t.limitEnable = true;
             t.upperLimit = "65536"s;
             t.limitExpression = "1"s;
         },
         0, kEventAbove},
        {"upper limit 65536 on the turnaround page, search off", kTurnaround,
         [](auto& t) { t.upperLimit = "65536"s; }, 0,
         "The upper test range limit of 65536 ms cannot be sent by the support module (at most 52428 ms)."},
        {"fields and frames by page", kTurnaround,
         [](auto& t) {
             t.transmissionType = 254;
             t.ciatr308options = 0xFF;
             t.rpdo[0].dlc = 5;
             t.phase1rpdo[1] = {0x201, 3, {1, 2, 3}};
             t.phase2rpdo[7].dlc = 2;
         },
         0, "", "",
         [](const auto& r) {
             EXPECT_EQ(r.tpdotransmissiontype, 254);
             EXPECT_EQ(r.ciatr308options, 0x0Fu);
             EXPECT_EQ(r.rpdo[0].dlc, 0);
             EXPECT_EQ(r.phase1rpdo[1].id, 0x201u);
             EXPECT_EQ(r.phase1rpdo[1].data[2], 3);
             EXPECT_EQ(r.phase2rpdo[7].dlc, 2);
         }},
        {"a sync page has no transmission type", kSyncRPDOs,
         [](auto& t) {
             t.transmissionType = 254;
             t.rpdo[3].dlc = 1;
             t.phase1rpdo[0].dlc = 4;
         },
         0, "", "",
         [](const auto& r) {
             EXPECT_EQ(r.tpdotransmissiontype, 0);
             EXPECT_EQ(r.rpdo[3].dlc, 1);
             EXPECT_EQ(r.phase1rpdo[0].dlc, 0);
         }},
    };

    TExpressions expressions;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TimingSettingsTexts texts = baseTexts();
        c.edit(texts);
        const TimingSettingsVerdict v = TimingSettingsCheck(c.kind, expressions).Check(texts, c.bitrate);
        if (!c.message.empty() && c.message.back() == '*')
            EXPECT_EQ(v.message.substr(0, c.message.size() - 1), c.message.substr(0, c.message.size() - 1));
        else
            EXPECT_EQ(v.message, c.message);
        EXPECT_EQ(v.warning, c.warning);
        if (c.expect && v.accepted())
            c.expect(v.record);
    }
}

TEST(TimingSettingsCheckTest, BusLoadRuleAndFrameDescriptions) {
    // n x 120 + 50 bits against rate x period: 530 bits for four TPDOs.
    EXPECT_TRUE(TimingSettingsCheck::ExceedsBusLoad(4, 4, 125));
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(5, 4, 125));
    EXPECT_TRUE(TimingSettingsCheck::ExceedsBusLoad(1, 4, 500));
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(1, 4, 1000));
    EXPECT_TRUE(TimingSettingsCheck::ExceedsBusLoad(26, 4, 20));
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(27, 4, 20));
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(2, 0, 125));
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(2, 4, 0));  // bit rate unknown
    // 1000 kbit/s x 4294968 ms passes 2^32 bits: a 32-bit capacity would wrap to 704 bits.
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(4294968, 4, 1000));
    EXPECT_FALSE(TimingSettingsCheck::ExceedsBusLoad(0xFFFFFFFFu, 4, 1000));

    RPDOFrame f{0, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    EXPECT_EQ(describeRPDOFrame(f), "8 bytes - FF FF FF FF FF FF FF FF");
    f = {0, 1, {0x0A, 0xFF}};
    EXPECT_EQ(describeRPDOFrame(f), "1 byte - 0A");
    f = {0, 0, {0x0A}};
    EXPECT_EQ(describeRPDOFrame(f), "0 bytes -");
    f = {0, 12, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(describeRPDOFrame(f), "12 bytes - 01 02 03 04 05 06 07 08");

    EXPECT_EQ(TimingSettingsCheck::ReadUnsigned("  0X1f", 16), 0x1Fu);
    EXPECT_EQ(TimingSettingsCheck::ReadUnsigned("0x10", 10), 0u);
    EXPECT_EQ(TimingSettingsCheck::ReadUnsigned("123456789ABC", 16), 0xFFFFFFFFu);
    EXPECT_EQ(TimingSettingsCheck::ReadUnsigned("+7", 10), 0u);
}

} // namespace
} // namespace ostrel::vessolt
