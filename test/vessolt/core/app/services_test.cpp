#include "app/services.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <drennic/drennic.h>
#include <testbus.h>

using namespace ostrel::vessolt;
namespace fs = std::filesystem;

namespace {

// The services in the order of their making, and of their deletion.
const std::vector<std::string> kMade{"+TSymbols", "+TTestManager", "+TLog", "+TDeviceSummary", "+TTraceBuffer",
                                     "+TExpressions", "+TTransmit", "+TGlobalTestConfig", "+TSetNodeConfig",
                                     "+TTestReport", "+TCommonTest", "+TNSM", "+TRatingsScript", "+TSoftNSM"};
const std::vector<std::string> kDeleted{"-TSoftNSM", "-TRatingsScript", "-TNSM", "-TCommonTest", "-TTestReport",
                                        "-TSetNodeConfig", "-TGlobalTestConfig", "-TTransmit", "-TExpressions",
                                        "-TTraceBuffer", "-TDeviceSummary", "-TLog", "-TTestManager", "-TSymbols"};

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Everything the sequence did, in order.
struct Journal {
    std::vector<std::string> events;
    int hardwareClosesAtFirstDeletion = -1;
    bool hardwareOpenAtFirstDeletion = true;
};

// A form that notes when it goes.
class NotedForm : public QObject {
public:
    NotedForm(Journal& journal, std::string name) : journal_(journal), name_(std::move(name)) {
        journal_.events.push_back("form " + name_);
    }
    ~NotedForm() override { journal_.events.push_back("~form " + name_); }

private:
    Journal& journal_;
    std::string name_;
};

class StartupSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "services-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    StartupParts parts(Journal& journal) {
        StartupParts p;
        p.prompt = &prompt_;
        p.observer = [this, &journal](const char* service, bool created) {
            if (!created && journal.hardwareClosesAtFirstDeletion < 0) {
                journal.hardwareClosesAtFirstDeletion = bus_.counters().close;
                journal.hardwareOpenAtFirstDeletion = bus_.initialized();
            }
            journal.events.push_back((created ? "+" : "-") + std::string(service));
        };
        p.showException = [&journal](const std::string& what) { journal.events.push_back("shown " + what); };
        p.beginShutdown = [&journal] { journal.events.push_back("shutdown"); };
        return p;
    }

    fs::path dir_;
    drennic::TestBus bus_;
    RecordingPrompt prompt_;
};

} // namespace

TEST_F(StartupSequenceTest, ServicesComeInOrderAndGoInReverseAfterTheRunAndTheHardware) {
    Journal journal;
    std::mutex mutex;
    std::condition_variable cv;
    bool cancelled = false;
    std::atomic<bool> runEnded{false};
    TTestManager* manager = nullptr;

    StartupParts p = parts(journal);
    p.driverName = "NOSUCHVENDOR.DLL";
    p.forms.push_back([&](Services& services) {
        manager = services.testManager.get();
        EXPECT_NE(services.log, nullptr);
        EXPECT_EQ(services.hardware.driverLibrary, p.driverName);  // for the hardware dialog's line
        ResultBlock result{};
        Hardware_Initialize(1, u"vessolt", 0, 0, &result);
        EXPECT_EQ(result.code, 0);
        // A test that runs until it is cancelled.
        services.testManager->AddTest(20, {.name = "OD scan",
                                           .Run = [&] {
                                               std::unique_lock lock(mutex);
                                               cv.wait_for(lock, std::chrono::seconds(10), [&] { return cancelled; });
                                               runEnded = true;
                                           },
                                           .Cancel = [&] {
                                               std::lock_guard lock(mutex);
                                               cancelled = true;
                                               cv.notify_all();
                                           }});
        return std::make_unique<NotedForm>(journal, "main");
    });
    p.forms.push_back([&](Services&) { return std::make_unique<NotedForm>(journal, "test window"); });
    // The loop ends while the test still runs.
    p.messageLoop = [&] {
        manager->RunAllTests();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (manager->GetRunningTestId() != 20 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        journal.events.push_back("loop ended");
    };

    EXPECT_EQ(StartupSequence(p), 0);

    EXPECT_EQ(journal.events,
              joined({kMade, {"form main", "form test window", "loop ended", "shutdown", "~form test window", "~form main"},
                      kDeleted}));
    EXPECT_TRUE(runEnded);
    EXPECT_EQ(journal.hardwareClosesAtFirstDeletion, 1);
    EXPECT_FALSE(journal.hardwareOpenAtFirstDeletion);
    EXPECT_EQ(bus_.counters().initDriver, 1);
    EXPECT_EQ(bus_.counters().closeDriver, 1);
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(), kProductName);
}

