#include "testing/test_manager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <exception>
#include <system_error>

#include <platform/ini.h>
#include <platform/registry.h>

#include "network/network_config.h"
#include "services/log.h"
#include "services/product_key.h"
#include "services/stored_setting.h"
#include "services/window_messages.h"
#include "testing/global_test_config.h"

namespace ostrel::vessolt {
namespace {

constexpr const char* kSection = "Test Manager";
constexpr const char* kRegistrySubkey = "testmanager";
constexpr auto kRunStatePoll = std::chrono::milliseconds(100);

// The manager whose worker is the current thread, if any.
thread_local const TTestManager* tlsWorkerOf = nullptr;

std::string bracketed(const std::string& name, const char* text) { return "[" + name + "] " + text; }

// "%g" of a whole number of seconds, independent of the process locale.
std::string formatSeconds(double seconds) {
    std::array<char, 32> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds,
                                   std::chars_format::general, 6);
    return ec == std::errc() ? std::string(buffer.data(), end) : std::string("0");
}

const char* resultText(int32_t status) {
    switch (status) {
    case PASSED: return "Test passed";
    case WARNING: return "Test warning";
    case FAILED: return "Test failed";
    case CANCELLED: return "Test cancelled";
    default: return nullptr;
    }
}

std::unique_ptr<platform::RegistryKey> orderKey() {
    return platform::RegistryKey::create(platform::RegistryRoot::CurrentUser,
                                         std::string(kProductKey) + "\\" + kRegistrySubkey);
}

} // namespace

std::string formatLogTime(std::time_t when) {
    static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d on %02d-%s-%04d", local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_mday, kMonths[static_cast<size_t>(local.tm_mon) % 12], local.tm_year + 1900);
    return text;
}

TTestManager::TTestManager(TestManagerHooks hooks) : hooks_(std::move(hooks)) {}

TTestManager::TTestManager(TLog& log, TestManagerHooks hooks) : hooks_(std::move(hooks)) {
    hooks_.log = [&log] { return &log; };
}

TTestManager::~TTestManager() {
    // A run still under way uses the table, the log and the hooks: it ends before they go.
    if (runState_.load() != 0)
        CancelTests();
    joinWorker();
    SaveTestOrder();
}

TTestManager::Lock TTestManager::lock(const char* what) const {
    Lock held(mutex_, kLockWait);
    if (!held.owns_lock())
        std::fprintf(stderr, "TTestManager: %s skipped, the test list stayed locked\n", what);
    return held;
}

int TTestManager::indexOfLocked(int32_t testid) const {
    for (size_t i = 0; i < tests_.size(); ++i)
        if (tests_[i].testid == testid)
            return static_cast<int>(i);
    return -1;
}

void TTestManager::addLogLine(const std::string& line) {
    if (TLog* log = hooks_.log ? hooks_.log() : nullptr)
        log->Add(line);
}

std::string TTestManager::nameOf(int32_t testid) const {
    Lock held = lock("reading a name");
    if (!held.owns_lock())
        return {};
    int i = indexOfLocked(testid);
    return i < 0 ? std::string() : tests_[static_cast<size_t>(i)].name;
}

// ---- registration and queries ----

void TTestManager::AddTest(int32_t testid, const TestRegistration& record) {
    if (testid == 0)
        return;
    Lock held = lock("AddTest");
    if (!held.owns_lock() || tests_.size() >= kMaxTests)
        return;
    TEST* test = nullptr;
    if (int i = indexOfLocked(testid); i >= 0) {
        test = &tests_[static_cast<size_t>(i)];
    } else {
        test = &tests_.emplace_back();
        test->testid = testid;
    }
    test->name = record.name;
    test->Run = record.Run;
    test->Cancel = record.Cancel;
    test->ShowWindow = record.ShowWindow;
    test->SaveSettings = record.SaveSettings;
    test->LoadSettings = record.LoadSettings;
    test->WriteReport = record.WriteReport;
    test->RegisterPythonTypes = record.RegisterPythonTypes;
    test->ConfigPage = record.ConfigPage;
}

int32_t TTestManager::GetFirstTest(TEST& out) {
    Lock held = lock("GetFirstTest");
    if (!held.owns_lock() || tests_.empty())
        return 0;
    iteration_ = 0;
    out = tests_[0];
    return out.testid;
}

