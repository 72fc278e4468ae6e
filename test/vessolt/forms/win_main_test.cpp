#include "win_main.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <atomic>
#include <condition_variable>
#include <thread>

#include <csignal>
#include <map>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <platform/ini.h>
#include <platform/process.h>

#include "network/set_node_config.h"
#include "testing/common_test.h"
#include "testing/global_test_config.h"
#include "qt_user_prompt.h"
#include "win_hw_config.h"
#include "win_network_config.h"
#include "kvgclass.h"
#include "script/ratings_script.h"
#include "testing/test_report.h"
#include <platform/registry.h>
#include "window_fixture.h"
#include "services/window_messages.h"

using namespace ostrel::vessolt;
using namespace ostrel::vessolt::test;

namespace {

QStringList memoLines(TWin_Main& window) {
    const QString text = window.findChild<QPlainTextEdit*>("messagebox")->toPlainText();
    return text.isEmpty() ? QStringList{} : text.split(QLatin1Char('\n'));
}

QStringList logLines(TLog& log) {
    QStringList out;
    for (const std::string& line : log.GetLinesFrom(0))
        out << QString::fromStdString(line);
    return out;
}

// The hardware dialog, answered with OK on the test network.
MainWindowLinks openingLinks(Services& services, std::unique_ptr<TWin_HWConfig>& dialog) {
    MainWindowLinks links;
    links.hardwareDialog = [&services, &dialog] {
        dialog = std::make_unique<TWin_HWConfig>(services.api(), services.hardware, services.prompt());
        whenShown<TWin_HWConfig>([](TWin_HWConfig* d) { d->findChild<QPushButton*>("ok")->click(); });
        dialog->exec();
        return services.hardware.initialised;
    };
    links.openExternal = [](const QString&) { return true; };
    return links;
}

struct RowView {
    QToolButton* up = nullptr;
    QToolButton* down = nullptr;
    QToolButton* run = nullptr;
    QToolButton* config = nullptr;
    QToolButton* window = nullptr;
    QCheckBox* box = nullptr;
    QLabel* status = nullptr;
};

// The rows as the user sees them, top to bottom.
std::vector<RowView> rows(TWin_Main& window) {
    std::vector<RowView> out;
    for (QCheckBox* box : window.findChildren<QCheckBox*>()) {
        QWidget* row = box->parentWidget();
        RowView v;
        v.box = box;
        for (QToolButton* b : row->findChildren<QToolButton*>()) {
            const QString hint = b->toolTip();
            if (hint.contains("up one"))
                v.up = b;
            else if (hint.contains("down one"))
                v.down = b;
            else if (hint.contains("execute"))
                v.run = b;
            else if (hint.contains("configure"))
                v.config = b;
            else if (hint.contains("window"))
                v.window = b;
        }
        v.status = row->findChildren<QLabel*>().value(0);
        out.push_back(v);
    }
    std::sort(out.begin(), out.end(), [](const RowView& a, const RowView& b) {
        return a.box->parentWidget()->y() < b.box->parentWidget()->y();
    });
    return out;
}

QAction* action(TWin_Main& w, const char* name) { return w.findChild<QAction*>(name); }

} // namespace