TEST_F(StartupSequenceTest, ThrowingFormIsShownOnceAndTheRestIsStillTakenDown) {
    Journal journal;
    bool thirdMade = false;
    bool loopRan = false;
    StartupParts p = parts(journal);
    p.forms.push_back([&](Services&) { return std::make_unique<NotedForm>(journal, "main"); });
    p.forms.push_back([&](Services&) -> std::unique_ptr<QObject> { throw std::runtime_error("no resources"); });
    p.forms.push_back([&](Services&) {
        thirdMade = true;
        return std::make_unique<NotedForm>(journal, "third");
    });
    p.messageLoop = [&] { loopRan = true; };

    EXPECT_EQ(StartupSequence(p), 0);

    EXPECT_FALSE(thirdMade);
    EXPECT_FALSE(loopRan);
    EXPECT_EQ(journal.events, joined({kMade, {"form main", "shown no resources", "shutdown", "~form main"}, kDeleted}));
    EXPECT_EQ(bus_.counters().closeDriver, 1);
}

// The library tells of driver status changes on its engine thread; a restart of the CAN server and
// frames lost before the program read them are what the user reads of in the message log, once per
// report, whichever part of the word moved.
TEST_F(StartupSequenceTest, ServerRestartsAndLostFramesAreNotedInTheMessageLogOnceEach) {
    Journal journal;
    std::vector<std::string> lines;
    StartupParts p = parts(journal);
    p.forms.push_back([&](Services& services) {
        ResultBlock result{};
        Hardware_Initialize(1, u"vessolt", 0, 0, &result);
        EXPECT_EQ(result.code, 0);
        constexpr uint32_t kRestarted = DRN_STATUS_SERVER_RESTARTED;
        constexpr uint32_t kLostOnce = DRN_STATUS_FRAMES_LOST | (1u << 16);
        for (const uint32_t status : {7u, kRestarted | 1u, 7u, kRestarted | 2u, kLostOnce | kRestarted | 2u,
                                      kLostOnce | kRestarted | 3u}) {
            const int32_t before = services.log->GetLineCount();
            bus_.setStatus(status);
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
            while (services.log->GetLineCount() == before && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        lines = services.log->GetLinesFrom(0);
        return std::make_unique<NotedForm>(journal, "main");
    });
    EXPECT_EQ(StartupSequence(p), 0);
    const std::string restarted = "The CAN server was restarted; any request in progress was broken off.";
    const std::string lost = "Warning: frames from the CAN server were lost; the program did not read them in time.";
    EXPECT_EQ(lines, (std::vector<std::string>{restarted, restarted, lost, restarted}));
}

// An interface library that cannot be loaded is named with the loader's reason; none named is the
// simulated bus and no problem.
TEST(DriverLibrary, ProblemNamesTheLibraryAndTheReason) {
    EXPECT_EQ(DriverLibraryProblem(""), "");
    for (const std::string name : {"NOSUCHVENDOR.DLL", "/etc/hostname"}) {
        const std::string problem = DriverLibraryProblem(name);
        const std::string head = "The CAN interface library \"" + name + "\" cannot be loaded: ";
        EXPECT_EQ(problem.rfind(head, 0), 0u) << problem;
        EXPECT_GT(problem.size(), head.size()) << problem;  // the loader's reason follows
    }
}