int32_t TTestManager::GetNextTest(TEST& out) {
    Lock held = lock("GetNextTest");
    if (!held.owns_lock())
        return 0;
    if (iteration_ < tests_.size())
        ++iteration_;
    if (iteration_ >= tests_.size())
        return 0;
    out = tests_[iteration_];
    return out.testid;
}

bool TTestManager::GetTest(int32_t testid, TEST& out) const {
    Lock held = lock("GetTest");
    if (!held.owns_lock())
        return false;
    int i = indexOfLocked(testid);
    if (i < 0)
        return false;
    out = tests_[static_cast<size_t>(i)];
    return true;
}

int TTestManager::IndexOf(int32_t testid) const {
    Lock held = lock("IndexOf");
    return held.owns_lock() ? indexOfLocked(testid) : -1;
}

IConfigPage* TTestManager::GetTestConfigPage(int32_t testid) const {
    Lock held = lock("GetTestConfigPage");
    if (!held.owns_lock())
        return nullptr;
    int i = indexOfLocked(testid);
    return i < 0 ? nullptr : tests_[static_cast<size_t>(i)].ConfigPage;
}

int TTestManager::GetTestCount() const {
    Lock held = lock("GetTestCount");
    return held.owns_lock() ? static_cast<int>(tests_.size()) : 0;
}

void TTestManager::ShowTestWindow(int32_t testid) {
    std::function<void()> show;
    {
        Lock held = lock("ShowTestWindow");
        if (!held.owns_lock())
            return;
        int i = indexOfLocked(testid);
        if (i < 0)
            return;
        show = tests_[static_cast<size_t>(i)].ShowWindow;
    }
    if (show)
        show();
}

void TTestManager::ConfigureTest(int32_t testid, QObject* caller) {
    std::function<void(int32_t, IConfigPage*, QObject*)> handler;
    IConfigPage* page = nullptr;
    {
        Lock held = lock("ConfigureTest");
        if (!held.owns_lock())
            return;
        int i = indexOfLocked(testid);
        if (i < 0)
            return;
        page = tests_[static_cast<size_t>(i)].ConfigPage;
        handler = configureHandler_;
    }
    if (handler)
        handler(testid, page, caller);
}

void TTestManager::SetConfigureTestHandler(std::function<void(int32_t, IConfigPage*, QObject*)> handler) {
    Lock held = lock("SetConfigureTestHandler");
    if (held.owns_lock())
        configureHandler_ = std::move(handler);
}

// ---- order and enabled flags ----

void TTestManager::moveTest(int32_t testid, int direction) {
    {
        Lock held = lock("moving a test");
        if (!held.owns_lock())
            return;
        int i = indexOfLocked(testid);
        int other = i + direction;
        if (i < 0 || other < 0 || other >= static_cast<int>(tests_.size()))
            return;
        std::swap(tests_[static_cast<size_t>(i)], tests_[static_cast<size_t>(other)]);
    }
    testListListeners_.postAll(WM_TESTLISTCHANGED, 0, 0);
}

void TTestManager::MoveTestUp(int32_t testid) { moveTest(testid, -1); }
void TTestManager::MoveTestDown(int32_t testid) { moveTest(testid, +1); }

void TTestManager::setEnabled(int32_t testid, bool enabled) {
    {
        Lock held = lock("enabling a test");
        if (!held.owns_lock())
            return;
        int i = indexOfLocked(testid);
        if (i < 0)
            return;
        tests_[static_cast<size_t>(i)].enabled = enabled;
    }
    testListListeners_.postAll(WM_TESTLISTCHANGED, 0, 0);
}

void TTestManager::EnableTest(int32_t testid) { setEnabled(testid, true); }
void TTestManager::DisableTest(int32_t testid) { setEnabled(testid, false); }

// ---- running ----

void TTestManager::RunAllTests() {
    if (GetTestCount() == 0)
        return;
    int idle = 0;
    if (!runState_.compare_exchange_strong(idle, 1))
        return;
    if (TLog* log = hooks_.log ? hooks_.log() : nullptr)
        log->Clear();
    if (hooks_.clearDeviceSummary)
        hooks_.clearDeviceSummary();
    ResetAllResults();
    startRun(kAllTests);
}

void TTestManager::RunTest(int32_t testid) {
    if (IndexOf(testid) < 0)
        return;
    int idle = 0;
    if (!runState_.compare_exchange_strong(idle, 1))
        return;
    ResetTest(testid);
    startRun(testid);
}

