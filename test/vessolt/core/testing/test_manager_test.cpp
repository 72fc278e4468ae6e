#include "testing/test_manager.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <sys/stat.h>

#include <platform/ini.h>
#include <platform/registry.h>

#include "services/log.h"
#include "services/product_key.h"
#include "services/window_messages.h"

using namespace ostrel::vessolt;
namespace fs = std::filesystem;

namespace {

// Records every message it is posted, from any thread.
class RecordingSink : public MessageSink {
public:
    void post(uint32_t message, uintptr_t wParam, intptr_t) override {
        std::lock_guard lock(mutex_);
        got_.emplace_back(message, wParam);
    }
    std::vector<std::pair<uint32_t, uintptr_t>> got() const {
        std::lock_guard lock(mutex_);
        return got_;
    }
    size_t count(uint32_t message) const {
        size_t n = 0;
        for (const auto& m : got())
            n += m.first == message ? 1 : 0;
        return n;
    }
    std::vector<uintptr_t> runStates() const {
        std::vector<uintptr_t> states;
        for (const auto& m : got())
            if (m.first == WM_TESTRUNSTATE)
                states.push_back(m.second);
        return states;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        got_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<uint32_t, uintptr_t>> got_;
};

// A gate a test's Run waits on, opened by the test body or by the test's Cancel.
class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// "HH:MM:SS on DD-Mon-YYYY" with an English month.
bool isLogTime(std::string_view t) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    auto digits = [&](size_t at, size_t n) {
        for (size_t i = at; i < at + n; ++i)
            if (i >= t.size() || t[i] < '0' || t[i] > '9')
                return false;
        return true;
    };
    return t.size() == 23 && digits(0, 2) && t[2] == ':' && digits(3, 2) && t[5] == ':' && digits(6, 2) &&
           t.substr(8, 4) == " on " && digits(12, 2) && t[14] == '-' && months.find(t.substr(15, 3)) % 3 == 0 &&
           months.find(t.substr(15, 3)) != std::string::npos && t[18] == '-' && digits(19, 4);
}

bool waitUntil(const std::function<bool()>& condition, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<int32_t> order(TTestManager& manager) {
    std::vector<int32_t> ids;
    TEST test;
    for (int32_t id = manager.GetFirstTest(test); id != 0; id = manager.GetNextTest(test))
        ids.push_back(id);
    return ids;
}

std::vector<int32_t> enabledIds(TTestManager& manager) {
    std::vector<int32_t> ids;
    TEST test;
    for (int32_t id = manager.GetFirstTest(test); id != 0; id = manager.GetNextTest(test))
        if (test.enabled)
            ids.push_back(id);
    return ids;
}

class TestManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "testmanager-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // The device tests' ids in the order their windows register them.
    void registerDeviceTests(TTestManager& manager) {
        for (int32_t id : {20, 30, 1, 2, 3, 4, 5})
            manager.AddTest(id, {.name = "T" + std::to_string(id)});
    }

    std::unique_ptr<ostrel::platform::RegistryKey> orderKey() {
        return ostrel::platform::RegistryKey::create(ostrel::platform::RegistryRoot::CurrentUser,
                                                     std::string(kProductKey) + "\\testmanager");
    }

    fs::path dir_;
};

} // namespace

TEST_F(TestManagerTest, KnownIdIsUpdatedInPlaceAndOverflowIsIgnored) {
    TLog log;
    TTestManager manager(log);
    int runs = 0;
    manager.AddTest(7, {.name = "first"});
    manager.AddTest(8, {.name = "second"});
    manager.DisableTest(7);
    manager.SetTestStatus(7, PASSED);
    manager.SetTestProgress(7, 60);
    manager.AddTest(7, {.name = "renamed", .Run = [&] { ++runs; }});

    TEST test;
    ASSERT_TRUE(manager.GetTest(7, test));
    EXPECT_EQ(test.name, "renamed");
    EXPECT_FALSE(test.enabled);
    EXPECT_EQ(test.status, PASSED);
    EXPECT_EQ(test.progress, 60);
    ASSERT_TRUE(test.Run);
    test.Run();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(order(manager), (std::vector<int32_t>{7, 8}));

    manager.AddTest(0, {.name = "zero"});
    for (int32_t id = 100; manager.GetTestCount() < TTestManager::kMaxTests; ++id)
        manager.AddTest(id, {});
    manager.AddTest(999, {.name = "one too many"});
    manager.AddTest(8, {.name = "full table"});
    EXPECT_EQ(manager.GetTestCount(), TTestManager::kMaxTests);
    EXPECT_EQ(manager.IndexOf(0), -1);
    EXPECT_EQ(manager.IndexOf(999), -1);
    ASSERT_TRUE(manager.GetTest(8, test));
    EXPECT_EQ(test.name, "second");
    EXPECT_EQ(log.GetLineCount(), 1);  // the result line of SetTestStatus
    EXPECT_EQ(log.GetLine(0), "[first] Test passed");
}

