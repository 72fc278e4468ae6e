// The test program: brings the CANopen library, the services and the windows up, runs the message
// loop and takes everything down again in the reverse order.
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <clocale>
#include <cstdio>
#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <platform/registry.h>

#include "services/product_key.h"
#include "qt_user_prompt.h"
#include "app/services.h"
#include "config_form.h"
#include "dialog_edges.h"
#include "win_about.h"
#include "win_hw_config.h"
#include "win_main.h"
#include "win_test_config.h"
#include "win_config_global.h"
#include "win_quick_reference.h"
#include "config_odscan.h"
#include "file_dialog.h"
#include "nsm_config.h"
#include "od_scan.h"
#include "od_scan_registration.h"
#include "od_scan_types.h"
#include "win_network_config.h"
#include "win_node_config.h"
#include "win_odscan.h"
#include "timing_report.h"
#include "timing_test_set.h"
#include "timing_types.h"
#include "win_config_rpdo.h"
#include "win_config_timing.h"
#include "win_timing.h"
#include "config_pdoanalysis.h"
#include "pdo_analysis.h"
#include "pdo_analysis_registration.h"
#include "pdo_analysis_types.h"
#include "win_pdoanalysis.h"

namespace {

using namespace ostrel::vessolt;

// The timing tests' engines among the forms: made before their windows, deleted after them and
// before the services.
class TimingTestsForm : public QObject {
public:
    explicit TimingTestsForm(Services& services) : tests(services) {}
    TimingTestSet tests;
};

constexpr std::array<TimingTestKind, 5> kTimingKinds = {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs,
                                                        TimingTestKind::TPDOEvent, TimingTestKind::TPDOEventRPDOs,
                                                        TimingTestKind::PDOTurnaround};

// The network's bit rate in kbit/s; 0 while none is chosen.
uint32_t networkBitRate(const Services& services) {
    return services.hardware.baudrate > 0 ? static_cast<uint32_t>(services.hardware.baudrate) : 0;
}

void showException(const std::string& what) {
    QMessageBox::critical(QApplication::activeWindow(), QString::fromUtf8(kProductName), QString::fromStdString(what));
}

// An exception escaping an event handler is shown and the program goes on.
class VessoltApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            showException(e.what());
        } catch (...) {
            showException("An unknown error occurred");
        }
        return false;
    }
};

// SIGINT and SIGTERM close the main window as the user would. The handler may only write to a
// pipe; the GUI thread reads it. The pipe is the one thing the handler can reach.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    const int saved = errno;
    (void)!::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignalPipe() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return true;
}

// The interface driver library chosen in the hardware settings; empty selects the simulated bus.
std::string driverLibraryName() {
    auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, kProductKey);
    if (!key)
        return {};
    return key->readString("driverlibrary").value_or(std::string());
}

} // namespace

