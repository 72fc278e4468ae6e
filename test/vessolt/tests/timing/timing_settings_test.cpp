// Settings of the timing tests in real INI files and the real registry store.
#include "timing_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <fstream>
#include <map>

#include "expressions/expressions.h"
#include "network/network_config.h"
#include "platform/ini.h"
#include "platform/registry.h"
#include "services/log.h"
#include "testing/global_test_config.h"
#include "testing/test_manager.h"
#include "timing_engine.h"
#include "timing_registration.h"

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
        c.manualtime[1] = 7000;
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
        loadTimingTestConfig(v, back, read, nullptr);
        expectSettingsEqual(v, sample(), back);
        EXPECT_EQ(back.activecycles, 2);
        EXPECT_EQ(back.time[1], 7000u);

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
        const WindowPlacement placed = loadTimingSettings(v, fromRegistry, nullptr);
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
    loadTimingTestConfig(v, c, file, nullptr);
    EXPECT_EQ(c.manualtestcycles, 3);
    EXPECT_EQ(c.manualtime[2], 3u);
    EXPECT_EQ(c.manualtime[3], 0u);  // keys beyond the count are ignored
    EXPECT_EQ(c.activecycles, 3);
    EXPECT_EQ(c.tpdotransmissiontype, 254);  // -1 is no item of the page's list
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

    // Counts and frame lengths beyond the page's are refused; a registry value of another type is
    // missing.
    file.loadFromString("[TPDO Event + RPDOs]\nmanualtestcycles=99\nrpdo2dlc=200\n");
    loadTimingTestConfig(timingVariant(TimingTestKind::TPDOEventRPDOs), c, file, nullptr);
    EXPECT_EQ(c.manualtestcycles, 3);
    EXPECT_EQ(c.rpdo[2].dlc, 2);
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, timingRegistryPath(v));
    ASSERT_TRUE(key);
    key->writeString("limit_upperlimit", "500");
    key->writeInteger("manualtime0", 77);  // no count: not read
    TimingTestConfig r = sample();
    loadTimingSettings(v, r, nullptr);
    EXPECT_EQ(r.limit_upperlimit, 300u);
    EXPECT_EQ(r.manualtime[0], 20u);
}