TEST_F(TestManagerTest, StoredOrderFromRegistryAndFileStopsAtTestnumAndRoundTrips) {
    auto key = orderKey();
    ASSERT_TRUE(key);
    key->writeInteger("testid0", 3);
    key->writeInteger("testenabled0", 0);
    key->writeInteger("testid1", 20);
    key->writeInteger("testenabled1", 0);
    key->writeInteger("testnum", 2);
    // Left from an earlier, longer list.
    key->writeInteger("testid2", 30);
    key->writeInteger("testenabled2", 0);
    ASSERT_TRUE(key->flush());

    const std::vector<int32_t> expected{3, 20, 1, 2, 30, 4, 5};
    const std::vector<int32_t> expectedEnabled{1, 2, 30, 4, 5};
    const std::string file = (dir_ / "config.ini").string();
    {
        TTestManager manager;
        registerDeviceTests(manager);
        EXPECT_EQ(order(manager), (std::vector<int32_t>{20, 30, 1, 2, 3, 4, 5}));
        RecordingSink sink;
        manager.AddTestListListener(&sink);
        manager.LoadTestOrder();
        EXPECT_EQ(order(manager), expected);
        EXPECT_EQ(enabledIds(manager), expectedEnabled);
        EXPECT_EQ(sink.count(WM_TESTLISTCHANGED), 0u);

        // The same from a file: one message. A foreign section survives a save.
        std::ofstream(file) << "[Test Manager]\ntestid0=$3\ntestenabled0=0\ntestid1=20\ntestenabled1=0\n"
                               "testnum=2\ntestid2=30\ntestenabled2=0\n[Other]\nkeep=yes\n";
        TTestManager fromFile;
        registerDeviceTests(fromFile);
        RecordingSink fileSink;
        fromFile.AddTestListListener(&fileSink);
        ASSERT_TRUE(fromFile.LoadSettings(file));
        EXPECT_EQ(order(fromFile), expected);
        EXPECT_EQ(enabledIds(fromFile), expectedEnabled);
        EXPECT_EQ(fileSink.count(WM_TESTLISTCHANGED), 1u);
        EXPECT_FALSE(fromFile.LoadSettings((dir_ / "missing.ini").string()));
        const std::string fifo = (dir_ / "fifo.ini").string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_FALSE(fromFile.LoadSettings(fifo));  // at once, without waiting for a writer

        // Save a changed order, load it into a fresh list.
        manager.MoveTestDown(3);
        manager.EnableTest(20);
        manager.DisableTest(4);
        ASSERT_TRUE(manager.SaveSettings(file));
        ostrel::platform::IniFile saved(file);
        ASSERT_TRUE(saved.load());
        EXPECT_EQ(saved.readString("Other", "keep"), "yes");
        EXPECT_EQ(saved.readInteger("Test Manager", "testnum", 0), 7);

        TTestManager reloaded;
        registerDeviceTests(reloaded);
        ASSERT_TRUE(reloaded.LoadSettings(file));
        EXPECT_EQ(order(reloaded), order(manager));
        EXPECT_EQ(enabledIds(reloaded), enabledIds(manager));
        EXPECT_FALSE(manager.SaveSettings((dir_ / "no-such-folder" / "x.ini").string()));
    }  // the destructors store the order; `manager` goes last

    TTestManager restored;
    registerDeviceTests(restored);
    restored.LoadTestOrder();
    EXPECT_EQ(order(restored), (std::vector<int32_t>{20, 3, 1, 2, 30, 4, 5}));
    EXPECT_EQ(enabledIds(restored), (std::vector<int32_t>{20, 1, 2, 30, 5}));
    EXPECT_EQ(key->readInteger("testnum"), 7);
}

