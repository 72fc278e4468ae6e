// Settings of the timing tests in real INI files and the real registry store.
#include "timing_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/ini.h"
#include "platform/registry.h"

namespace ostrel::vessolt {
namespace {

class TimingSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("timing_settings_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        ::setenv("OSTREL_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static TimingTestConfig sample() {
        TimingTestConfig c;
        c.manual_enable = 1;
        c.manualtestcycles = 2;
        c.manualtime[0] = 20;
        c.manualtime[1] = 70000;
        c.syncid = 0x100;
        c.alarm_enable = 1;
        c.alarm_operation = 2;
        setTimingExpression(c.alarm_expression, "tpdodev > 10");
        c.ciatr308options = 5;
        c.limit_enable = 1;
        c.limit_upperlimit = 300;
        c.limit_lowerlimit = 7;
        setTimingExpression(c.limit_expression, "tpdoave <= 137");
        c.tpdotransmissiontype = 254;
        for (auto* frames : {&c.rpdo, &c.phase1rpdo, &c.phase2rpdo})
            for (size_t n = 0; n < frames->size(); ++n) {
                (*frames)[n].dlc = static_cast<uint8_t>(n);
                (*frames)[n].data[7] = static_cast<uint8_t>(0xF0 + n);
            }
        return c;
    }

    std::filesystem::path dir_;
};

void expectSettingsEqual(const TimingVariant& v, const TimingTestConfig& a, const TimingTestConfig& b) {
    EXPECT_EQ(a.manual_enable, b.manual_enable);
    EXPECT_EQ(a.manualtestcycles, b.manualtestcycles);
    EXPECT_EQ(a.manualtime, b.manualtime);
    EXPECT_STREQ(a.alarm_expression, b.alarm_expression);
    EXPECT_STREQ(a.limit_expression, b.limit_expression);
    EXPECT_EQ(a.alarm_operation, b.alarm_operation);
    EXPECT_EQ(a.ciatr308options, b.ciatr308options);
    EXPECT_EQ(a.limit_upperlimit, b.limit_upperlimit);
    EXPECT_EQ(a.limit_lowerlimit, b.limit_lowerlimit);
    if (v.hasSync) {
        EXPECT_EQ(a.syncid, b.syncid);
    }
    if (v.hasTransmissionType) {
        EXPECT_EQ(a.tpdotransmissiontype, b.tpdotransmissiontype);
    }
    for (size_t n = 0; n < 8; ++n) {
        if (v.hasRpdo) {
            EXPECT_EQ(a.rpdo[n].data[7], b.rpdo[n].data[7]);
        }
        if (v.isTurnaround) {
            EXPECT_EQ(a.phase2rpdo[n].dlc, b.phase2rpdo[n].dlc);
        }
    }
}

std::string keyList(const std::vector<std::string>& keys) {
    std::string s;
    for (const auto& k : keys)
        s += k + ",";
    return s;
}

TEST_F(TimingSettingsTest, EveryTestRoundTripsItsKeysInOrder) {
    const std::string head = "manualtestcycles,manualtime0,manualtime1,manual_enable,";
    const std::string alarm = "alarm_enable,alarm_operation,alarm_expression,ciatr308options,";
    const std::string limit = "limit_enable,limit_upperlimit,limit_lowerlimit,limit_expression,";
    const std::string frames = "rpdo0dlc,rpdo0data0,rpdo0data1,rpdo0data2,rpdo0data3,rpdo0data4,rpdo0data5,"
                               "rpdo0data6,rpdo0data7,rpdo1dlc,";
    for (auto kind : {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs, TimingTestKind::TPDOEvent,
                      TimingTestKind::TPDOEventRPDOs, TimingTestKind::PDOTurnaround}) {
        const TimingVariant& v = timingVariant(kind);
        SCOPED_TRACE(v.displayName);
        platform::IniFile file((dir_ / "t.ini").string());
        saveTimingTestConfig(v, sample(), file);
        ASSERT_TRUE(file.save());
        platform::IniFile read((dir_ / "t.ini").string());
        ASSERT_TRUE(read.load());
        TimingTestConfig back;
        loadTimingTestConfig(v, back, read);
        expectSettingsEqual(v, sample(), back);
        EXPECT_EQ(back.activecycles, 2);
        EXPECT_EQ(back.time[1], 70000u);

        const std::string keys = keyList(read.keys(v.displayName));
        switch (kind) {
        case TimingTestKind::TPDOSync:
            EXPECT_EQ(keys, head + "syncid," + alarm + limit);
            break;
        case TimingTestKind::TPDOSyncRPDOs:
            EXPECT_EQ(keys.find(head + "syncid," + frames), 0u);
            EXPECT_NE(keys.find("rpdo7data7," + alarm + limit), std::string::npos);
            break;
        case TimingTestKind::TPDOEvent:
            EXPECT_EQ(keys, head + alarm + limit + "tpdotransmissiontype,");
            break;
        case TimingTestKind::TPDOEventRPDOs:
            EXPECT_EQ(keys.find(head + frames), 0u);
            EXPECT_NE(keys.find("rpdo7data7," + alarm + limit + "tpdotransmissiontype,"), std::string::npos);
            break;
        case TimingTestKind::PDOTurnaround:
            EXPECT_NE(keys.find(alarm + "phase1rpdo0dlc,"), std::string::npos);
            EXPECT_NE(keys.find("phase1rpdo0data7,phase2rpdo0dlc,"), std::string::npos);
            EXPECT_NE(keys.find("phase2rpdo7data7," + limit + "tpdotransmissiontype,"), std::string::npos);
            break;
        }

        // The registry: the same values, then the window's keys.
        WindowPlacement window{0, 10, 20, 640, 480};
        ASSERT_TRUE(saveTimingSettings(v, sample(), window));
        TimingTestConfig fromRegistry;
        const WindowPlacement placed = loadTimingSettings(v, fromRegistry);
        expectSettingsEqual(v, sample(), fromRegistry);
        EXPECT_EQ(placed.width, 640);
        auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, timingRegistryPath(v));
        ASSERT_TRUE(key);
        std::vector<std::string> names;
        for (const auto& value : key->values())
            names.push_back(value.name);
        const std::string order = keyList(names);
        const std::string windowKeys = "windowstate,top,left,width,height,";
        if (kind == TimingTestKind::TPDOEvent) {
            EXPECT_EQ(order, head + alarm + limit + windowKeys + "tpdotransmissiontype,");
        } else if (kind == TimingTestKind::TPDOEventRPDOs) {
            EXPECT_NE(order.find(limit + "tpdotransmissiontype,rpdo0dlc,"), std::string::npos);
        } else if (kind == TimingTestKind::PDOTurnaround) {
            EXPECT_NE(order.find(limit + "tpdotransmissiontype,phase1rpdo0dlc,"), std::string::npos);
        }
        EXPECT_EQ(order.substr(order.size() - windowKeys.size() - (kind == TimingTestKind::TPDOEvent ? 21 : 0),
                               windowKeys.size()),
                  windowKeys);
    }
}

TEST_F(TimingSettingsTest, LoadersBoundWhatTheyRead) {
    const TimingVariant& v = timingVariant(TimingTestKind::TPDOEvent);
    platform::IniFile file;
    const std::string long320(320, 'x');
    file.loadFromString("[TPDO Event]\nmanualtestcycles=3\nmanualtime0=1\nmanualtime1=2\nmanualtime2=3\n"
                        "manualtime3=4\nmanualtime4=5\nmanual_enable=1\ntpdotransmissiontype=-1\n"
                        "alarm_expression=" + long320 + "\nlimit_expression=\nlimit_upperlimit=\n"
                        "limit_lowerlimit=junk\n");
    TimingTestConfig c = sample();
    loadTimingTestConfig(v, c, file);
    EXPECT_EQ(c.manualtestcycles, 3);
    EXPECT_EQ(c.manualtime[2], 3u);
    EXPECT_EQ(c.manualtime[3], 0u);  // keys beyond the count are ignored
    EXPECT_EQ(c.activecycles, 3);
    EXPECT_EQ(c.tpdotransmissiontype, 255);
    EXPECT_EQ(std::string(c.alarm_expression), long320.substr(0, 299));
    EXPECT_STREQ(c.limit_expression, "");      // an empty text clears
    EXPECT_EQ(c.limit_upperlimit, 300u);       // an empty integer keeps
    EXPECT_EQ(c.limit_lowerlimit, 7u);

    platform::IniFile rewritten;
    saveTimingTestConfig(v, c, rewritten);
    EXPECT_FALSE(rewritten.keyExists("TPDO Event", "manualtime3"));

    // A character that would straddle the cut is left out whole.
    std::string utf8(298, 'a');
    utf8 += "\xC3\xA9";
    setTimingExpression(c.alarm_expression, utf8.c_str());
    EXPECT_EQ(std::string(c.alarm_expression), std::string(298, 'a'));

    // Counts and frame lengths are clamped; a registry value of another type is missing.
    file.loadFromString("[TPDO Event + RPDOs]\nmanualtestcycles=99\nrpdo2dlc=200\n");
    loadTimingTestConfig(timingVariant(TimingTestKind::TPDOEventRPDOs), c, file);
    EXPECT_EQ(c.manualtestcycles, 40);
    EXPECT_EQ(c.rpdo[2].dlc, 8);
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, timingRegistryPath(v));
    ASSERT_TRUE(key);
    key->writeString("limit_upperlimit", "500");
    key->writeInteger("manualtime0", 77);  // no count: not read
    TimingTestConfig r = sample();
    loadTimingSettings(v, r);
    EXPECT_EQ(r.limit_upperlimit, 300u);
    EXPECT_EQ(r.manualtime[0], 20u);
}

} // namespace
} // namespace ostrel::vessolt
