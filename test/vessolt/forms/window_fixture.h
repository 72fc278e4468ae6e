// The windows' tests: real services on the real CANopen library and its in-process test bus, with a
// full-profile node 5, a registry folder and a ratings script of their own.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>

#include "drennic_test_bus.h"
#include "file_dialog.h"
#include "app/services.h"

namespace ostrel::vessolt::test {

namespace fs = std::filesystem;

inline bool processUntil(const std::function<bool()>& condition, int ms = 8000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Runs `act` on the modal window of type T once it is shown (from the nested loop that shows it).
template <typename T>
void whenShown(const std::function<void(T*)>& act) {
    auto poll = std::make_shared<std::function<void(int)>>();
    // The pending timer keeps the poll alive; the poll itself holds only a weak reference, so the
    // chain frees itself when it ends.
    *poll = [act, self = std::weak_ptr<std::function<void(int)>>(poll)](int left) {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* t = qobject_cast<T*>(w); t && t->isVisible()) {
                act(t);
                return;
            }
        }
        if (auto next = self.lock(); next && left > 0)
            QTimer::singleShot(10, [next, left] { (*next)(left - 1); });
    };
    QTimer::singleShot(0, [poll] { (*poll)(500); });
}

// Answers file dialogs from a list; an exhausted list cancels.
class ScriptedFileDialogs : public FileDialogs {
public:
    std::deque<QString> answers;
    std::vector<FileDialogRequest> asked;
    QString getOpenFileName(QWidget*, const FileDialogRequest& r) override { return next(r); }
    QString getSaveFileName(QWidget*, const FileDialogRequest& r) override { return next(r); }

private:
    QString next(const FileDialogRequest& r) {
        asked.push_back(r);
        if (answers.empty())
            return {};
        QString a = answers.front();
        answers.pop_front();
        return a;
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "windows-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
        // Each run leaves a mark that outlives the log (a run of all tests clears the log).
        std::ofstream(dir_ / "ratings.py") << "open(r'" << (dir_ / "rated").string() << "', 'a').write('x')\n";
        bus_ = std::make_unique<DrennicTestBus>();
        fixtures::SimNodeConfig config;
        config.nodeId = 5;
        bus_->devices().addNode(config, fixtures::SimObjectDictionary::builtin("full"));
        services_ = std::make_unique<Services>(bus_->api(), prompt_, dir_.string());
    }
    void TearDown() override {
        if (services_)
            services_->Shutdown();
        services_.reset();
        bus_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Runs this test again in a process whose offscreen platform has two screens side by side, its
    // own 800x800 at the origin and a second, 1024x768, to its right, and frames no window (as an X
    // server without a window manager). True in that process, where the test goes on; false here
    // once that run has ended, its result being this test's.
    bool onTwoScreens() {
        if (QGuiApplication::screens().size() >= 2)
            return true;
        std::ofstream(dir_ / "screens.json")
            << R"({"windowFrameMargins": false, "screens": [{"name": "1", "x": 0, "y": 0, "width": 800, "height": 800},)"
            << R"( {"name": "2", "x": 800, "y": 0, "width": 1024, "height": 768}]})";
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", QString::fromStdString("offscreen:configfile=" + (dir_ / "screens.json").string()));
        run.setProcessEnvironment(environment);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
        const bool ended = run.waitForFinished(60000);
        const QString output = QString::fromUtf8(run.readAll());
        EXPECT_TRUE(ended && run.exitCode() == 0 && output.contains("[  PASSED  ] 1 test.")) << output.toStdString();
        return false;
    }
    // How often the ratings script ran.
    [[nodiscard]] int ratings() const {
        std::error_code ec;
        const auto size = fs::file_size(dir_ / "rated", ec);
        return ec ? 0 : static_cast<int>(size);
    }

    fs::path dir_;
    RecordingPrompt prompt_;
    std::unique_ptr<DrennicTestBus> bus_;
    std::unique_ptr<Services> services_;
};

} // namespace ostrel::vessolt::test