// A file with none of a configuration's sections is refused whole, and says why; one section the
// program knows (a test's own, the network's) makes it a configuration.
TEST_F(TestManagerTest, FileWithoutAKnownSectionIsRefusedWithItsReason) {
    std::string garbage(200000, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919 + 13) % 251);
    const struct {
        const char* name;
        std::string content;
        bool loads;
        const char* reason;
    } cases[] = {{"garbage.nbx", garbage, false, "no section"},
                 {"other.nbx", "[Other]\ntestid0=3\n", false, "no section"},
                 {"big.nbx", std::string((16u << 20) + 1, ';'), false, "File too large"},
                 {"test.nbx", "[t3]\nperiod=10\n", true, ""},
                 {"network.nbx", "[NetworkConfig]\ntotalnodes=0\n", true, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = (dir_ / c.name).string();
        std::ofstream(file, std::ios::binary) << c.content;
        TTestManager manager;
        registerDeviceTests(manager);
        RecordingSink sink;
        manager.AddTestListListener(&sink);
        std::string error;
        EXPECT_EQ(manager.LoadSettings(file, &error), c.loads);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(sink.count(WM_TESTLISTCHANGED), c.loads ? 1u : 0u);
    }
}

TEST_F(TestManagerTest, AFailedGlobalSaveFailsTheSaveAndLeavesTheFileAsItWas) {
    const std::string file = (dir_ / "kept.nbx").string();
    const std::string before = "[Other]\nkeep=yes\n";
    std::ofstream(file) << before;
    TTestManager manager({.saveGlobalConfig = [](ostrel::platform::IniFile& ini) {
        ini.writeString("Global Configuration", "dcfpath", "x");
        return false;
    }});
    registerDeviceTests(manager);
    EXPECT_FALSE(manager.SaveSettings(file));
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), before);
}

TEST_F(TestManagerTest, CancelDuringSecondOfThreeEndsTheRun) {
    TLog log;
    std::atomic<int> supportStops{0};
    TTestManager manager(log, {.stopSupportModule = [&] { ++supportStops; }});
    RecordingSink sink;
    manager.AddRunStateListener(&sink);
    Gate gates[3];
    std::atomic<int> ran[3] = {0, 0, 0};
    std::atomic<int> cancels[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        manager.AddTest(i + 1, {.name = "T" + std::to_string(i + 1),
                                .Run = [&, i] { ++ran[i]; gates[i].wait(); },
                                .Cancel = [&, i] { ++cancels[i]; gates[i].open(); }});
    }
    manager.RunAllTests();
    gates[0].open();
    ASSERT_TRUE(waitUntil([&] { return manager.GetRunningTestId() == 2; }));
    manager.CancelTests();
    manager.WaitForTestThread();

    EXPECT_EQ(ran[0], 1);
    EXPECT_EQ(ran[1], 1);
    EXPECT_EQ(ran[2], 0);
    EXPECT_EQ(cancels[0], 0);
    EXPECT_EQ(cancels[1], 1);
    EXPECT_EQ(cancels[2], 0);
    EXPECT_EQ(supportStops, 1);
    EXPECT_EQ(sink.runStates(), (std::vector<uintptr_t>{1, 0}));
    EXPECT_EQ(manager.GetRunState(), 0);
}

TEST_F(TestManagerTest, CancelBeforeFirstTestAndAfterAMoveHitsTheRightRun) {
    TLog log;
    TTestManager* self = nullptr;
    std::atomic<int> runs{0};
    TTestManager manager(log, {.startSupportModule = [&] { self->CancelTests(); }});
    self = &manager;
    manager.AddTest(1, {.name = "A", .Run = [&] { ++runs; }});
    manager.AddTest(2, {.name = "B", .Run = [&] { ++runs; }});
    manager.RunAllTests();
    manager.WaitForTestThread();
    EXPECT_EQ(runs, 0);

    // A move during the run neither repeats nor skips a test, and the cancel reaches the runner.
    TTestManager moving(log);
    Gate gate;
    std::map<int32_t, int> runCount;
    std::mutex countMutex;
    std::atomic<int> cancelOf2{0};
    for (int32_t id : {1, 2, 3}) {
        moving.AddTest(id, {.name = std::to_string(id),
                            .Run = [&, id] {
                                { std::lock_guard l(countMutex); ++runCount[id]; }
                                if (id == 2) gate.wait();
                            },
                            .Cancel = [&, id] { if (id == 2) { ++cancelOf2; gate.open(); } }});
    }
    moving.RunAllTests();
    ASSERT_TRUE(waitUntil([&] { return moving.GetRunningTestId() == 2; }));
    moving.MoveTestUp(2);    // 2, 1, 3
    moving.MoveTestDown(1);  // 2, 3, 1
    moving.CancelTests();
    moving.WaitForTestThread();
    EXPECT_EQ(cancelOf2, 1);
    EXPECT_EQ(runCount, (std::map<int32_t, int>{{1, 1}, {2, 1}}));
}

