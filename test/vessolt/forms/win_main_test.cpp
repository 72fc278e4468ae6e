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
    two.SetArguments({"vessolt", file.string(), "extra"});
    two.show();
    ASSERT_TRUE(processUntil([&] { return rows(two).size() == 1; }));
    ASSERT_TRUE(services_->testManager->GetTest(20, test));
    EXPECT_TRUE(test.enabled);
    two.close();
    // A name whose bytes are not UTF-8 is opened as the bytes it is from the command line; from a
    // file dialog, where Qt has lost them, it is refused with the reason.
    const fs::path latin1 = dir_ / "r\xe9glage.nbx";
    fs::copy_file(file, latin1);
    TWin_Main one(*services_);
    one.SetArguments({"vessolt", latin1.string()});
    one.show();
    ASSERT_TRUE(processUntil([&] { return rows(one).size() == 1; }));
    ASSERT_TRUE(services_->testManager->GetTest(20, test));
    EXPECT_FALSE(test.enabled);
    services_->testManager->EnableTest(20);
    dialogs.answers.push_back(FileNameText(latin1.string()));
    action(window, "openconfig")->trigger();
    EXPECT_EQ(prompt_.asked().back().text, "Unable to read the configuration from " +
                                               FileNameBytes(FileNameText(latin1.string())) +
                                               " (the file name is not UTF-8 text; please rename the file)");
    ASSERT_TRUE(services_->testManager->GetTest(20, test));
    EXPECT_TRUE(test.enabled);

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

// What a file the user or the program's folder names can turn out to be, and how a reader or
// writer of one treats it.
enum class Kind { Fifo, DevZero, Folder, Dangling, ReadOnly, Sparse4G, FullDisk, NotUtf8 };
enum Trait { Writes = 1, ReadsFirst = 2, OwnStore = 4, MissingIsEmpty = 8, QtName = 16, NoReason = 32, Loader = 64 };

struct Answer {
    bool done = false;
    std::string said;  // the message, log line or reason the program gave
};

struct FileUser {
    const char* name;
    std::string file;     // in the case's folder; the program's own files have fixed names
    std::string content;  // a good one
    int traits;
    std::function<Answer(const std::string& path)> use;
};

// "" when the use works on the kind; else the reason its message must give. The registry sets a
// damaged file aside and writes afresh; a writer that keeps a file's other parts reads it first.
std::string expected(int t, Kind kind, const std::string& fullDisk) {
    const bool writes = t & Writes, setAside = writes && (t & OwnStore);
    switch (kind) {
    case Kind::Fifo:
    case Kind::DevZero: return setAside ? "" : "not a regular file";
    case Kind::Folder: return setAside ? "" : "Is a directory";
    case Kind::Dangling: return writes || (t & MissingIsEmpty) ? "" : "No such file or directory";
    case Kind::ReadOnly: return writes && !setAside ? "the file is read-only" : "";
    case Kind::Sparse4G: return (t & Loader) ? "ELF" : setAside || (writes && !(t & ReadsFirst)) ? "" : "File too large";
    case Kind::FullDisk: return writes ? fullDisk : "";
    case Kind::NotUtf8: break;
    }
    return "";
}

std::string snapshot(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "absent";
    std::ifstream in(S_ISREG(st.st_mode) && st.st_size < 4096 ? path : fs::path("/dev/null"), std::ios::binary);
    return std::to_string(st.st_mode) + "/" + std::to_string(st.st_ino) + "/" + std::to_string(st.st_size) +
           std::string(std::istreambuf_iterator<char>(in), {});
}