// A value the settings page would refuse is not loaded from either store: the field keeps what it
// held and one log line names where, the key and the value.
TEST_F(TimingSettingsTest, ValuesThePageWouldRefuseAreNotLoaded) {
    using Field = std::function<int64_t(const TimingTestConfig&, const GLOBALCONFIG&)>;
    struct Row {
        const char* test;  // display name; "Global Configuration" for the global settings
        bool registry;
        std::vector<std::pair<const char*, const char*>> values;
        Field field;
        int64_t expected;
        std::string logged;  // the line, from the store's name on
    };
    const std::string sync = "[TPDO Sync] ";
    const std::string syncKey = "Registry key Software\\Ostrel\\CANopen Norbix Eval\\TPDO Sync: ";
    const auto period0 = [](const TimingTestConfig& c, const GLOBALCONFIG&) { return c.manualtime[0]; };
    const auto count = [](const TimingTestConfig& c, const GLOBALCONFIG&) { return c.manualtestcycles; };
    const std::string periods = ": the list of periods stays as it was";
    const std::vector<Row> rows = {
        {"TPDO Sync", false, {{"manualtestcycles", "1"}, {"manualtime0", "0"}}, period0, 20,
         sync + "manualtime0=0 was not loaded (the settings page accepts 1 to 104857)" + periods},
        {"TPDO Sync", true, {{"manualtestcycles", "1"}, {"manualtime0", "0"}}, period0, 20,
         syncKey + "manualtime0=0 was not loaded (the settings page accepts 1 to 104857)" + periods},
        {"TPDO Sync", false, {{"manualtestcycles", "1"}, {"manualtime0", "99999999999"}}, period0, 20,
         sync + "manualtime0=99999999999 was not loaded (the settings page accepts 1 to 104857)" + periods},
        {"PDO Turnaround", true, {{"manualtestcycles", "1"}, {"manualtime0", "60000"}}, period0, 20,
         "Registry key Software\\Ostrel\\CANopen Norbix Eval\\PDO Turnaround: manualtime0=60000 was not loaded "
         "(the settings page accepts 1 to 52428)" + periods},
        {"TPDO Sync", false, {{"syncid", "0x12345678"}}, [](const auto& c, const auto&) { return c.syncid; }, 0x100,
         sync + "syncid=0x12345678 was not loaded (the settings page accepts 1 to 2047)"},
        {"TPDO Sync + RPDOs", false, {{"rpdo0data0", "300"}},
         [](const auto& c, const auto&) { return c.rpdo[0].data[0]; }, 0,
         "[TPDO Sync + RPDOs] rpdo0data0=300 was not loaded (the settings page accepts 0 to 255)"},
        {"TPDO Event", false, {{"tpdotransmissiontype", "100"}},
         [](const auto& c, const auto&) { return c.tpdotransmissiontype; }, 254,
         "[TPDO Event] tpdotransmissiontype=100 was not loaded (the settings page accepts 0, 254 or 255)"},
        // A refused count, or one without its periods, keeps the list in use.
        {"TPDO Sync", false, {{"manualtestcycles", "41"}}, count, 2,
         sync + "manualtestcycles=41 was not loaded (the settings page accepts 0 to 40)" + periods},
        {"TPDO Sync", false, {{"manualtestcycles", "3"}}, count, 2, sync + "manualtime0 is missing" + periods},
        {"Global Configuration", false, {{"maxbootuptime", "5"}},
         [](const auto&, const auto& g) { return g.maxbootuptime; }, 3000,
         "[Global Configuration] maxbootuptime=5 was not loaded (the settings page accepts 10 to 2147483647)"},
        {"global", true, {{"softnsmnodeid", "200"}}, [](const auto&, const auto& g) { return g.softnsmnodeid; },
         0x7F,
         "Registry key Software\\Ostrel\\Test\\global: softnsmnodeid=200 was not loaded (the settings page accepts "
         "1 to 127 (0x01 to 0x7F))"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.test) + (row.registry ? " registry" : " file"));
        const bool global = std::string(row.test) == "Global Configuration" || std::string(row.test) == "global";
        const std::string globalKey = "Software\\Ostrel\\Test\\global";
        const std::string path = global ? globalKey : std::string("\\Software\\Ostrel\\CANopen Norbix Eval\\") + row.test;
        platform::IniFile file;
        std::string text = "[" + std::string(row.test) + "]\n";
        for (const auto& [key, value] : row.values)
            text += std::string(key) + "=" + value + "\n";
        file.loadFromString(text);
        if (row.registry) {
            auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, path);
            ASSERT_TRUE(key);
            for (const auto& [name, value] : row.values)
                key->writeInteger(name, *platform::parseIniInteger(value));
        }
        TLog log;
        TimingTestConfig c = sample();
        GLOBALCONFIG g;
        if (global) {
            TGlobalTestConfig config({}, globalKey, &log);
            EXPECT_TRUE(row.registry || config.ReadIni(file));
            EXPECT_EQ(config.Get(g), TGlobalTestConfig::Access::Done);
        } else {
            for (auto kind : {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs, TimingTestKind::TPDOEvent,
                              TimingTestKind::PDOTurnaround})
                if (std::string(timingVariant(kind).displayName) == row.test) {
                    if (row.registry)
                        loadTimingSettings(timingVariant(kind), c, &log);
                    else
                        loadTimingTestConfig(timingVariant(kind), c, file, &log);
                }
        }
        EXPECT_EQ(row.field(c, g), row.expected);
        EXPECT_EQ(log.GetLineCount(), row.logged.empty() ? 0 : 1);
        EXPECT_EQ(log.GetLine(0), row.logged.empty() ? "" : "Warning: " + row.logged);
        platform::RegistryKey::remove(platform::RegistryRoot::CurrentUser, path);
    }
}

