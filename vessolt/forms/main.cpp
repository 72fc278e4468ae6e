// The test program: brings the CANopen library, the services and the windows up, runs the message
// loop and takes everything down again in the reverse order.
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <csignal>
#include <exception>

#include <fcntl.h>
#include <unistd.h>

#include <platform/registry.h>

#include "product_key.h"
#include "qt_user_prompt.h"
#include "services.h"
#include "config_form.h"
#include "win_about.h"
#include "win_hw_config.h"
#include "win_main.h"
#include "win_test_config.h"

namespace {

using namespace ostrel::vessolt;

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
                mainWindow->close();
            else
                QCoreApplication::quit();
        });
    }

    QtUserPrompt prompt;
    StartupParts parts;
    parts.driverName = driverLibraryName();
    parts.prompt = &prompt;
    // The forms in their order of making; the main window is told about the others as they come.
    parts.forms.push_back([&mainWindow](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_Main>(services);
        mainWindow = window.get();
        return window;
    });
    // Shown from its constructor until its timer ends it; not once the program is asked to end.
    parts.forms.push_back([&terminating](Services&) -> std::unique_ptr<QObject> {
        return std::make_unique<TWin_Splash>(!terminating);
    });
    QPointer<TWin_About> about;
    parts.forms.push_back([&about](Services&) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_About>();
        about = window.get();
        return window;
    });
    QPointer<TWin_HWConfig> hardware;
    parts.forms.push_back([&hardware](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_HWConfig>(services.api(), services.hardware);
        hardware = window.get();
        return window;
    });
    QPointer<TConfigForm> basePage;
    parts.forms.push_back([&basePage](Services&) -> std::unique_ptr<QObject> {
        auto page = std::make_unique<TConfigForm>();
        basePage = page.get();
        return page;
    });
    QPointer<TWin_TestConfig> testConfig;
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        // The global page takes the base page's place once it exists.
        auto window = std::make_unique<TWin_TestConfig>(*services.testManager, basePage.data(), mainWindow.data());
        testConfig = window.get();
        return window;
    });
    parts.forms.push_back([&](Services& services) -> std::unique_ptr<QObject> {
        MainWindowLinks links;
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
        mainWindow->show();
        QApplication::exec();
    };
    parts.showException = showException;
    parts.beginShutdown = [&prompt] { prompt.BeginShutdown(); };

    const int result = StartupSequence(parts);
    signalNotifier.reset();
    return result;
}