// A small file system of the test's own, filled or made read-only: a tmpfs (as root); else a file
// size limit of 0 while a use runs (EFBIG for ENOSPC) or a folder without write permission (EACCES).
struct SmallDisk {
    explicit SmallDisk(const fs::path& f)
        : folder(f), mounted(::mount("tmpfs", f.c_str(), "tmpfs", 0, "size=256k") == 0) {}
    ~SmallDisk() {
        if (mounted)
            ::umount2(folder.c_str(), MNT_DETACH);
    }
    void fill() {
        full = true;
        std::ofstream out(folder / "filler", std::ios::binary);
        while (mounted && out.write(std::string(4096, 'x').data(), 4096).flush()) {
        }
    }
    void makeReadOnly() {
        if (!mounted || ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            fs::permissions(folder, fs::perms::owner_write, fs::perm_options::remove);
    }
    [[nodiscard]] std::string reason() const {
        return std::strerror(full ? (mounted ? ENOSPC : EFBIG) : (mounted ? EROFS : EACCES));
    }
    void limitWrites(bool on) const {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{on && full && !mounted ? 0 : RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    fs::path folder;
    bool mounted;
    bool full = false;
};

// Every reader and writer of a file that the user or the program's folder names, given every kind
// of thing such a file can turn out to be: an answer at once (a hang is ended by the alarm), a
// refusal with its reason, the file and the node table as they were.
TEST_F(WindowTest, EveryReaderAndWriterOfANamedFileAnswersAtOnceAndRefusesWithItsReason) {
    NetworkConfig stored;
    ASSERT_TRUE(stored.AddNodes(NetworkConfigNode{5, "Device", "", "", "", "", "", 0}, 2));
    ASSERT_TRUE(stored.SaveSettings(""));
    ScriptedFileDialogs files;
    TWin_NetworkConfig network(*services_->symbols, prompt_, files, {});
    MainWindowLinks links;
    links.network = &network;
    TWin_Main window(*services_, std::move(links));
    window.SetFileDialogs(&files);
    TLog& log = *services_->log;
    // What the use said through the message boxes or the log; "Unable" or "failed" is a refusal.
    const auto said = [&](const std::function<bool()>& act) {
        const size_t asked = prompt_.asked().size();
        const int32_t lines = log.GetLineCount();
        const bool done = act();
        std::string out;
        for (size_t i = asked; i < prompt_.asked().size(); ++i)
            out += prompt_.asked()[i].text;
        for (int32_t i = lines; i < log.GetLineCount(); ++i)
            out += log.GetLine(i);
        return Answer{done && out.find("Unable") == std::string::npos && out.find("failed") == std::string::npos, out};
    };
    const auto command = [&](const char* name) {
        return [&, name](const std::string& path) {
            files.answers.push_back(QString::fromStdString(path));
            return said([&] { return action(window, name)->trigger(), true; });
        };
    };
    const auto script = [&](const std::string& path) {
        return TRatingsScript(fs::path(path).parent_path().string(), log, *services_->deviceSummary, prompt_);
    };
    const auto gauge = [](bool read) {
        return [read](const std::string& path) {
            controls::TIniSettings settings;
            std::tie(settings.FileName, settings.Section, settings.UseAppDir) = std::tuple(QString::fromStdString(path), "Gauge", false);
            settings.OnHandleIniEvent = [](ostrel::platform::IniFile& ini, bool) { ini.writeInteger("Gauge", "Max", 9); };
            settings.Handle(read);
            return Answer{!settings.Error(), settings.ErrorText().toStdString()};
        };
    };
    const auto registry = [](bool write) {
        return [write](const std::string& path) {
            const std::string previous = ostrel::platform::registryDir();
            ::setenv("OSTREL_REGISTRY_DIR", fs::path(path).parent_path().parent_path().parent_path().c_str(), 1);
            auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, "Probe");
            const bool done = key && (write ? key->writeInteger("x", 2) && key->flush()
                                            : !key->values().empty() || key->lastError().empty());
            ::setenv("OSTREL_REGISTRY_DIR", previous.c_str(), 1);
            return Answer{done, key ? key->lastError() : "no key"};
        };
    };
    std::ifstream library(ostrel::platform::executableDir() + "/libfoo.so", std::ios::binary);
    const std::string values = "ostrel-registry 1\ni\tx\t1\nend 1\n", registryFile = "r/HKEY_CURRENT_USER/Probe/.values";
    const std::vector<FileUser> users = {
        {"open configuration", "c.nbx", "[Global Configuration]\nmaxbootuptime=3000\n", QtName, command("openconfig")},
        {"save configuration", "c.nbx", "[Other]\nkept=1\n", Writes | ReadsFirst | QtName, command("saveconfig")},
        {"generate report", "r.txt", "old\n", Writes,
         [&](const std::string& path) { return said([&] { return services_->testReport->Generate(path); }); }},
        {"check report", "r.txt", "report\n", 0,
         [&](const std::string& path) {
             std::string why;
             return Answer{services_->testReport->CheckFile(path, &why) != ReportVerdict::Unreadable, why};
         }},
        {"read ratings.py", "ratings.py", "x = 1\n", 0,
         [&](const std::string& path) {
             std::vector<std::string> lines;
             std::string error;
             return Answer{script(path).LoadScript(lines, &error), error};
         }},
        {"save ratings.py", "ratings.py", "x = 1\n", Writes,
         [&](const std::string& path) {
             std::string error;
             const bool saved = script(path).SaveScript("x = 2\n", error);
             return Answer{saved, error};
         }},
        {"DCF", "d.dcf", "[DeviceInfo]\nVendorName=x\n", 0,
         [&](const std::string& path) {
             (void)services_->globalConfig->Set({.configurenode = true, .dcfpath = path}, nullptr);
             char* text = nullptr;
             size_t size = 0;
             std::FILE* report = ::open_memstream(&text, &size);  // the report's node section reads it
             services_->setNodeConfig->WriteReport(report, 0);
             std::fclose(report);
             const std::string out(text, size);
             std::free(text);
             return Answer{out.find("Unable") == std::string::npos, out};
         }},
        {"EDS", "e.eds", "[1000]\nParameterName=Device type\nDataType=0x0007\n", 0,
         [&](const std::string& path) { return said([&] { return services_->symbols->ImportEDS(9, path), true; }); }},
        {"network description", "n.cxl", "<network/>\n", 0,
         [&](const std::string& path) { return said([&] { return services_->symbols->LoadFile(path); }); }},
        {"read gauge settings", "g.ini", "[Gauge]\nMax=50\n", MissingIsEmpty | QtName, gauge(true)},
        {"save gauge settings", "g.ini", "[Other]\nkept=1\n", Writes | ReadsFirst | QtName, gauge(false)},
        {"driverlibrary", "libdriver.so", std::string(std::istreambuf_iterator<char>(library), {}), Loader,
         [](const std::string& path) {
             const std::string problem = DriverLibraryProblem(path);
             return Answer{problem.empty(), problem};
         }},
        {"read the registry", registryFile, values, OwnStore | MissingIsEmpty, registry(false)},
        {"write the registry", registryFile, values, Writes | OwnStore, registry(true)},
    };

    for (const Kind kind : {Kind::Fifo, Kind::DevZero, Kind::Folder, Kind::Dangling, Kind::ReadOnly, Kind::Sparse4G,
                            Kind::FullDisk, Kind::NotUtf8}) {
        const fs::path folder = dir_ / (kind == Kind::NotUtf8 ? "case-\xff\xfe" : "case-" + std::to_string(int(kind)));
        fs::create_directory(folder);
        std::optional<SmallDisk> disk;
        if (kind == Kind::FullDisk)
            disk.emplace(folder);
        for (size_t u = 0; u < users.size(); ++u) {
            const fs::path path = folder / std::to_string(u) / users[u].file;
            fs::create_directories(path.parent_path());
            if (kind == Kind::Fifo)
                ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            else if (kind == Kind::DevZero || kind == Kind::Dangling)
                fs::create_symlink(kind == Kind::DevZero ? fs::path("/dev/zero") : path.parent_path() / "gone", path);
            else if (kind == Kind::Folder)
                fs::create_directory(path);
            else
                std::ofstream(path, std::ios::binary) << (kind == Kind::Sparse4G ? "" : users[u].content);
            if (kind == Kind::Sparse4G)
                fs::resize_file(path, uint64_t{4} << 30);
            if (kind == Kind::ReadOnly)
                fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                fs::perm_options::remove);
        }
        if (disk)
            disk->fill();
        for (size_t u = 0; u < users.size(); ++u) {
            const FileUser& user = users[u];
            const fs::path path = folder / std::to_string(u) / user.file;
            if (kind == Kind::NotUtf8 && (user.traits & QtName))
                continue;  // a dialog's name passes through Qt's text: refused there with its own reason, tested with the window
            const std::string what = std::string(user.name) + " on " + path.string(), before = snapshot(path);
            const auto rows = network.config().rows();
            const auto started = std::chrono::steady_clock::now();
            ::alarm(60);
            if (disk)
                disk->limitWrites(true);
            const Answer answer = user.use(path.string());
            if (disk)
                disk->limitWrites(false);
            ::alarm(0);
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << what;
            const std::string reason = expected(user.traits, kind, disk ? disk->reason() : "");
            EXPECT_EQ(answer.done, reason.empty()) << what << ": " << answer.said;
            if (reason.empty())
                continue;
            EXPECT_TRUE((user.traits & NoReason) || answer.said.find(reason) != std::string::npos) << what << ": " << answer.said;
            EXPECT_EQ(snapshot(path), before) << what;
            EXPECT_EQ(network.config().rows(), rows) << what;
        }
    }
}

// The registry on a full or a read-only disk: the close says once, while the window is there, that
// the settings could not be stored and why, and standard error says so too; with room, nothing.
TEST_F(WindowTest, SettingsThatCannotBeStoredAtTheCloseAreReportedOnce) {
    for (const std::string disk : {"room", "full", "read-only"}) {
        fs::create_directory(dir_ / disk);
        SmallDisk small(dir_ / disk);
        ::setenv("OSTREL_REGISTRY_DIR", (dir_ / disk).c_str(), 1);
        TWin_Main window(*services_);
        ScriptedFileDialogs files;
        TWin_NetworkConfig network(*services_->symbols, prompt_, files, {});
        services_->AddSettingsOwner(network);
        window.show();
        if (disk != "room")
            disk == "full" ? small.fill() : small.makeReadOnly();
        const size_t before = prompt_.asked().size();
        int pipe[2];  // not a file, which the size limit would stop
        ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
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
        const std::string told = prompt_.asked().size() > before ? prompt_.asked().back().text : "";
        EXPECT_TRUE(window.isHidden());
        EXPECT_EQ(prompt_.asked().size(), before + (disk == "room" ? 0 : 1)) << disk;
        // The services' and the windows' settings, all stored by the close.
        for (const auto& [key, value] : {std::pair(std::string(kNetworkConfigKey), "totalnodes"),
                                         std::pair(TGlobalTestConfig::DefaultRegistryKey(), "maxbootuptime")}) {
            const auto stored = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, key);
            EXPECT_EQ(stored && stored->readInteger(value), disk == "room") << key;
        }
        services_->ClearSettingsOwners();
        for (const std::string& text : {told, errors})
            EXPECT_EQ(disk != "room" && text.find(small.reason()) != std::string::npos &&
                          QString::fromStdString(text).contains("the settings could not be stored", Qt::CaseInsensitive),
                      disk != "room") << disk << ": " << text;
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
