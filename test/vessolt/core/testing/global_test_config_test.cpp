#include "testing/global_test_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "services/device_summary.h"
#include "services/log.h"
#include "platform/ini.h"
#include "platform/registry.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;
using ostrel::platform::IniFile;
using ostrel::platform::RegistryKey;
using ostrel::platform::RegistryRoot;
namespace fs = std::filesystem;

namespace ostrel::vessolt {
std::ostream& operator<<(std::ostream& out, const GLOBALCONFIG& c) {
    return out << "{" << c.configurenode << ", \"" << c.dcfpath << "\", " << c.maxbootuptime << ", " << c.softnsm
               << ", " << int(c.softnsmnodeid) << "}";
}
} // namespace ostrel::vessolt

namespace {

const std::string kKey = "Software\\Ostrel\\CANopen Norbix Eval\\global";

class GlobalTestConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "globalcfg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        folder = tmpl;
        ::setenv("OSTREL_REGISTRY_DIR", (folder / "registry").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("OSTREL_REGISTRY_DIR");
        fs::remove_all(folder);
    }

    GLOBALCONFIG stored(const TGlobalTestConfig& config) {
        GLOBALCONFIG out;
        out.dcfpath = "untouched";
        EXPECT_EQ(config.Get(out), TGlobalTestConfig::Access::Done);
        return out;
    }

    fs::path folder;
    TLog log;
    TDeviceSummary summary;
    RecordingPrompt prompt;
};

const GLOBALCONFIG kEdited{true, "/data/node 5.dcf", 1250, true, 0x20};

} // namespace

TEST_F(GlobalTestConfigTest, FirstStartGivesTheDefaultsAndTheRegistryKeepsEditsAsIntegers) {
    {
        TGlobalTestConfig config;
        EXPECT_EQ(stored(config), (GLOBALCONFIG{false, "", 3000, false, 0x7F}));
        ASSERT_EQ(config.Set(kEdited, nullptr), TGlobalTestConfig::Access::Done);
    }  // saved when destroyed

    auto key = RegistryKey::open(RegistryRoot::CurrentUser, kKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->readInteger("configurenode"), 1);
    EXPECT_EQ(key->readInteger("softnsm"), 1);
    EXPECT_EQ(key->readInteger("maxbootuptime"), 1250);
    EXPECT_EQ(key->readInteger("softnsmnodeid"), 0x20);
    EXPECT_EQ(key->readString("dcfpath"), "/data/node 5.dcf");
    {
        TGlobalTestConfig config;
        EXPECT_EQ(stored(config), kEdited);
    }

    // Values that do not fit keep what was there; a missing value keeps it too.
    ASSERT_TRUE(key->writeInteger("softnsmnodeid", 300));
    ASSERT_TRUE(key->writeInteger("maxbootuptime", -5));
    ASSERT_TRUE(key->writeInteger("configurenode", 0));
    ASSERT_TRUE(key->deleteValue("dcfpath"));
    ASSERT_TRUE(key->flush());
    TGlobalTestConfig config;
    EXPECT_EQ(stored(config), (GLOBALCONFIG{false, "", 3000, true, 0x7F}));
}

TEST_F(GlobalTestConfigTest, ConfigurationFilesRoundTripTheSectionAndIgnoreValuesThatDoNotFit) {
    const std::string path = (folder / "run.ini").string();
    {
        TGlobalTestConfig config;
        ASSERT_EQ(config.Set(GLOBALCONFIG{true, "a.dcf", 500, false, 127}, nullptr), TGlobalTestConfig::Access::Done);
        IniFile file(path);
        ASSERT_TRUE(file.writeString("Test Manager", "order", "1"));
        ASSERT_TRUE(config.SaveSettings(file));
        ASSERT_TRUE(file.save());
    }
    IniFile file(path);
    ASSERT_TRUE(file.load());
    EXPECT_EQ(file.readString("Global Configuration", "configurenode"), "1");
    EXPECT_EQ(file.readString("Global Configuration", "softnsm"), "0");
    EXPECT_EQ(file.readString("Global Configuration", "softnsmnodeid"), "127");
    EXPECT_EQ(file.sections(), (std::vector<std::string>{"Test Manager", "Global Configuration"}));

    TGlobalTestConfig config;
    config.LoadSettings(file);
    EXPECT_EQ(stored(config), (GLOBALCONFIG{true, "a.dcf", 500, false, 127}));

    // A file from elsewhere: a node id of 300 is not taken as its low byte, a negative time is
    // refused, a section without a key keeps the current value.
    ASSERT_EQ(config.Set(kEdited, nullptr), TGlobalTestConfig::Access::Done);
    IniFile odd;
    ASSERT_TRUE(odd.loadFromString("[global configuration]\nSOFTNSMNODEID=300\nmaxbootuptime=-1\nsoftnsm=0\n"));
    config.LoadSettings(odd);
    GLOBALCONFIG expected = kEdited;
    expected.softnsm = false;
    EXPECT_EQ(stored(config), expected);
}