// The program's configuration (global settings, the five timing tests, the two other tests, the
// order and the network) saved by the real code, then opened again with each value in turn absent,
// empty, not a number, negative and huge, and cut after each line and each "=". After every open a
// setting is the file's or the one it had; a refused one is named in the log; a test whose settings
// stay keeps its results and its status.
TEST_F(TimingSettingsTest, OpeningADamagedConfigurationTakesValuesWholeOrNotAtAll) {
    struct NoCycles : TimingCycleDriver {
        int RunCycle(int, TimingCycleHost&) override { return kCycleOk; }
    } noCycles;
    TLog log;
    TExpressions expressions;
    TGlobalTestConfig global({}, "Software\\Ostrel\\Test\\global", &log);
    TTestManager manager(log, {.saveGlobalConfig = [&](platform::IniFile& f) { return global.SaveSettings(f); },
                               .loadGlobalConfig = [&](platform::IniFile& f) { global.LoadSettings(f); }});
    NetworkConfig network(&log);
    for (int32_t id : {20, 30})  // they keep nothing in a configuration file
        manager.AddTest(id, {.name = std::to_string(id), .SaveSettings = [](auto&) {}, .LoadSettings = [](auto&) {}});
    std::vector<std::unique_ptr<TimingTestEngine>> engines;
    for (int kind = 0; kind < 5; ++kind) {
        engines.push_back(std::make_unique<TimingTestEngine>(
            TimingTestKind(kind), TimingTestEngine::Services{manager, log, expressions}, noCycles));
        RegisterTimingTest(manager, *engines.back(), {});
    }
    // Two states that differ in every setting: the first is saved and damaged, the second opens it.
    const auto setState = [&](uint32_t v) {
        (void)global.Set({v == 0, "dcf" + std::to_string(v), int32_t(3000 + v), v == 0, uint8_t(0x40 + v)}, nullptr);
        for (auto& engine : engines) {
            TimingTestConfig c = sample();
            c.manual_enable = c.alarm_enable = c.limit_enable = int32_t(1 - v);
            c.manualtestcycles = int32_t(3 - v);
            c.manualtime[2] = 50 + v, c.syncid += v, c.alarm_operation -= v, c.ciatr308options += v;
            c.limit_upperlimit += v, c.limit_lowerlimit += v, c.tpdotransmissiontype = v ? 255 : 254;
            setTimingExpression(c.alarm_expression, v ? "tpdodev > 11" : "tpdodev > 10");
            setTimingExpression(c.limit_expression, v ? "tpdoave <= 138" : "tpdoave <= 137");
            for (auto* frames : {&c.rpdo, &c.phase1rpdo, &c.phase2rpdo})
                for (RPDOFrame& f : *frames)
                    for (uint8_t* byte : {&f.dlc, f.data, f.data + 1, f.data + 2, f.data + 3, f.data + 4, f.data + 5,
                                          f.data + 6, f.data + 7})
                        *byte = uint8_t(*byte + v);
            engine->SetConfig(c);
        }
        network.DeleteAll();
        network.useNetDesc = v == 0;
        network.netDesc = "net" + std::to_string(v);
        network.width = int(700 + v), network.height = int(450 + v);
        ASSERT_TRUE(network.AddNodes({uint8_t(0x10 + v), "Pump", "p.eds", "P", "s.ini", "d.so", "io", v}, int(2 - v)));
        manager.MoveTestUp(v ? 30 : 3);
        manager.EnableTest(v ? 30 : 1);
        manager.DisableTest(v ? 1 : 30);
    };
    const auto save = [&](const std::string& name) {
        const std::string path = (dir_ / name).string();
        std::filesystem::remove(path);
        EXPECT_TRUE(manager.SaveSettings(path) && network.SaveSettings(path));
        platform::IniFile file(path);
        EXPECT_TRUE(file.load());
        return file;
    };
    // File -> Open Configuration; a file that holds none of the sections changes nothing.
    const auto open = [&](const std::string& path) { return manager.LoadSettings(path) && network.LoadSettings(path); };
    // Each setting's text by section; a list (count and rows) and the order are one setting each.
    using Settings = std::map<std::string, std::map<std::string, std::string>>;
    const auto settingsOf = [](const platform::IniFile& file, const std::vector<std::string>& sections) {
        Settings out;
        for (const std::string& section : sections)
            for (const std::string& key : file.keys(section)) {
                const bool list = key.rfind("node", 0) == 0 || key == "totalnodes" || key.rfind("manualt", 0) == 0 ||
                                  section == "Test Manager";
                out[section][list ? "" : key] += key + "=" + file.readString(section, key) + "\n";
            }
        return out;
    };
    // The ids of the order by position, and each named test's flag.
    const auto orderOf = [](const platform::IniFile& file) {
        std::pair<std::vector<std::string>, std::map<std::string, std::string>> order;
        for (int j = 0; j < file.readInteger("Test Manager", "testnum", 0); ++j) {
            order.first.push_back(file.readString("Test Manager", "testid" + std::to_string(j)));
            order.second[order.first.back()] = file.readString("Test Manager", "testenabled" + std::to_string(j));
        }
        return order;
    };

    setState(0);
    const platform::IniFile a = save("a.nbx");
    const std::string text = a.toString();
    setState(1);
    const platform::IniFile b = save("b.nbx");
    const std::vector<std::string> sections = b.sections();
    ASSERT_EQ(sections.size(), 8u);
    const Settings before = settingsOf(b, sections), saved = settingsOf(a, sections);
    for (const auto& [section, values] : before)
        for (const auto& [name, value] : values)
            ASSERT_NE(saved.at(section).at(name), value) << section << " " << name;
    const auto [oldIds, oldFlags] = orderOf(b);

    std::vector<std::pair<std::string, std::string>> damaged;  // what was done, the file's text
    for (size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        damaged.push_back({"cut after " + line, text.substr(0, end + 1)});
        if (const size_t equals = line.find('='); equals != std::string::npos) {
            damaged.push_back({"cut after the = of " + line, text.substr(0, at + equals + 1)});
            damaged.push_back({"without " + line, text.substr(0, at) + text.substr(end + 1)});
            for (const char* value : {"", "abc", "-1", "99999999999"})
                damaged.push_back({line.substr(0, equals + 1) + value,
                                   text.substr(0, at + equals + 1) + value + text.substr(end)});
        }
    }
    ASSERT_GT(damaged.size(), 2000u);
    const std::string path = (dir_ / "damaged.nbx").string();
    for (const auto& [what, content] : damaged) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(open((dir_ / "b.nbx").string()));  // back to the second state, a result in every test
        for (auto& engine : engines)
            engine->WithRecord([](TimingTestConfig& r) { r.busload[0] = 42.5f; });
        for (int32_t id : {20, 30, 1, 2, 3, 4, 5})
            manager.SetTestStatus(id, PASSED);
        log.Clear();
        std::ofstream(path, std::ios::trunc) << content;
        (void)open(path);
        platform::IniFile file(path);
        ASSERT_TRUE(file.load());
        const platform::IniFile result = save("after.nbx");
        const Settings after = settingsOf(result, sections), inFile = settingsOf(file, sections);
        const std::vector<std::string> lines = log.GetLinesFrom(0);
        // The order is the file's where it names a test the program has; a test it does not name keeps
        // its flag.
        const auto [fileIds, fileFlags] = orderOf(file);
        const auto [ids, flags] = orderOf(result);
        bool orderTaken = true;
        for (size_t j = 0; j < ids.size(); ++j)
            orderTaken = orderTaken && (j >= fileIds.size() || !oldFlags.count(fileIds[j]) || ids[j] == fileIds[j]) &&
                         flags.at(ids[j]) == (fileFlags.count(ids[j]) ? fileFlags : oldFlags).at(ids[j]);
        for (const auto& [section, values] : before) {
            bool stays = true;
            for (const auto& [name, old] : values) {
                const std::string now = after.at(section).at(name);
                const std::string given =
                    inFile.count(section) && inFile.at(section).count(name) ? inFile.at(section).at(name) : "";
                stays = stays && now == old;
                EXPECT_TRUE(now == old || now == given || (section == "Test Manager" && orderTaken))
                    << section << ": " << now;
                const bool named = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                    return line.find("[" + section + "]") != std::string::npos;
                });
                EXPECT_TRUE(now != old || given.empty() || given == old || named)
                    << section << " " << name << " refused without a word";
            }
            for (auto& engine : engines) {
                TEST test;
                TimingTestConfig r;
                engine->GetConfig(r);
                ASSERT_TRUE(manager.GetTest(engine->Variant().testNumber, test));
                EXPECT_TRUE(test.status == PASSED ? r.busload[0] == 42.5f
                                                  : !stays || engine->Variant().displayName != section)
                    << engine->Variant().displayName << " lost its results or its status";
            }
        }
        for (int32_t id : {20, 30}) {
            TEST test;
            EXPECT_TRUE(manager.GetTest(id, test) && test.status == PASSED) << id;
        }
        if (HasFailure())
            break;
    }
}

} // namespace
} // namespace ostrel::vessolt