TEST_F(TestManagerTest, RunTestOnADisabledTestResetsItAndLogsNothing) {
    TLog log;
    TTestManager manager(log);
    std::atomic<int> runs{0};
    manager.AddTest(5, {.name = "off", .Run = [&] { ++runs; }});
    manager.SetTestStatus(5, FAILED);
    manager.SetTestProgress(5, 40);
    manager.DisableTest(5);
    log.Clear();
    RecordingSink sink;
    manager.AddTestListListener(&sink);
    manager.AddRunStateListener(&sink);
    manager.RunTest(5);
    manager.WaitForTestThread();
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(sink.count(WM_TESTLISTCHANGED), 2u);
    EXPECT_EQ(sink.runStates(), (std::vector<uintptr_t>{1, 0}));
    EXPECT_EQ(log.GetLineCount(), 0);
    TEST test;
    ASSERT_TRUE(manager.GetTest(5, test));
    EXPECT_EQ(test.status, NOTSTARTED);
    EXPECT_EQ(test.progress, 0);

    // Unknown ids and an empty list change nothing and post nothing.
    sink.clear();
    manager.RunTest(77);
    TTestManager empty(log);
    empty.AddRunStateListener(&sink);
    empty.RunAllTests();
    manager.MoveTestUp(5);
    manager.MoveTestDown(5);
    EXPECT_TRUE(sink.got().empty());
}

TEST_F(TestManagerTest, RunLogsStartEndAndWholeSecondDurations) {
    TLog log;
    TTestManager manager(log);
    manager.AddTest(1, {.name = "slow", .Run = [&] {
                            manager.SetTestStatus(1, PASSED);
                            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
                        }});
    manager.AddTest(2, {.name = "", .Run = [] {}});
    manager.AddTest(3, {.name = "throws", .Run = [] { throw std::runtime_error("no node"); }});
    log.Add("old line");
    manager.RunAllTests();
    manager.WaitForTestThread();

    const auto lines = log.GetLinesFrom(0);
    ASSERT_EQ(lines.size(), 12u);
    const std::string startPrefix = "[slow] Test started at ";
    ASSERT_EQ(lines[0].rfind(startPrefix, 0), 0u) << lines[0];
    EXPECT_TRUE(isLogTime(std::string_view(lines[0]).substr(startPrefix.size()))) << lines[0];
    EXPECT_EQ(lines[1], "[slow] Test passed");
    const std::string endPrefix = "[slow] Test ended at ";
    ASSERT_EQ(lines[2].rfind(endPrefix, 0), 0u) << lines[2];
    ASSERT_EQ(lines[2].back(), ' ');
    EXPECT_TRUE(isLogTime(std::string_view(lines[2]).substr(endPrefix.size(), 23))) << lines[2];
    EXPECT_EQ(lines[2].size(), endPrefix.size() + 24);
    EXPECT_EQ(lines[3], "[slow] Test executed for 1 second");
    EXPECT_EQ(lines[4].rfind("[] Test started at ", 0), 0u);
    EXPECT_EQ(lines[6], "[] Test executed for 0 seconds");
    EXPECT_EQ(lines[8], "[throws] Test stopped by an error: no node");
    EXPECT_EQ(lines[9], "[throws] Test failed");
    EXPECT_EQ(lines[11], "[throws] Test executed for 0 seconds");
}

TEST_F(TestManagerTest, BackToBackRunsAndDestructionMidRunAreClean) {
    TLog log;
    std::atomic<int> runs{0};
    {
        TTestManager manager(log);
        manager.AddTest(1, {.name = "quick", .Run = [&] { ++runs; }});
        manager.AddTest(2, {.name = "also", .Run = [&] { ++runs; }});
        for (int i = 0; i < 10; ++i) {
            manager.RunAllTests();
            manager.WaitForTestThread();
        }
        EXPECT_EQ(runs, 20);
    }
    Gate gate;
    std::atomic<int> cancelled{0};
    {
        TTestManager manager(log);
        manager.AddTest(1, {.name = "long", .Run = [&] { gate.wait(); },
                            .Cancel = [&] { ++cancelled; gate.open(); }});
        manager.RunAllTests();
        ASSERT_TRUE(waitUntil([&] { return manager.GetRunningTestId() == 1; }));
    }  // the destructor cancels and joins
    EXPECT_EQ(cancelled, 1);
}