TEST_F(WindowTest, RunAllReadsTheNodeEnablesByTheTableAndRatesOnce) {
    std::atomic<bool> release{false};
    std::atomic<bool> reached{false};
    std::atomic<uint32_t> deviceType{0};
    TTestManager& manager = *services_->testManager;
    manager.AddTest(20, {.name = "Device type",
                         .Run = [&] {
                             manager.SetTestStatus(20, RUNNING);
                             uint32_t size = 4;
                             uint8_t data[4] = {};
                             SDORequest request{5, 0x1000, 0, &size, data};
                             const uint8_t cancel = 0;
                             const bool ok = services_->commonTest->SDOUpload(&request, &cancel);
                             deviceType = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                          uint32_t(data[3]) << 24;
                             manager.SetTestProgress(20, 50);
                             services_->deviceSummary->SetDeviceType(deviceType);
                             services_->deviceSummary->UpdateMaxBurstLength(3.26f);
                             reached = true;
                             for (int i = 0; i < 500 && !release; ++i)
                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                             manager.SetTestProgress(20, 100);
                             manager.SetTestStatus(20, ok && size == 4 ? PASSED : FAILED);
                         }});
    std::atomic<bool> cancelled{false};
    std::atomic<int> laterRuns{0};
    manager.AddTest(30, {.name = "Looping",
                         .Run = [&] {
                             manager.SetTestStatus(30, RUNNING);
                             for (int i = 0; i < 1000 && !cancelled; ++i)
                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                             manager.SetTestStatus(30, CANCELLED);
                         },
                         .Cancel = [&] { cancelled = true; }});
    manager.AddTest(1, {.name = "Later", .Run = [&] { ++laterRuns; }});

    std::unique_ptr<TWin_HWConfig> dialog;
    TWin_Main window(*services_, openingLinks(*services_, dialog));
    window.SetArguments({"vessolt"});
    window.show();
    ASSERT_TRUE(processUntil([&] { return rows(window).size() == 3; }));
    ASSERT_TRUE(bus_->open());  // the node powers on (the dialog opened the network already)
    EXPECT_EQ(services_->hardware.baudrate, 500);
    ASSERT_TRUE(processUntil([&] { return window.findChild<QLabel*>("baudrate")->text() == "500kbps"; }));
    EXPECT_EQ(window.findChild<QLabel*>("nodeid")->text(), "-");
    auto* run = window.findChild<QPushButton*>("runalltests");
    auto* cancel = window.findChild<QPushButton*>("cancelalltests");
    ASSERT_TRUE(run->isEnabled());
    ASSERT_FALSE(cancel->isEnabled());
    // Commands without a window behind them stay disabled.
    EXPECT_FALSE(action(window, "confignetwork")->isEnabled());
    EXPECT_FALSE(action(window, "confignsm")->isEnabled());

    manager.DisableTest(30);
    run->click();
    ASSERT_TRUE(processUntil([&] { return reached && cancel->isEnabled(); }));
    for (const char* name : {"generatereport", "openconfig", "resetdata"})
        EXPECT_FALSE(action(window, name)->isEnabled()) << name;
    for (const char* name : {"saveconfig", "viewreport", "checkreport", "manual", "exit"})
        EXPECT_TRUE(action(window, name)->isEnabled()) << name;
    EXPECT_FALSE(run->isEnabled());
    const auto during = rows(window);
    for (const RowView& r : during) {
        EXPECT_FALSE(r.run->isEnabled());
        EXPECT_FALSE(r.config->isEnabled());
        EXPECT_TRUE(r.window->isEnabled());
        EXPECT_TRUE(r.box->isEnabled());
    }
    EXPECT_TRUE(during[0].down->isEnabled());
    EXPECT_EQ(ratings(), 0);
    // The worker's values reach the summary's labels.
    ASSERT_TRUE(processUntil([&] { return window.findChild<QLabel*>("maxburstlength")->text() == "3.3 ms"; }));
    EXPECT_TRUE(window.findChild<QLabel*>("devicetype")->text().startsWith(
        QString::asprintf("0x%08X ", deviceType.load())));
    release = true;

    ASSERT_TRUE(processUntil([&] { return manager.GetRunState() == 0 && run->isEnabled() && ratings() == 1; }));
    EXPECT_EQ(deviceType.load() & 0xFFFF, 0x0191u & 0xFFFF) << std::hex << deviceType.load();
    const auto after = rows(window);
    EXPECT_EQ(after[0].status->text(), "Passed");
    EXPECT_EQ(after[0].status->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    EXPECT_EQ(after[1].status->text(), "Not started");
    EXPECT_EQ(laterRuns, 1);
    EXPECT_FALSE(cancel->isEnabled());
    ASSERT_TRUE(processUntil([&] { return memoLines(window) == logLines(*services_->log); }));

    // Cancel All on the looping test: it ends cancelled and the next test never runs.
    manager.EnableTest(30);
    manager.DisableTest(20);
    run->click();
    ASSERT_TRUE(processUntil([&] { return manager.GetRunningTestId() == 30 && cancel->isEnabled(); }));
    cancel->click();
    ASSERT_TRUE(processUntil([&] { return manager.GetRunState() == 0 && ratings() == 2; }));
    ASSERT_TRUE(processUntil([&] { return rows(window)[1].status->text() == "Cancelled"; }));
    EXPECT_EQ(laterRuns, 1);
    ASSERT_TRUE(processUntil([&] { return memoLines(window) == logLines(*services_->log); }));

    if (const char* shot = std::getenv("VESSOLT_WINDOW_SHOT"))
        window.grab().save(QString::fromUtf8(shot));

    const int closesBefore = bus_->bus().counters().close;
    EXPECT_TRUE(window.close());
    EXPECT_EQ(bus_->bus().counters().close, closesBefore + 1);
    services_->Shutdown();
    EXPECT_EQ(bus_->bus().counters().close, closesBefore + 1);
}

TEST_F(WindowTest, CancelledHardwareDialogEndsTheProgram) {
    std::unique_ptr<TWin_HWConfig> dialog;
    MainWindowLinks links;
    links.hardwareDialog = [&] {
        dialog = std::make_unique<TWin_HWConfig>(services_->api(), services_->hardware, prompt_);
        whenShown<TWin_HWConfig>([](TWin_HWConfig* d) { d->findChild<QPushButton*>("cancel")->click(); });
        dialog->exec();
        return services_->hardware.initialised;
    };
    TWin_Main window(*services_, std::move(links));
    window.show();
    ASSERT_TRUE(processUntil([&] { return !window.isVisible(); }));
    EXPECT_FALSE(services_->hardware.initialised);
    EXPECT_FALSE(bus_->bus().initialized());
    EXPECT_EQ(ratings(), 0);
}

TEST_F(WindowTest, ClosingMidRunNeverWaitsOnTheWorker) {
    // The worker waits for an answer from the GUI thread, then for a GUI timer.
    QtUserPrompt prompt;
    std::atomic<bool> timerFired{false};
    std::atomic<bool> answered{false};
    TTestManager& manager = *services_->testManager;
    QObject guiThing;
    manager.AddTest(20, {.name = "Asks",
                         .Run = [&] {
                             (void)prompt.ask(PromptIcon::Question, "Go on?", kProductName, PromptButtons::YesNo);
                             answered = true;
                             QMetaObject::invokeMethod(&guiThing, [&] {
                                 QTimer::singleShot(50, [&] { timerFired = true; });
                             }, Qt::QueuedConnection);
                             for (int i = 0; i < 500 && !timerFired; ++i)
                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                         }});
    std::unique_ptr<TWin_HWConfig> dialog;
    TWin_Main window(*services_, openingLinks(*services_, dialog));
    window.show();
    ASSERT_TRUE(processUntil([&] { return rows(window).size() == 1; }));
    const int closesBefore = bus_->bus().counters().close;

    // The close comes while the question is on screen; the answer comes after it.
    whenShown<QMessageBox>([&](QMessageBox* box) {
        EXPECT_FALSE(window.close());
        EXPECT_TRUE(window.isVisible());
        QTimer::singleShot(150, box, [box] { box->button(QMessageBox::Yes)->click(); });
    });
    window.findChild<QPushButton*>("runalltests")->click();
    ASSERT_TRUE(processUntil([&] { return !window.isVisible(); }));
    EXPECT_TRUE(answered);
    EXPECT_TRUE(timerFired);
    EXPECT_EQ(manager.GetRunState(), 0);
    EXPECT_EQ(bus_->bus().counters().close, closesBefore + 1);
    EXPECT_EQ(ratings(), 0);
}

TEST_F(WindowTest, LogBurstWithClearShowsExactlyTheLog) {
    TWin_Main window(*services_);
    window.show();
    std::thread writer([this] {
        for (int i = 0; i < 2500; ++i)
            services_->log->Add("line " + std::to_string(i));
        services_->log->Clear();
        for (int i = 0; i < 2500; ++i)
            services_->log->Add("after " + std::to_string(i));
    });
    // The GUI keeps handling messages while the lines arrive.
    ASSERT_TRUE(processUntil([&] { return services_->log->GetLinesFrom(0).size() >= 2500; }, 20000));
    writer.join();
    ASSERT_TRUE(processUntil([&] { return memoLines(window) == logLines(*services_->log); }));
    EXPECT_EQ(memoLines(window).size(), 2500);
    EXPECT_EQ(memoLines(window).front(), "after 0");
    window.close();
}

TEST_F(WindowTest, RowsArrowsStatusAndRefreshWithoutRequests) {
    TTestManager& manager = *services_->testManager;
    manager.AddTest(20, {.name = "Only"});
    TWin_Main window(*services_);
    window.show();
    ASSERT_TRUE(processUntil([&] { return rows(window).size() == 1; }));
    EXPECT_EQ(rows(window)[0].up, nullptr);
    EXPECT_EQ(rows(window)[0].down, nullptr);

    window.close();
    manager.AddTest(30, {.name = "Second"});
    TWin_Main second(*services_);
    second.show();
    ASSERT_TRUE(processUntil([&] { return rows(second).size() == 2; }));
    auto r = rows(second);
    EXPECT_EQ(r[0].up, nullptr);
    ASSERT_NE(r[0].down, nullptr);
    ASSERT_NE(r[1].up, nullptr);
    EXPECT_EQ(r[1].down, nullptr);
    r[0].down->click();
    ASSERT_TRUE(processUntil([&] { return rows(second)[0].box->text() == "Second"; }));

    // A status outside the table is "Not started" in black.
    manager.SetTestStatus(20, 7);
    manager.SetTestStatus(30, FAILED);
    ASSERT_TRUE(processUntil([&] { return rows(second)[0].status->text() == "Failed"; }));
    manager.SetTestStatus(20, RUNNING);
    manager.SetTestStatus(20, 7);
    ASSERT_TRUE(processUntil([&] { return rows(second)[1].status->text() == "Not started"; }));
    EXPECT_EQ(rows(second)[1].status->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(rows(second)[0].status->palette().color(QPalette::WindowText), QColor(255, 0, 0));

    // A refresh that unticks a box asks the manager for nothing.
    manager.DisableTest(20);
    ASSERT_TRUE(processUntil([&] { return !rows(second)[1].box->isChecked(); }));
    QApplication::processEvents();
    TEST test;
    ASSERT_TRUE(manager.GetTest(20, test));
    EXPECT_FALSE(test.enabled);
    rows(second)[1].box->click();
    ASSERT_TRUE(manager.GetTest(20, test));
    EXPECT_TRUE(test.enabled);
    second.close();
}

TEST_F(WindowTest, SaveAsksBeforeReplacingAndKeepsForeignSections) {
    services_->testManager->AddTest(20, {.name = "Only"});
    ScriptedFileDialogs dialogs;
    TWin_Main window(*services_);
    window.SetFileDialogs(&dialogs);
    const fs::path file = dir_ / "setup.nbx";
    const std::string foreign = "[Foreign]\nkey=kept\n";
    std::ofstream(file) << foreign;

    prompt_.queueAnswer(PromptAnswer::No);
    dialogs.answers.push_back(QString::fromStdString(file.string()));
    action(window, "saveconfig")->trigger();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, "Save Configuration");
    EXPECT_EQ(dialogs.asked[0].filter, "Configuration Files (*.nbx);;All Files (*)");
    EXPECT_TRUE(dialogs.asked[0].ownOverwriteQuestion);
    ASSERT_EQ(prompt_.asked().size(), 1u);
    EXPECT_EQ(prompt_.asked()[0].text, file.string() + " already exists. Do you want to overwrite it?");
    {
        std::ifstream in(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), foreign);
    }

    services_->testManager->DisableTest(20);
    prompt_.queueAnswer(PromptAnswer::Yes);
    dialogs.answers.push_back(QString::fromStdString(file.string()));
    action(window, "saveconfig")->trigger();
    ostrel::platform::IniFile ini(file.string());
    ASSERT_TRUE(ini.load());
    EXPECT_EQ(ini.readString("Foreign", "key", ""), "kept");
    EXPECT_TRUE(ini.sectionExists("Test Manager"));

    // Open: the test's enabled flag comes from the file.
    services_->testManager->EnableTest(20);
    dialogs.answers.push_back(QString::fromStdString(file.string()));
    action(window, "openconfig")->trigger();
    TEST test;
    ASSERT_TRUE(services_->testManager->GetTest(20, test));
    EXPECT_FALSE(test.enabled);

    // At the first showing the stored order applies (all enabled here), then a single argument.
    TWin_Main two(*services_);
    two.SetArguments({"vessolt", QString::fromStdString(file.string()), "extra"});
    two.show();
    ASSERT_TRUE(processUntil([&] { return rows(two).size() == 1; }));
    ASSERT_TRUE(services_->testManager->GetTest(20, test));
    EXPECT_TRUE(test.enabled);
    two.close();
    TWin_Main one(*services_);
    one.SetArguments({"vessolt", QString::fromStdString(file.string())});
    one.show();
    ASSERT_TRUE(processUntil([&] { return rows(one).size() == 1; }));
    ASSERT_TRUE(services_->testManager->GetTest(20, test));
    EXPECT_FALSE(test.enabled);

    // View before any report says so.
    action(one, "viewreport")->trigger();
    EXPECT_EQ(prompt_.asked().back().text, "No reports generated");
    one.close();
    window.close();
}

