// File -> Open Configuration: the test manager's reading of a test configuration file (the order of
// the tests, the global configuration, each timing test's section) and the network configuration's.
// Input: the length of a first file (2 bytes) and its text, opened unchecked to bring the program
// into some state; then the text of the file whose opening is checked.
// What a user expects: every setting is afterwards either the file's value or what it was; nothing
// outside the file's sections changes, and the results of a test whose settings stay, stay; a value
// the file gives that is not taken has a line in the log; a file that is no configuration changes
// nothing. The settings are compared as the program's own Save Configuration writes them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "expressions/expressions.h"
#include "fuzz_files.h"
#include "network/network_config.h"
#include "network/symbols.h"
#include "platform/ini.h"
#include "services/ini_text.h"
#include "services/log.h"
#include "testing/global_test_config.h"
#include "testing/test_manager.h"
#include "timing_config.h"
#include "timing_engine.h"
#include "timing_registration.h"
#include "timing_variant.h"

namespace {

using namespace ostrel::vessolt;
using ostrel::fuzz::scratch;
using ostrel::platform::IniFile;
using ostrel::platform::parseIniInteger;

constexpr TimingTestKind kTimingKinds[] = {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs,
                                           TimingTestKind::TPDOEvent, TimingTestKind::TPDOEventRPDOs,
                                           TimingTestKind::PDOTurnaround};
constexpr const char* kManagerSection = "Test Manager";

class NoCycle : public TimingCycleDriver {
public:
    int RunCycle(int, TimingCycleHost&) override { return kCycleOk; }
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The program's test half and network half as the main window holds them.
struct Program {
    explicit Program(TExpressions& expressions)
        : global({}, "Software\\Fuzz\\global", &log), manager(log, hooks()), network(&log) {
        for (const auto& [id, name] : {std::pair<int32_t, const char*>{20, "Object Dictionary Scan"}, {30, "PDO Analysis"}}) {
            TestRegistration record;
            record.name = name;
            manager.AddTest(id, record);
        }
        for (const TimingTestKind kind : kTimingKinds) {
            engines.push_back(std::make_unique<TimingTestEngine>(
                kind, TimingTestEngine::Services{manager, log, expressions}, cycle));
            RegisterTimingTest(manager, *engines.back(), {});
        }
    }
    TestManagerHooks hooks() {
        TestManagerHooks h;
        h.log = [this] { return &log; };
        h.loadGlobalConfig = [this](IniFile& ini) { global.LoadSettings(ini); };
        h.saveGlobalConfig = [this](IniFile& ini) { return global.SaveSettings(ini); };
        return h;
    }
    // As the main window opens a configuration.
    bool open(const std::string& path, std::string& error) {
        if (!manager.LoadSettings(path, &error)) return false;
        network.LoadSettings(path);
        return true;
    }
    // Every setting as Save Configuration writes it.
    IniFile saved() {
        const std::string path = scratch().file("saved.nbx");
        std::error_code ec;
        std::filesystem::remove(path, ec);
        std::string error;
        FUZZ_CHECK(manager.SaveSettings(path, &error), "the settings were not saved: %s", error.c_str());
        FUZZ_CHECK(network.SaveSettings(path, &error), "the network was not saved: %s", error.c_str());
        IniFile file(path);
        FUZZ_CHECK(file.load(), "the saved settings do not load");
        return file;
    }
    struct TestState {
        int32_t id;
        bool enabled;
        int32_t status;
    };
    std::vector<TestState> tests() {
        std::vector<TestState> out;
        TEST t;
        for (int32_t id = manager.GetFirstTest(t); id != 0; id = manager.GetNextTest(t))
            out.push_back({t.testid, t.enabled, t.status});
        return out;
    }