void TTestManager::startRun(int32_t selection) {
    joinWorker();  // the previous run's thread has ended; it only has to be collected
    std::vector<int32_t> ids;
    {
        Lock held = lock("starting a run");
        if (held.owns_lock()) {
            if (selection == kAllTests) {
                for (const TEST& test : tests_)
                    ids.push_back(test.testid);
            } else {
                ids.push_back(selection);
            }
        }
    }
    selection_ = selection;
    cancel_ = false;
    runningId_ = 0;
    setRunState(1);
    std::lock_guard guard(workerMutex_);
    try {
        worker_ = std::thread(&TTestManager::worker, this, std::move(ids));
    } catch (const std::system_error& e) {
        addLogLine(std::string("The test run could not start: ") + e.what());
        setRunState(0);
    }
}

void TTestManager::setRunState(int state) {
    runState_ = state;
    runStateListeners_.postAll(WM_TESTRUNSTATE, static_cast<uintptr_t>(state), 0);
}

void TTestManager::worker(std::vector<int32_t> ids) {
    // Whatever happens below, the run ends: the main window's close waits for state 0.
    struct EndOfRun {
        TTestManager& manager;
        ~EndOfRun() {
            manager.runningId_ = 0;
            manager.setRunState(0);
        }
    } endOfRun{*this};
    tlsWorkerOf = this;

    auto guarded = [this](const char* what, const std::function<void()>& call) {
        if (!call)
            return;
        try {
            call();
        } catch (const std::exception& e) {
            addLogLine(std::string(what) + " failed: " + e.what());
        } catch (...) {
            addLogLine(std::string(what) + " failed");
        }
    };

    guarded("Starting the software support module", hooks_.startSupportModule);
    for (int32_t id : ids) {
        // Checked before each test as well: a cancel between two tests ends the run there.
        if (cancel_)
            break;
        std::function<void()> run;
        bool enabled = false;
        {
            Lock held = lock("reading a test to run");
            if (held.owns_lock()) {
                if (int i = indexOfLocked(id); i >= 0) {
                    run = tests_[static_cast<size_t>(i)].Run;
                    enabled = tests_[static_cast<size_t>(i)].enabled;
                }
            }
        }
        if (enabled && run)
            executeTest(id, run);
        if (cancel_)
            break;
    }
    guarded("Stopping the software support module", hooks_.stopSupportModule);
}

void TTestManager::executeTest(int32_t testid, const std::function<void()>& run) {
    addLogLine(bracketed(nameOf(testid), "Test started at ") + formatLogTime(std::time(nullptr)));
    const auto t0 = std::chrono::steady_clock::now();

    runningId_ = testid;
    std::string error;
    try {
        run();
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unknown error";
    }
    runningId_ = 0;
    if (!error.empty()) {
        addLogLine(bracketed(nameOf(testid), "Test stopped by an error: ") + error);
        TEST test;
        if (GetTest(testid, test) && (test.status == NOTSTARTED || test.status == RUNNING))
            SetTestStatus(testid, FAILED);
    }

    const auto t1 = std::chrono::steady_clock::now();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(t1 - t0).count();
    const std::string name = nameOf(testid);
    addLogLine(bracketed(name, "Test ended at ") + formatLogTime(std::time(nullptr)) + " ");
    addLogLine(bracketed(name, "Test executed for ") + formatSeconds(static_cast<double>(seconds)) +
               (seconds == 1 ? " second" : " seconds"));
}

void TTestManager::CancelTests() {
    if (GetTestCount() == 0 || runState_.load() != 1)
        return;
    cancel_ = true;
    const int32_t running = runningId_.load();
    if (running == 0)
        return;
    std::function<void()> cancel;
    {
        Lock held = lock("CancelTests");
        if (!held.owns_lock())
            return;
        if (int i = indexOfLocked(running); i >= 0)
            cancel = tests_[static_cast<size_t>(i)].Cancel;
    }
    if (cancel)
        cancel();
}

void TTestManager::joinWorker() {
    std::lock_guard guard(workerMutex_);
    if (worker_.joinable() && tlsWorkerOf != this)
        worker_.join();
}

void TTestManager::WaitForTestThread() {
    if (tlsWorkerOf == this)
        return;  // a test waiting for its own run would wait forever
    while (runState_.load() != 0)
        std::this_thread::sleep_for(kRunStatePoll);
    joinWorker();
}