TEST_F(WindowTest, ReportCommandsWriteWhatTheWindowShowsAndOpenTheReport) {
    ScriptedFileDialogs dialogs;
    std::vector<QString> opened;
    MainWindowLinks links;
    links.openExternal = [&opened](const QString& target) {
        opened.push_back(target);
        return true;
    };
    TWin_Main window(*services_, std::move(links));
    window.SetFileDialogs(&dialogs);
    services_->deviceSummary->SetBaudrate(1000);
    ASSERT_TRUE(processUntil([&] { return window.findChild<QLabel*>("baudrate")->text() == "1Mbps"; }));
    // Posted but not yet handled: not in the report.
    services_->deviceSummary->SetBaudrate(250);

    const fs::path report = dir_ / "report.txt";
    dialogs.answers.push_back(QString::fromStdString(report.string()));
    action(window, "generatereport")->trigger();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, "Save Test Report");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toStdString(), report.string());
    std::ifstream in(report);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(text.find("1Mbps"), std::string::npos);
    EXPECT_EQ(text.find("250kbps"), std::string::npos);

    action(window, "viewreport")->trigger();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1], opened[0]);
    dialogs.answers.push_back(QString::fromStdString(report.string()));
    const size_t asked = prompt_.asked().size();
    action(window, "checkreport")->trigger();
    EXPECT_EQ(dialogs.asked.back().title, "Open Test Report");
    ASSERT_EQ(prompt_.asked().size(), asked + 1);
    EXPECT_EQ(prompt_.asked().back().text, TTestReport::kValidText);
    ASSERT_TRUE(processUntil([&] { return window.findChild<QLabel*>("baudrate")->text() == "250kbps"; }));

    // Reset empties summary (but for the bit rate), log and results.
    services_->deviceSummary->UpdateMaxBurstLength(3.26f);
    ASSERT_TRUE(processUntil([&] { return window.findChild<QLabel*>("maxburstlength")->text() == "3.3 ms"; }));
    services_->log->Add("something");
    action(window, "resetdata")->trigger();
    EXPECT_TRUE(services_->log->GetLinesFrom(0).empty());
    ASSERT_TRUE(processUntil([&] { return window.findChild<QLabel*>("maxburstlength")->text() == "-"; }));
    EXPECT_EQ(window.findChild<QLabel*>("baudrate")->text(), "250kbps");
}