TEST_F(GlobalTestConfigTest, AValueWithACarriageReturnReadsAsItIsSavedAndAnUnwritableOneFailsTheSave) {
    IniFile damaged;
    ASSERT_TRUE(damaged.loadFromString("[Global Configuration]\ndcfpath=/data/a.dcf \rmaxbootuptime=5\n"));
    TGlobalTestConfig config, reread;
    config.LoadSettings(damaged);
    IniFile saved;
    ASSERT_TRUE(config.SaveSettings(saved));
    reread.LoadSettings(saved);
    EXPECT_EQ(stored(config).dcfpath, "/data/a.dcf");
    EXPECT_EQ(stored(reread), stored(config));

    GLOBALCONFIG unwritable = stored(config);
    unwritable.dcfpath = "a\rb";
    ASSERT_EQ(config.Set(unwritable, nullptr), TGlobalTestConfig::Access::Done);
    EXPECT_FALSE(config.SaveSettings(saved));
}

TEST_F(GlobalTestConfigTest, TheScriptTravelsWithTheSettingsAndAFailedSaveStoresNothing) {
    TRatingsScript script(folder.string(), log, summary, prompt);
    TGlobalTestConfig config(TGlobalTestConfig::ScriptFileOf(script));

    // No ratings.py yet: the record arrives, the text is empty, the caller is told why.
    GLOBALCONFIG out;
    std::string text = "stale", why;
    EXPECT_EQ(config.Get(out, &text, &why), TGlobalTestConfig::Access::ScriptFailed);
    EXPECT_EQ(out, GLOBALCONFIG{});
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(why, std::strerror(ENOENT));

    // The bytes travel as they stand: CR LF ends and Latin-1 text included.
    const std::string edited = "# coding: latin-1\r\nname = '\xe9'\r\n  x = 1";
    ASSERT_EQ(config.Set(kEdited, &edited), TGlobalTestConfig::Access::Done);
    std::ifstream saved(folder / "ratings.py", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), edited);
    EXPECT_EQ(config.Get(out, &text), TGlobalTestConfig::Access::Done);
    EXPECT_EQ(out, kEdited);
    EXPECT_EQ(text, edited);

    // Saving into a folder that is gone fails: the settings stay as they were.
    TRatingsScript lost((folder / "gone").string(), log, summary, prompt);
    TGlobalTestConfig other;
    ASSERT_TRUE(other.SetScriptFile(TGlobalTestConfig::ScriptFileOf(lost)));
    EXPECT_EQ(other.Set(GLOBALCONFIG{true, "x", 10, false, 1}, &edited, &why), TGlobalTestConfig::Access::ScriptFailed);
    EXPECT_EQ(why, std::strerror(ENOENT));
    EXPECT_EQ(stored(other), GLOBALCONFIG{});
}

TEST_F(GlobalTestConfigTest, AccessWhileAnotherThreadHoldsTheLockLeavesTheRecordAsItWas) {
    std::mutex gate;
    std::condition_variable opened;
    bool inside = false;
    bool release = false;
    TGlobalTestConfig::ScriptFile slowFile;
    slowFile.save = [&](const std::string&, std::string&) {
        std::unique_lock lock(gate);
        inside = true;
        opened.notify_all();
        opened.wait(lock, [&] { return release; });
        return true;
    };
    TGlobalTestConfig config(slowFile);
    const std::string script = "pass\n";
    auto holder = std::async(std::launch::async, [&] { return config.Set(kEdited, &script); });
    {
        std::unique_lock lock(gate);
        ASSERT_TRUE(opened.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
    }

    GLOBALCONFIG out{true, "mine", 1, true, 9};
    const GLOBALCONFIG before = out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(config.Get(out), TGlobalTestConfig::Access::Busy);
    EXPECT_GE(std::chrono::steady_clock::now() - start, TGlobalTestConfig::kLockWait);
    EXPECT_EQ(out, before);
    EXPECT_EQ(config.Set(before, nullptr), TGlobalTestConfig::Access::Busy);

    {
        std::lock_guard lock(gate);
        release = true;
    }
    opened.notify_all();
    EXPECT_EQ(holder.get(), TGlobalTestConfig::Access::Done);
    EXPECT_EQ(stored(config), kEdited);
}