void TTestManager::SetTestStatus(int32_t testid, int32_t status) {
    std::string name;
    {
        Lock held = lock("SetTestStatus");
        if (!held.owns_lock())
            return;
        int i = indexOfLocked(testid);
        if (i < 0)
            return;
        tests_[static_cast<size_t>(i)].status = status;
        name = tests_[static_cast<size_t>(i)].name;
    }
    if (const char* text = resultText(status))
        addLogLine(bracketed(name, text));
    testListListeners_.postAll(WM_TESTLISTCHANGED, 0, 0);
}

void TTestManager::SetTestProgress(int32_t testid, int32_t percent) {
    {
        Lock held = lock("SetTestProgress");
        if (!held.owns_lock())
            return;
        int i = indexOfLocked(testid);
        if (i < 0)
            return;
        tests_[static_cast<size_t>(i)].progress = percent;
    }
    testListListeners_.postAll(WM_TESTLISTCHANGED, 0, 0);
}

void TTestManager::ResetTest(int32_t testid) {
    SetTestStatus(testid, NOTSTARTED);
    SetTestProgress(testid, 0);
}

void TTestManager::ResetAllResults() {
    std::vector<int32_t> ids;
    {
        Lock held = lock("ResetAllResults");
        if (!held.owns_lock())
            return;
        for (const TEST& test : tests_)
            ids.push_back(test.testid);
    }
    for (int32_t id : ids)
        ResetTest(id);
}

// ---- stored order ----

void TTestManager::applyStoredOrder(const StoredValues& values, bool fromFile, bool sectionPresent) {
    StoredList order(values, "the test order");
    // A list never holds more than kMaxTests; keys past "testnum" are left from an earlier, longer one.
    const std::optional<int32_t> testnum = order.count("testnum", static_cast<int32_t>(kMaxTests));
    // The registry without a count (a first start): what ids it holds move, and every test is enabled.
    const bool everyEnabled = !testnum && order.whole() && !fromFile;
    if (!testnum && !everyEnabled) {
        // A file without the section, or cut short before its count (written last), or a count refused.
        if (fromFile && order.whole() && sectionPresent)
            order.missing("testnum");
        return;
    }
    const int positions = testnum ? *testnum : GetTestCount();
    std::vector<std::optional<int32_t>> ids(static_cast<size_t>(positions));
    std::vector<std::optional<bool>> enabled(static_cast<size_t>(positions));
    for (int j = 0; j < positions; ++j) {
        const auto at = static_cast<size_t>(j);
        if (everyEnabled) {
            ids[at] = values.number("testid" + std::to_string(j), anyIntegerRule());
            continue;
        }
        ids[at] = order.number("testid" + std::to_string(j), anyIntegerRule());
        if (const auto flag = order.number("testenabled" + std::to_string(j), flagRule()))
            enabled[at] = *flag != 0;
    }
    if (!order.whole())
        return;

    Lock held = lock("applying a stored order");
    if (!held.owns_lock())
        return;
    const size_t moves = std::min(tests_.size(), static_cast<size_t>(positions));
    for (size_t i = 0; i < moves; ++i) {
        const int32_t id = ids[i].value_or(0);
        if (id == 0 || id == tests_[i].testid)
            continue;
        if (int j = indexOfLocked(id); j >= 0)
            std::swap(tests_[i], tests_[static_cast<size_t>(j)]);
    }
    // Ids stored but not registered are ignored; a test the order does not name keeps its flag.
    for (TEST& test : tests_) {
        if (everyEnabled)
            test.enabled = true;
        for (size_t j = 0; j < ids.size() && !everyEnabled; ++j) {
            if (ids[j] == test.testid) {
                test.enabled = enabled[j].value_or(true);
                break;
            }
        }
    }
}

void TTestManager::writeStoredOrder(const std::function<void(const std::string&, int32_t)>& write) {
    std::vector<std::pair<int32_t, bool>> order;
    {
        Lock held = lock("reading the order");
        if (!held.owns_lock())
            return;
        for (const TEST& test : tests_)
            order.emplace_back(test.testid, test.enabled);
    }
    for (size_t i = 0; i < order.size(); ++i) {
        write("testid" + std::to_string(i), order[i].first);
        write("testenabled" + std::to_string(i), order[i].second ? 1 : 0);
    }
    write("testnum", static_cast<int32_t>(order.size()));
}