// What a file the user or the program's folder names can turn out to be.
enum class Kind { Fifo, DevZero, Folder, Dangling, ReadOnly, Sparse4G, FullDisk, NotUtf8 };
constexpr Kind kKinds[] = {Kind::Fifo,     Kind::DevZero,  Kind::Folder,   Kind::Dangling,
                           Kind::ReadOnly, Kind::Sparse4G, Kind::FullDisk, Kind::NotUtf8};

struct Answer {
    bool done = false;
    std::string said;  // the message, log line or reason the program gave
};

// One reader or writer of such a file: where it looks (a name in the case's folder; the program's
// own files have fixed names), what a good file holds, and the call.
struct FileUser {
    const char* name;
    std::string file;
    std::string content;
    std::function<Answer(const std::string& path)> use;
    bool writes = false;
    bool readsFirst = false;      // a writer that keeps the file's other parts reads it first
    bool ownStore = false;        // the registry: a damaged file is set aside and written afresh
    bool missingIsEmpty = false;  // a missing file reads as an empty one
    bool qtNames = false;         // the name passes a QString: non-UTF-8 names are helper vmisc's mend
    bool noReason = false;        // its message names no reason yet: helper vmisc's mend
    std::map<Kind, std::string> unlike{};  // answers that differ from the class's
};