    TLog log;
    TGlobalTestConfig global;
    TTestManager manager;
    NoCycle cycle;
    std::vector<std::unique_ptr<TimingTestEngine>> engines;
    NetworkConfig network;
};

bool isRowKey(const std::string& key) {
    for (const char* prefix : {"nodeid", "nodename", "nodeeds", "nodesimproduct", "nodesetupfile", "nodesimdll",
                               "nodesimio", "nodeusesimproduct"})
        if (key.rfind(prefix, 0) == 0 && key.size() > std::string_view(prefix).size() &&
            std::isdigit(static_cast<unsigned char>(key[std::string_view(prefix).size()])))
            return true;
    return key == "totalnodes";
}

bool isPeriodKey(const std::string& key) { return key == "manualtestcycles" || key.rfind("manualtime", 0) == 0; }

// The value a file gives: present and not blank, as the program reads text.
std::optional<std::string> given(const IniFile& file, const std::string& section, const std::string& key) {
    if (!file.keyExists(section, key)) return std::nullopt;
    std::string value = readIniText(file, section, key);
    if (value.find_first_not_of(" \t\v\f") == std::string::npos) return std::nullopt;
    return value;
}

// `saved` (as the program writes the setting) is the file's `value`: the same text, the same
// number, the same truth of a flag, or the file's text cut to the field that holds it.
bool isTheFilesValue(const std::string& saved, const std::string& value) {
    if (saved == value) return true;
    const auto a = parseIniInteger(saved), b = parseIniInteger(value);
    if (a && b && *a == *b) return true;
    if (b && (saved == "0" || saved == "1") && ((*b != 0) == (saved == "1"))) return true;
    return saved.size() + 4 >= kTimingExpressionSize - 1 && value.compare(0, saved.size(), saved) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("OSTREL_REGISTRY_DIR", scratch().file("registry").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TExpressions expressions;
    std::error_code ec;
    std::filesystem::remove_all(scratch().file("registry"), ec);  // nothing carries over from one input to the next

    ostrel::fuzz::InputReader in(data, size);
    const std::size_t firstLength = in.byte() | (static_cast<std::size_t>(in.byte()) << 8);
    const std::string first = in.text(firstLength);
    const std::string text = in.rest();

    Program program(expressions);
    std::string error;
    (void)program.open(scratch().write("first.nbx", first), error);
    for (const auto& t : program.tests()) program.manager.SetTestStatus(t.id, PASSED);

    const IniFile before = program.saved();
    const auto testsBefore = program.tests();
    const auto rowsBefore = program.network.rows();
    std::map<std::string, std::vector<uint32_t>> periodsBefore;
    for (const auto& engine : program.engines) {
        TimingTestConfig c;
        engine->GetConfig(c);
        periodsBefore[engine->Variant().displayName] =
            std::vector<uint32_t>(c.manualtime.begin(), c.manualtime.begin() + std::clamp(c.manualtestcycles, 0, kTimingMaxCycles));
    }
    const int32_t logFrom = program.log.GetLineCount();

    const std::string path = scratch().write("checked.nbx", text);
    error.clear();
    const bool opened = program.open(path, error);
    const IniFile after = program.saved();
    const auto testsAfter = program.tests();
    IniFile file(path);
    FUZZ_CHECK(file.load(), "the checked file does not load");
    const auto logged = [&](const std::string& section, const std::string& key) {
        const std::string place = lower("[" + section + "]"), name = lower(key);
        for (int32_t i = logFrom; i < program.log.GetLineCount(); ++i) {
            const std::string line = lower(program.log.GetLine(i));
            if (line.find(name) != std::string::npos || line.find(place) != std::string::npos) return true;
        }
        return false;
    };

    if (!opened) {
        FUZZ_CHECK(!error.empty(), "a refused file gave no reason");
        FUZZ_CHECK(after.toString() == before.toString(), "a refused file changed a setting");
        for (std::size_t i = 0; i < testsAfter.size(); ++i)
            FUZZ_CHECK(testsAfter[i].id == testsBefore[i].id && testsAfter[i].enabled == testsBefore[i].enabled &&
                           testsAfter[i].status == testsBefore[i].status,
                       "a refused file changed the test list");
        return 0;
    }

    // Every setting the program saves, section by section.
    std::set<std::string> sections;
    for (const IniFile* f : {&before, &after})
        for (const std::string& s : f->sections()) sections.insert(s);
    for (const std::string& section : sections) {
        const bool inFile = file.sectionExists(section);
        std::set<std::string> keys;
        for (const IniFile* f : {&before, &after})
            for (const std::string& k : f->keys(section)) keys.insert(k);
        for (const std::string& key : keys) {
            const std::string b = before.readString(section, key, "(none)");
            const std::string a = after.readString(section, key, "(none)");
            if (!inFile) {
                FUZZ_CHECK(a == b, "[%s] %s changed from \"%s\" to \"%s\", and the file has no such section",
                           section.c_str(), key.c_str(), b.c_str(), a.c_str());
                continue;
            }
            if (section == kManagerSection || (section == kNetworkConfigSection && isRowKey(key)) || isPeriodKey(key))
                continue;  // lists, below
            const std::optional<std::string> value = given(file, section, key);
            if (a != b) {
                const bool defaultSize = section == kNetworkConfigSection && (key == "width" || key == "height") &&
                                         value && !parseIniInteger(*value) && a == "400";  // the documented rule
                FUZZ_CHECK(value && (isTheFilesValue(a, *value) || defaultSize),
                           "[%s] %s became \"%s\": it was \"%s\" and the file says %s%s%s", section.c_str(), key.c_str(),
                           a.c_str(), b.c_str(), value ? "\"" : "", value ? value->c_str() : "nothing", value ? "\"" : "");
            } else if (value && !isTheFilesValue(a, *value)) {
                FUZZ_CHECK(logged(section, key), "[%s] %s=%s was not taken (it stays \"%s\") and the log does not say so",
                           section.c_str(), key.c_str(), value->c_str(), a.c_str());
            }
        }
    }

    // The order and the enabled flags of the tests.
    const bool orderInFile = file.sectionExists(kManagerSection);
    const std::optional<std::string> testnum = given(file, kManagerSection, "testnum");
    for (std::size_t i = 0; i < testsAfter.size(); ++i) {
        const auto& t = testsAfter[i];
        const auto was = std::find_if(testsBefore.begin(), testsBefore.end(), [&](const auto& s) { return s.id == t.id; });
        FUZZ_CHECK(was != testsBefore.end(), "test %d appeared", t.id);
        if (!orderInFile)
            FUZZ_CHECK(testsAfter[i].id == testsBefore[i].id, "the order of the tests changed, and the file has no [%s]",
                       kManagerSection);
        if (t.enabled == was->enabled) continue;
        bool fromFile = false;
        const auto count = testnum ? parseIniInteger(*testnum) : std::nullopt;
        for (int32_t j = 0; count && j < std::min(*count, TTestManager::kMaxTests); ++j) {
            const auto id = given(file, kManagerSection, "testid" + std::to_string(j));
            const auto on = given(file, kManagerSection, "testenabled" + std::to_string(j));
            if (id && parseIniInteger(*id) == t.id && on && parseIniInteger(*on)) {
                fromFile = (*parseIniInteger(*on) != 0) == t.enabled;
                break;
            }
        }
        FUZZ_CHECK(fromFile, "test %d was %s, and the file does not say so", t.id, t.enabled ? "enabled" : "disabled");
    }

    // The periods of each timing test: the file's or those it had.
    for (const auto& engine : program.engines) {
        const std::string section = engine->Variant().displayName;
        TimingTestConfig c;
        engine->GetConfig(c);
        const std::vector<uint32_t> periods(c.manualtime.begin(),
                                            c.manualtime.begin() + std::clamp(c.manualtestcycles, 0, kTimingMaxCycles));
        const std::vector<uint32_t>& was = periodsBefore[section];
        if (periods == was) continue;
        FUZZ_CHECK(file.sectionExists(section), "the periods of [%s] changed, and the file has no such section",
                   section.c_str());
        for (const uint32_t p : periods) {
            bool known = std::find(was.begin(), was.end(), p) != was.end();
            for (int j = 0; !known && j < kTimingMaxCycles; ++j)
                if (const auto v = given(file, section, "manualtime" + std::to_string(j)))
                    known = parseIniInteger(*v) && static_cast<uint32_t>(*parseIniInteger(*v)) == p;
            FUZZ_CHECK(known, "[%s] holds the period %u, which is neither the file's nor one it had", section.c_str(), p);
        }
    }

    // The results of a test whose settings stay, stay.
    for (const auto& t : testsAfter) {
        std::string name;
        for (const auto& engine : program.engines)
            if (engine->Variant().testNumber == t.id) name = engine->Variant().displayName;
        bool same = true;
        if (!name.empty())
            for (const std::string& key : after.keys(name))
                same = same && after.readString(name, key) == before.readString(name, key, "(none)");
        if (same)
            FUZZ_CHECK(t.status == PASSED, "the result of test %d went, although its settings stayed", t.id);
    }

    // The network table: as it was, or as the file gives it.
    const auto& rows = program.network.rows();
    if (rows != rowsBefore) {
        FUZZ_CHECK(file.sectionExists(kNetworkConfigSection), "the network changed, and the file has no [%s]",
                   kNetworkConfigSection);
        const auto total = given(file, kNetworkConfigSection, "totalnodes");
        FUZZ_CHECK(total && parseIniInteger(*total), "the network table changed, and the file's totalnodes is %s",
                   total ? total->c_str() : "missing");
        std::size_t next = 0;  // the file's rows in order, some left out
        for (const NetworkConfigNode& row : rows) {
            bool matched = false;
            for (; next < kMaxNetworkNodes && !matched; ++next) {
                const auto field = [&](const char* name) { return given(file, kNetworkConfigSection, name + std::to_string(next)); };
                const auto id = field("nodeid");
                const auto eds = field("nodeeds");
                std::string name = field("nodename").value_or("");
                cutToField(name, kNodeNameField);
                matched = id && parseIniInteger(*id) == row.nodeId && row.name == name &&
                          (row.edsPath == eds.value_or("") || (row.edsPath.empty() && logged(kNetworkConfigSection, "nodeeds" + std::to_string(next))));
            }
            FUZZ_CHECK(matched, "network row of node %u is no row of the file", row.nodeId);
        }
    }
    return 0;
}