void TTestManager::LoadTestOrder() {
    auto key = orderKey();
    if (!key) {
        std::fprintf(stderr, "TTestManager: the stored test order cannot be read\n");
        return;
    }
    TLog* log = hooks_.log ? hooks_.log() : nullptr;
    noteDamagedRegistryKey(*key, log);
    applyStoredOrder(registryValues(*key, registryKeyPlace(key->path()), log), false, true);
}

void TTestManager::SaveTestOrder() {
    auto key = orderKey();
    if (!key) {
        std::fprintf(stderr, "TTestManager: the test order cannot be stored\n");
        return;
    }
    writeStoredOrder([&key](const std::string& name, int32_t value) { key->writeInteger(name, value); });
}

bool TTestManager::SaveSettings(const std::string& fileName, std::string* error) {
    const auto fail = [error](std::string why) {
        if (error != nullptr)
            *error = std::move(why);
        return false;
    };
    platform::IniFile ini(fileName);
    // A new file starts empty; an existing one keeps its other sections, so one that cannot be read
    // is not written either.
    if (!ini.loadForUpdate())
        return fail(ini.error());
    // A value the file cannot hold fails the save, and the file stays as it was.
    if (hooks_.saveGlobalConfig && !hooks_.saveGlobalConfig(ini))
        return fail("a global setting cannot be written to a file");
    std::vector<std::function<void(platform::IniFile&)>> savers;
    {
        Lock held = lock("SaveSettings");
        if (held.owns_lock())
            for (const TEST& test : tests_)
                savers.push_back(test.SaveSettings);
    }
    for (const auto& save : savers)
        if (save)
            save(ini);
    writeStoredOrder([&ini](const std::string& name, int32_t value) { ini.writeInteger(kSection, name, value); });
    return ini.save() || fail(ini.error());
}

bool TTestManager::LoadSettings(const std::string& fileName, std::string* error) {
    const auto fail = [error](std::string why) {
        if (error != nullptr)
            *error = std::move(why);
        return false;
    };
    platform::IniFile ini(fileName);
    if (!ini.load())
        return fail(ini.error());
    std::vector<std::function<void(platform::IniFile&)>> loaders;
    std::vector<std::string> known = {kSection, TGlobalTestConfig::kIniSection, kNetworkConfigSection};
    {
        Lock held = lock("LoadSettings");
        if (held.owns_lock())
            for (const TEST& test : tests_) {
                loaders.push_back(test.LoadSettings);
                known.push_back(test.name);  // a test's settings are in a section of its name
            }
    }
    // A file holding none of this program's sections is no configuration (garbage, another
    // program's file): taking it would only reset what it seems to lack.
    const std::vector<std::string> sections = ini.sections();
    const bool recognised = std::any_of(sections.begin(), sections.end(), [&known](const std::string& section) {
        return std::any_of(known.begin(), known.end(), [&section](const std::string& name) {
            return std::equal(section.begin(), section.end(), name.begin(), name.end(),
                              [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                          std::tolower(static_cast<unsigned char>(b)); });
        });
    });
    if (!recognised)
        return fail("it holds no section of a test configuration");
    if (hooks_.loadGlobalConfig)
        hooks_.loadGlobalConfig(ini);
    for (const auto& load : loaders)
        if (load)
            load(ini);
    applyStoredOrder(fileValues(ini, kSection, hooks_.log ? hooks_.log() : nullptr), true, ini.sectionExists(kSection));
    testListListeners_.postAll(WM_TESTLISTCHANGED, 0, 0);
    return true;
}

void TTestManager::WriteReportSections(std::FILE* file, int layout) {
    std::vector<std::function<void(std::FILE*, int)>> writers;
    {
        Lock held = lock("WriteReportSections");
        if (!held.owns_lock())
            return;
        for (const TEST& test : tests_)
            writers.push_back(test.WriteReport);
    }
    for (const auto& write : writers)
        if (write)
            write(file, layout);
}

void TTestManager::RegisterPythonTypes(struct _object* module) {
    std::vector<std::function<void(struct _object*)>> registrars;
    {
        Lock held = lock("RegisterPythonTypes");
        if (!held.owns_lock())
            return;
        for (const TEST& test : tests_)
            registrars.push_back(test.RegisterPythonTypes);
    }
    for (const auto& add : registrars)
        if (add)
            add(module);
}

} // namespace ostrel::vessolt