// "" when the use works on the kind; else the reason its message must give.
std::string expected(const FileUser& u, Kind kind, const std::string& fullDisk) {
    if (auto it = u.unlike.find(kind); it != u.unlike.end())
        return it->second;
    const bool setAside = u.writes && u.ownStore;
    switch (kind) {
    case Kind::Fifo:
    case Kind::DevZero: return setAside ? "" : "not a regular file";
    case Kind::Folder: return setAside ? "" : "Is a directory";
    case Kind::Dangling: return u.writes || u.missingIsEmpty ? "" : "No such file or directory";
    case Kind::ReadOnly: return u.writes && !u.ownStore ? "the file is read-only" : "";
    case Kind::Sparse4G: return setAside || (u.writes && !u.readsFirst) ? "" : "File too large";
    case Kind::FullDisk: return u.writes ? fullDisk : "";
    case Kind::NotUtf8: return "";
    }
    return {};
}

std::string snapshot(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "absent";
    std::string out = std::to_string(st.st_mode) + "/" + std::to_string(st.st_ino) + "/" + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode) && st.st_size < (1 << 20)) {
        std::ifstream in(path, std::ios::binary);
        out += std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

// A small file system of the test's own, full or read-only: a tmpfs mounted for it (as root); else
// a file-size limit of 0 while a use runs (EFBIG instead of ENOSPC) and a folder without write
// permission (EACCES instead of EROFS).
class SmallDisk {
public:
    explicit SmallDisk(const fs::path& folder) : folder_(folder) {
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(folder_.c_str(), MNT_DETACH);
    }
    void fill() {
        full_ = true;
        const int fd = mounted_ ? ::open((folder_ / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
        const std::string block(4096, 'x');
        while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
        }
        if (fd >= 0)
            ::close(fd);
    }
    void makeReadOnly() {
        if (mounted_)
            ASSERT_EQ(::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        else
            fs::permissions(folder_, fs::perms::owner_write, fs::perm_options::remove);
    }
    [[nodiscard]] std::string reason() const {
        return std::strerror(full_ ? (mounted_ ? ENOSPC : EFBIG) : (mounted_ ? EROFS : EACCES));
    }
    void limitWrites(bool on) {
        if (mounted_ || !full_)
            return;
        if (!on) {
            ::setrlimit(RLIMIT_FSIZE, &before_);
            return;
        }
        ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &before_);
        const rlimit none{0, before_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &none);
    }

private:
    fs::path folder_;
    bool mounted_ = false;
    bool full_ = false;
    rlimit before_{};
};

// Ends the run when a use does not answer at all, which would otherwise wait for ever.
class Watchdog {
public:
    explicit Watchdog(std::string what) : thread_([this, what = std::move(what)] {
        std::unique_lock lock(mutex_);
        if (!done_.wait_for(lock, std::chrono::seconds(60), [this] { return over_; })) {
            std::fprintf(stderr, "no answer from %s within 60 s\n", what.c_str());
            std::abort();
        }
    }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread thread_;
};

// Every reader and writer of a file that the user or the program's folder names, given every kind
// of thing such a file can turn out to be: an answer at once, a refusal with its reason, the file
// and the node table as they were.
TEST_F(WindowTest, EveryReaderAndWriterOfANamedFileAnswersAtOnceAndRefusesWithItsReason) {
    NetworkConfig stored;
    ASSERT_TRUE(stored.AddNodes(NetworkConfigNode{5, "Device", "device.eds", "", "", "", "", 0}, 2));
    ASSERT_TRUE(stored.SaveSettings(""));
    ScriptedFileDialogs files;
    TWin_NetworkConfig network(*services_->symbols, prompt_, files, {});
    MainWindowLinks links;
    links.network = &network;
    TWin_Main window(*services_, std::move(links));
    window.SetFileDialogs(&files);
    TLog& log = *services_->log;
    const auto prompted = [this](size_t before) {
        std::string out;
        for (size_t i = before; i < prompt_.asked().size(); ++i)
            out += prompt_.asked()[i].text + "\n";
        return out;
    };
    const auto command = [&](const char* name) {
        return [&, name](const std::string& path) {
            const size_t before = prompt_.asked().size();
            files.answers.push_back(QString::fromStdString(path));
            action(window, name)->trigger();
            const std::string said = prompted(before);
            return Answer{said.find("Unable") == std::string::npos, said};
        };
    };
    const auto script = [&](const std::string& path) {
        return TRatingsScript(fs::path(path).parent_path().string(), log, *services_->deviceSummary, prompt_);
    };
    const auto gauge = [](bool read) {
        return [read](const std::string& path) {
            controls::TIniSettings settings;
            settings.UseAppDir = false;
            settings.FileName = QString::fromStdString(path);
            settings.Section = "Gauge";
            settings.OnHandleIniEvent = [](ostrel::platform::IniFile& ini, bool r) {
                if (!r)
                    ini.writeInteger("Gauge", "Max", 100);
            };
            settings.Handle(read);
            return Answer{!settings.Error(), settings.ErrorText().toStdString()};
        };
    };
    const auto registry = [](bool write) {
        return [write](const std::string& path) {
            const std::string previous = ostrel::platform::registryDir();
            ::setenv("OSTREL_REGISTRY_DIR", fs::path(path).parent_path().parent_path().parent_path().c_str(), 1);
            auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, "Probe");
            Answer answer;
            if (key && write)
                answer.done = key->writeInteger("x", 2) && key->flush();
            else if (key)
                answer.done = !key->values().empty() || key->lastError().empty();
            answer.said = key ? key->lastError() : "no key";
            ::setenv("OSTREL_REGISTRY_DIR", previous.c_str(), 1);
            return answer;
        };
    };
    std::ifstream library(ostrel::platform::executableDir() + "/libfoo.so", std::ios::binary);
    const std::string values = "ostrel-registry 1\ni\tx\t1\nend 1\n";
    const std::vector<FileUser> users = {
        {.name = "open configuration", .file = "c.nbx", .content = "[Global Configuration]\nmaxbootuptime=3000\n",
         .use = command("openconfig"), .qtNames = true},
        {.name = "save configuration", .file = "c.nbx", .content = "[Other]\nkept=1\n", .use = command("saveconfig"),
         .writes = true, .readsFirst = true, .qtNames = true},
        {.name = "generate report", .file = "r.txt", .content = "old report\n",
         .use = [&](const std::string& path) {
             const size_t before = prompt_.asked().size();
             return Answer{services_->testReport->Generate(path), prompted(before)};
         },
         .writes = true},
        {.name = "check report", .file = "r.txt", .content = "report\n",
         .use = [&](const std::string& path) {
             std::string why;
             return Answer{services_->testReport->CheckFile(path, &why) != ReportVerdict::Unreadable, why};
         }},
        {.name = "read ratings.py", .file = "ratings.py", .content = "x = 1\n",
         .use = [&](const std::string& path) {
             std::vector<std::string> lines;
             std::string error;
             return Answer{script(path).LoadScript(lines, &error), error};
         }},
        {.name = "save ratings.py", .file = "ratings.py", .content = "x = 1\n",
         .use = [&](const std::string& path) { return Answer{script(path).SaveScript({"x = 2"}), {}}; },
         .writes = true, .noReason = true},
        {.name = "DCF", .file = "d.dcf", .content = "[DeviceInfo]\nVendorName=x\n",
         .use = [&](const std::string& path) {
             GLOBALCONFIG global;
             global.configurenode = true;
             global.dcfpath = path;
             (void)services_->globalConfig->Set(global, nullptr);
             char* text = nullptr;
             size_t size = 0;
             std::FILE* out = ::open_memstream(&text, &size);
             services_->setNodeConfig->WriteReport(out, 0);
             std::fclose(out);
             const std::string said(text, size);
             std::free(text);
             return Answer{said.find("Unable") == std::string::npos, said};
         }},
        {.name = "EDS", .file = "e.eds", .content = "[1000]\nParameterName=Device type\nDataType=0x0007\nAccessType=ro\n",
         .use = [&](const std::string& path) {
             const int32_t before = log.GetLineCount();
             services_->symbols->ImportEDS(9, path);
             const std::string said = log.GetLineCount() > before ? log.GetLine(log.GetLineCount() - 1) : "";
             return Answer{said.find("failed") == std::string::npos, said};
         }},
        {.name = "network description", .file = "n.cxl", .content = "<network/>\n",
         .use = [&](const std::string& path) {
             const size_t before = prompt_.asked().size();
             return Answer{services_->symbols->LoadFile(path), prompted(before)};
         }},
        {.name = "read gauge settings", .file = "g.ini", .content = "[Gauge]\nMax=50\n", .use = gauge(true),
         .missingIsEmpty = true, .qtNames = true},
        {.name = "save gauge settings", .file = "g.ini", .content = "[Other]\nkept=1\n", .use = gauge(false),
         .writes = true, .readsFirst = true, .qtNames = true},
        {.name = "driverlibrary", .file = "libdriver.so", .content = std::string(std::istreambuf_iterator<char>(library), {}),
         .use = [](const std::string& path) {
             const std::string problem = DriverLibraryProblem(path);
             return Answer{problem.empty(), problem};
         },
         .unlike = {{Kind::Sparse4G, "ELF"}}},
        {.name = "read the registry", .file = "registry/HKEY_CURRENT_USER/Probe/.values", .content = values,
         .use = registry(false), .ownStore = true, .missingIsEmpty = true},
        {.name = "write the registry", .file = "registry/HKEY_CURRENT_USER/Probe/.values", .content = values,
         .use = registry(true), .writes = true, .ownStore = true},
    };

    for (const Kind kind : kKinds) {
        const fs::path folder = dir_ / (kind == Kind::NotUtf8 ? "case-\xff\xfe" : "case-" + std::to_string(int(kind)));
        fs::create_directory(folder);
        std::optional<SmallDisk> disk;
        if (kind == Kind::FullDisk)
            disk.emplace(folder);
        for (size_t u = 0; u < users.size(); ++u) {
            const fs::path path = folder / std::to_string(u) / users[u].file;
            fs::create_directories(path.parent_path());
            switch (kind) {
            case Kind::Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
            case Kind::DevZero: fs::create_symlink("/dev/zero", path); break;
            case Kind::Folder: fs::create_directory(path); break;
            case Kind::Dangling: fs::create_symlink(path.parent_path() / "missing", path); break;
            case Kind::Sparse4G: std::ofstream(path).close(); fs::resize_file(path, uint64_t{4} << 30); break;
            default: std::ofstream(path, std::ios::binary) << users[u].content;
            }
            if (kind == Kind::ReadOnly)
                fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        }
        if (disk)
            disk->fill();
        for (size_t u = 0; u < users.size(); ++u) {
            const FileUser& user = users[u];
            const fs::path path = folder / std::to_string(u) / user.file;
            const std::string what = std::string(user.name) + " on " + path.string();
            if (kind == Kind::NotUtf8 && user.qtNames)
                continue;
            const std::string before = snapshot(path);
            const auto rows = network.config().rows();
            const auto started = std::chrono::steady_clock::now();
            Answer answer;
            {
                Watchdog watchdog(what);
                if (disk)
                    disk->limitWrites(true);
                answer = user.use(path.string());
                if (disk)
                    disk->limitWrites(false);
            }
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << what;
            const std::string reason = expected(user, kind, disk ? disk->reason() : "");
            if (reason.empty()) {
                EXPECT_TRUE(answer.done) << what << ": " << answer.said;
                continue;
            }
            EXPECT_FALSE(answer.done) << what;
            EXPECT_TRUE(user.noReason || answer.said.find(reason) != std::string::npos) << what << ": " << answer.said;
            EXPECT_EQ(snapshot(path), before) << what;
            EXPECT_EQ(network.config().rows(), rows) << what;
        }
    }
}

// The registry on a full or a read-only disk: the close says once, while the window is there, that
// the settings could not be stored and why, and standard error says so too; with room, nothing.
TEST_F(WindowTest, SettingsThatCannotBeStoredAtTheCloseAreReportedOnce) {
    for (const char* disk : {"room", "full", "read-only"}) {
        const fs::path folder = dir_ / disk;
        fs::create_directory(folder);
        SmallDisk small(folder);
        ::setenv("OSTREL_REGISTRY_DIR", folder.c_str(), 1);
        TWin_Main window(*services_);
        window.show();
        if (disk == std::string("full"))
            small.fill();
        else if (disk == std::string("read-only"))
            small.makeReadOnly();
        const size_t before = prompt_.asked().size();
        int pipe[2];
        ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);  // not a file: the size limit must not stop it
        const int stderrCopy = ::dup(STDERR_FILENO);
        ::dup2(pipe[1], STDERR_FILENO);
        small.limitWrites(true);
        window.close();
        small.limitWrites(false);
        ::dup2(stderrCopy, STDERR_FILENO);
        ::close(stderrCopy);
        ::close(pipe[1]);
        std::string errors(4096, '\0');
        errors.resize(static_cast<size_t>(std::max<ssize_t>(0, ::read(pipe[0], errors.data(), errors.size()))));
        ::close(pipe[0]);
        const auto asked = prompt_.asked();
        EXPECT_TRUE(window.isHidden());
        ASSERT_EQ(asked.size(), before + (disk == std::string("room") ? 0 : 1)) << disk;
        if (disk == std::string("room"))
            continue;
        EXPECT_NE(asked.back().text.find("The settings could not be stored"), std::string::npos) << asked.back().text;
        EXPECT_NE(asked.back().text.find(small.reason()), std::string::npos) << asked.back().text;
        EXPECT_NE(errors.find("the settings could not be stored"), std::string::npos) << errors;
        EXPECT_NE(errors.find(small.reason()), std::string::npos) << errors;
    }
}

TEST_F(WindowTest, ConfigureNetworkOkLoadsAndAppliesTheDescriptionOnce) {
    ScriptedFileDialogs files;
    TWin_NetworkConfig dialog(*services_->symbols, prompt_, files, {});
    MainWindowLinks links;
    links.network = &dialog;
    TWin_Main window(*services_, std::move(links));
    int loads = 0;
    services_->symbols->AddLoadCallback([&loads] { ++loads; });
    whenShown<TWin_NetworkConfig>([](TWin_NetworkConfig* d) {
        d->findChild<QCheckBox*>("usenetdesc")->setChecked(true);
        d->findChild<QLineEdit*>("netdesc")->setText(QString::fromStdString(ostrel::platform::executableDir()) + "/default.cxl");
        d->findChild<QPushButton*>("ok")->click();
    });
    action(window, "confignetwork")->trigger();
    EXPECT_EQ(loads, 2);  // the names reloaded, then the chosen description: each once
}

TEST_F(WindowTest, HelpManualAndTheHelpButtonHandTheShippedManualToTheDesktop) {
    std::vector<QString> opened;
    MainWindowLinks links;
    links.openExternal = [&opened](const QString& target) {
        opened.push_back(target);
        return true;
    };
    TWin_Main window(*services_, std::move(links));
    action(window, "manual")->trigger();
    window.findChild<QToolButton*>("helpbutton")->click();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1], opened[0]);
    EXPECT_EQ(opened[0].toStdString(), ostrel::platform::executableDir() + "/NBXManual.pdf");
    // The build writes the manual into the program's folder; the test's folder links to it.
    EXPECT_EQ(fs::canonical(opened[0].toStdString()), fs::canonical(OSTREL_SHIPPED_MANUAL));
    std::ifstream in(OSTREL_SHIPPED_MANUAL, std::ios::binary);
    std::string head(5, '\0');
    in.read(head.data(), 5);
    EXPECT_EQ(head, "%PDF-");
    EXPECT_TRUE(prompt_.asked().empty());
}

TEST_F(WindowTest, AMissingFileOrAManualOrPageThatCannotBeOpenedIsNamedInAMessage) {
    ScriptedFileDialogs dialogs;
    MainWindowLinks links;
    links.openExternal = [](const QString&) { return false; };  // no viewer, no browser
    TWin_Main window(*services_, std::move(links));
    window.SetFileDialogs(&dialogs);
    action(window, "manual")->trigger();
    action(window, "homepage")->trigger();
    auto asked = prompt_.asked();
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(asked[asked.size() - 2].text, "Unable to open " + ostrel::platform::executableDir() +
                                                "/NBXManual.pdf. No application is set up to show it; please "
                                                "open the file with a program of your choice.");
    EXPECT_EQ(asked.back().text, "Unable to open https://norbix.example.org/. Please open this address in a web browser.");

    // The last report, deleted since.
    const fs::path report = dir_ / "gone.txt";
    dialogs.answers.push_back(QString::fromStdString(report.string()));
    action(window, "generatereport")->trigger();
    fs::remove(report);
    action(window, "viewreport")->trigger();
    EXPECT_EQ(prompt_.asked().back().text, "The file " + report.string() + " was not found.");
}