int main(int argc, char** argv) {
    VessoltApplication app(argc, argv);
    // Qt takes the number format from the environment; files and reports need the C one.
    std::setlocale(LC_NUMERIC, "C");
    DialogEdges dialogEdges;
    app.installEventFilter(&dialogEdges);

    QPointer<TWin_Main> mainWindow;
    bool terminating = false;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (installSignalPipe()) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &app, [&mainWindow, &terminating] {
            char bytes[16];
            while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            terminating = true;
            // A modal window (the splash, the hardware dialog) ends first, as if cancelled; the
            // start-up then goes on to its end without showing the main window.
            // Again from the loop: a dialog that was just being shown is visible only then.
            const auto endDialogs = [] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
                        dialog->reject();
            };
            endDialogs();
            QTimer::singleShot(0, QCoreApplication::instance(), endDialogs);
            if (mainWindow && mainWindow->isVisible())
                mainWindow->CloseUnattended();
            else
                QCoreApplication::quit();
        });
    }

    QtUserPrompt prompt;
    StartupParts parts;
    parts.driverName = driverLibraryName();
    parts.prompt = &prompt;
    // The forms in their order of making; the main window is told about the others as they come.
    // Qt took its own arguments out of argv; the rest stay the bytes they are (a file name need not
    // be UTF-8 text).
    std::vector<std::string> arguments(argv, argv + argc);
    parts.forms.push_back([&mainWindow, &arguments](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_Main>(services);
        window->SetArguments(arguments);
        mainWindow = window.get();
        return window;
    });
    // Shown from its constructor until its timer ends it; not once the program is asked to end.
    parts.forms.push_back([&terminating](Services& services) -> std::unique_ptr<QObject> {
        return std::make_unique<TWin_Splash>(services.prompt(), !terminating);
    });
    QPointer<TWin_About> about;
    parts.forms.push_back([&about](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_About>(services.prompt());
        about = window.get();
        return window;
    });
    QPointer<TWin_HWConfig> hardware;
    parts.forms.push_back([&hardware](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_HWConfig>(services.api(), services.hardware, services.prompt());
        hardware = window.get();
        return window;
    });
    QtFileDialogs globalPageFiles;
    QPointer<TWin_QuickReference> quickReference;
    QPointer<TWin_ConfigGlobal> basePage;
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        auto page = std::make_unique<TWin_ConfigGlobal>(
            *services.globalConfig, services.prompt(), globalPageFiles, [&quickReference](const char* resource, QWidget* caller) {
                if (quickReference)
                    quickReference->ShowResource(resource, caller);
            });
        basePage = page.get();
        return page;
    });
    // The test's settings pages come before the test windows that take them.
    QPointer<TWin_ConfigODScan> odScanPage;
    parts.forms.push_back([&odScanPage](Services&) -> std::unique_ptr<QObject> {
        auto page = std::make_unique<TWin_ConfigODScan>();
        odScanPage = page.get();
        return page;
    });
    QPointer<TWin_ConfigPDOAnalysis> pdoAnalysisPage;
    parts.forms.push_back([&pdoAnalysisPage](Services&) -> std::unique_ptr<QObject> {
        auto page = std::make_unique<TWin_ConfigPDOAnalysis>();
        pdoAnalysisPage = page.get();
        return page;
    });
    // The timing tests' engines come first: their pages and windows hold them.
    TimingTestSet* timingTests = nullptr;
    parts.forms.push_back([&timingTests](Services& services) -> std::unique_ptr<QObject> {
        auto form = std::make_unique<TimingTestsForm>(services);
        timingTests = &form->tests;
        return form;
    });
    QPointer<TWin_ConfigRPDO> rpdoDialog;
    parts.forms.push_back([&rpdoDialog, &mainWindow](Services&) -> std::unique_ptr<QObject> {
        auto dialog = std::make_unique<TWin_ConfigRPDO>(mainWindow.data());
        rpdoDialog = dialog.get();
        return dialog;
    });
    std::array<QPointer<TWin_ConfigTiming>, 5> timingPages;
    for (std::size_t i = 0; i < kTimingKinds.size(); ++i)
        parts.forms.push_back([&, i](Services& services) -> std::unique_ptr<QObject> {
            const TimingTestKind kind = kTimingKinds[i];
            auto page = MakeTimingPage(kind, timingTests->Engine(kind), services.prompt(), *services.expressions,
                                       *services.deviceSummary, *rpdoDialog, [&quickReference](QWidget* caller) {
                                           if (quickReference)
                                               quickReference->ShowResource(TWin_QuickReference::kExpressions, caller);
                                       });
            timingPages[i] = page.get();
            return page;
        });
    QPointer<TWin_TestConfig> testConfig;
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_TestConfig>(*services.testManager, basePage.data(), mainWindow.data());
        testConfig = window.get();
        return window;
    });
    // The object dictionary scan: its engine lives as long as its window, and both go before the
    // services they use.
    std::unique_ptr<TODScan> odScan;
    QPointer<TWin_ODScan> odScanWindow;
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        ODScanLinks links;
        links.bitRateKbit = [&services] { return networkBitRate(services); };
        links.configureNode = [&services](uint8_t node, const std::atomic<bool>* cancel) {
            services.setNodeConfig->Configure(node, cancel);
        };
        links.writeODScanLists = [&services](uint8_t node) { return services.nsm->WriteODScanLists(node); };
        links.startTransmission = [&services] { return services.nsm->StartTransmission(); };
        links.entryName = [&services](uint32_t index, uint8_t sub, uint8_t node) {
            return services.symbols->GetEntryName(index, sub, node, 1000);
        };
        links.entryType = [&services](uint32_t index, uint8_t sub, uint8_t node) -> int32_t {
            const auto entry = services.symbols->FindEntry(index, sub, node);
            return entry ? static_cast<int32_t>(entry->dataType) : 0;
        };
        links.objectKind = [&services](uint32_t index, uint8_t node) {
            return services.symbols->GetObjectKind(index, node);
        };
        odScan = std::make_unique<TODScan>(*services.testManager, *services.commonTest, *services.traceBuffer,
                                           *services.deviceSummary, *services.log, std::move(links));
        auto window = std::make_unique<TWin_ODScan>(*odScan, *services.testManager);
        odScanWindow = window.get();
        services.symbols->AddLoadCallback([w = QPointer<TWin_ODScan>(window.get())] {
            if (w)
                QMetaObject::invokeMethod(w, [w] { if (w) w->SymbolsLoaded(); }, Qt::QueuedConnection);
        });
        RegisterODScanTest(*services.testManager, *odScan,
                           {.showWindow = [w = odScanWindow] {
                                if (w) {
                                    w->show();
                                    w->raise();
                                }
                            },
                            .registerPythonTypes = [&odScan](_object* module) { RegisterODScanPythonTypes(module, *odScan); },
                            .configPage = odScanPage.data()});
        return window;
    });
    // The PDO analysis, made and taken down like the object dictionary scan.
    std::unique_ptr<TPDOAnalysis> pdoAnalysis;
    QPointer<TWin_PDOAnalysis> pdoAnalysisWindow;
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        PDOAnalysisLinks links;
        links.bitRateKbit = [&services] { return networkBitRate(services); };
        links.configureNode = [&services](uint8_t node, const std::atomic<bool>* cancel) {
            services.setNodeConfig->Configure(node, cancel);
        };
        links.writePDOAnalysisLists = [&services](uint8_t node) { return services.nsm->WritePDOAnalysisLists(node); };
        links.startTransmission = [&services] { return services.nsm->StartTransmission(); };
        links.messageName = [&services](uint32_t id) { return services.symbols->GetMessageName(id); };
        links.entryName = [&services](uint32_t index, uint8_t sub, uint8_t node) -> std::optional<std::string> {
            const auto entry = services.symbols->FindEntry(index, sub, node);
            return entry ? std::optional<std::string>(entry->entryName) : std::nullopt;
        };
        pdoAnalysis = std::make_unique<TPDOAnalysis>(*services.testManager, *services.commonTest, *services.traceBuffer,
                                                     *services.deviceSummary, *services.log, std::move(links));
        auto window = std::make_unique<TWin_PDOAnalysis>(*pdoAnalysis, *services.testManager);
        pdoAnalysisWindow = window.get();
        services.symbols->AddLoadCallback([w = QPointer<TWin_PDOAnalysis>(window.get())] {
            if (w)
                QMetaObject::invokeMethod(w, [w] { if (w) w->SymbolsLoaded(); }, Qt::QueuedConnection);
        });
        RegisterPDOAnalysisTest(*services.testManager, *pdoAnalysis,
                                {.showWindow = [w = pdoAnalysisWindow] {
                                     if (w) {
                                         w->show();
                                         w->raise();
                                     }
                                 },
                                 .registerPythonTypes = [&pdoAnalysis](_object* module) {
                                     RegisterPDOAnalysisPythonTypes(module, *pdoAnalysis);
                                 },
                                 .configPage = pdoAnalysisPage.data()});
        return window;
    });
    // The timing tests 1 to 5: a window each, registered in the order of their numbers.
    for (std::size_t i = 0; i < kTimingKinds.size(); ++i)
        parts.forms.push_back([&timingTests, &timingPages, i](Services& services) -> std::unique_ptr<QObject> {
            TimingTestEngine& engine = timingTests->Engine(kTimingKinds[i]);
            TimingWindowHooks hooks;
            hooks.writeReport = [&engine](std::FILE* file, int layout) { WriteTimingReport(engine, file, layout); };
            hooks.registerPythonTypes = [&engine](_object* module) { RegisterTimingPythonTypes(module, engine); };
            hooks.configPage = timingPages[i].data();
            return MakeTimingWindow(engine, *services.testManager, std::move(hooks));
        });
    QtFileDialogs fileDialogs;
    QPointer<TWin_NodeConfig> nodeConfig;
    QPointer<TWin_NetworkConfig> networkConfig;
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_NodeConfig>(*services.symbols, services.prompt(), fileDialogs, mainWindow.data());
        nodeConfig = window.get();
        return window;
    });
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_NetworkConfig>(
            *services.symbols, services.prompt(), fileDialogs,
            [&nodeConfig](uint8_t& id, std::string& name, std::string& eds, int& count, QWidget* owner) {
                return nodeConfig ? nodeConfig->Execute(id, name, eds, count, owner) : 0;
            },
            services.log.get(), mainWindow.data());
        networkConfig = window.get();
        return window;
    });
    parts.forms.push_back([&quickReference, &mainWindow](Services&) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_QuickReference>(mainWindow.data());
        quickReference = window.get();
        return window;
    });
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        MainWindowLinks links;
        links.network = networkConfig;
        links.configureSupportModule = [&services, &mainWindow] {
            NSMWizardLinks wizard;
            wizard.prompt = &services.prompt();
            wizard.networkRate = [&services] { return networkBitRate(services); };
            wizard.changeBaudrate = [&services](uint32_t rate, uint32_t current) {
                return services.nsm->ChangeBaudrate(rate, current);
            };
            wizard.changeNodeId = [&services](uint8_t current, uint8_t node, uint32_t rate) {
                return services.nsm->ChangeNodeId(current, node, rate);
            };
            TWin_NSMConfig(std::move(wizard), mainWindow.data()).Execute();
        };
        links.hardwareDialog = [&hardware, &services] {
            if (!hardware)
                return false;
            hardware->exec();
            return services.hardware.initialised;
        };
        links.configureTests = [&] {
            if (testConfig)
                testConfig->ShowAll(mainWindow);
        };
        links.about = [&] {
            if (about)
                about->Execute(mainWindow);
        };
        if (mainWindow)
            mainWindow->SetLinks(std::move(links));
        return std::make_unique<QObject>();
    });
    parts.messageLoop = [&mainWindow, &terminating] {
        if (!mainWindow || terminating)
            return;
        // The program ends with its main window, whatever else is open: the shut-down takes the
        // other windows down with their forms.
        QObject::connect(mainWindow, &TWin_Main::Closed, QCoreApplication::instance(),
                         [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        mainWindow->show();
        QApplication::exec();
    };
    parts.showException = showException;
    parts.beginShutdown = [&prompt] { prompt.BeginShutdown(); };

    const int result = StartupSequence(parts);
    signalNotifier.reset();
    return result;
}
