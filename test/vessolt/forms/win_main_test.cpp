#include "win_main.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>

using namespace ostrel::vessolt;
namespace fs = std::filesystem;

namespace {

bool processUntil(const std::function<bool()>& condition, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "winmain-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

} // namespace

TEST_F(MainWindowTest, RowsFollowTheListAndClosingMidRunCancelsAndWaitsWithoutBlocking) {
    TLog log;
    TTestManager manager(log);
    std::mutex mutex;
    std::condition_variable cv;
    bool cancelled = false;
    std::atomic<int> cancels{0};
    std::atomic<bool> runEnded{false};
    manager.AddTest(20, {.name = "OD scan",
                         .Run = [&] {
                             manager.SetTestStatus(20, RUNNING);
                             manager.SetTestProgress(20, 30);
                             std::unique_lock lock(mutex);
                             cv.wait_for(lock, std::chrono::seconds(10), [&] { return cancelled; });
                             // The run goes on a little after the cancel, as a real test does.
                             lock.unlock();
                             std::this_thread::sleep_for(std::chrono::milliseconds(300));
                             manager.SetTestStatus(20, CANCELLED);
                             runEnded = true;
                         },
                         .Cancel = [&] {
                             ++cancels;
                             std::lock_guard lock(mutex);
                             cancelled = true;
                             cv.notify_all();
                         }});
    manager.AddTest(30, {.name = "PDO analysis", .Run = [] {}});

    TWin_Main window(manager, log);
    window.show();
    auto boxes = [&] { return window.findChildren<QCheckBox*>(); };
    ASSERT_TRUE(processUntil([&] { return boxes().size() == 2; }));
    EXPECT_EQ(boxes().at(0)->text(), "OD scan");
    EXPECT_TRUE(boxes().at(1)->isChecked());

    // Unticking a box disables the test; the manager's order is the rows' order.
    boxes().at(1)->click();
    TEST test;
    ASSERT_TRUE(manager.GetTest(30, test));
    EXPECT_FALSE(test.enabled);
    manager.MoveTestUp(30);
    ASSERT_TRUE(processUntil([&] { return boxes().size() == 2 && boxes().at(0)->text() == "PDO analysis"; }));
    EXPECT_FALSE(boxes().at(0)->isChecked());
    manager.MoveTestDown(30);

    auto* run = window.findChild<QPushButton*>("runalltests");
    auto* cancel = window.findChild<QPushButton*>("cancelalltests");
    auto* messages = window.findChild<QListWidget*>("messagebox");
    ASSERT_TRUE(run && cancel && messages);
    EXPECT_TRUE(run->isEnabled());
    EXPECT_FALSE(cancel->isEnabled());
    run->click();
    ASSERT_TRUE(processUntil([&] { return manager.GetRunningTestId() == 20 && cancel->isEnabled(); }));
    EXPECT_FALSE(run->isEnabled());
    ASSERT_TRUE(processUntil([&] {
        const auto labels = window.findChildren<QLabel*>();
        return std::any_of(labels.begin(), labels.end(), [](QLabel* l) { return l->text() == "Running"; });
    }));
    ASSERT_TRUE(processUntil([&] { return messages->count() >= 1; }));
    EXPECT_TRUE(messages->item(0)->text().startsWith("[OD scan] Test started at "));

    if (const char* shots = std::getenv("VESSOLT_WINDOW_SHOT"))
        window.grab().save(QString::fromUtf8(shots));

    // The close returns at once; the window goes once the worker has ended.
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(cancels, 1);
    ASSERT_TRUE(processUntil([&] { return !window.isVisible(); }));
    EXPECT_TRUE(runEnded);
    EXPECT_EQ(manager.GetRunState(), 0);
    EXPECT_EQ(cancels, 1);
}

TEST(MainWindowStatus, TextsAndColoursOfEveryStatus) {
    EXPECT_EQ(TWin_Main::StatusText(NOTSTARTED), "Not started");
    EXPECT_EQ(TWin_Main::StatusText(RUNNING), "Running");
    EXPECT_EQ(TWin_Main::StatusText(PASSED), "Passed");
    EXPECT_EQ(TWin_Main::StatusText(WARNING), "Warning");
    EXPECT_EQ(TWin_Main::StatusText(FAILED), "Failed");
    EXPECT_EQ(TWin_Main::StatusText(CANCELLED), "Cancelled");
    EXPECT_EQ(TWin_Main::StatusText(9), "Not started");
    EXPECT_EQ(TWin_Main::StatusColour(PASSED), 0x008000u);
    EXPECT_EQ(TWin_Main::StatusColour(WARNING), 0x008080u);
    EXPECT_EQ(TWin_Main::StatusColour(FAILED), 0x0000FFu);
    EXPECT_EQ(TWin_Main::StatusColour(-1), 0u);
}
