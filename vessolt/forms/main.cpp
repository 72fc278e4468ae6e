// The test program: brings the CANopen library, the services and the windows up, runs the message
// loop and takes everything down again in the reverse order.
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <clocale>
#include <csignal>
#include <exception>

#include <fcntl.h>
#include <unistd.h>

#include <platform/registry.h>

#include "product_key.h"
#include "qt_user_prompt.h"
#include "services.h"
#include "win_main.h"

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
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (installSignalPipe()) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &app, [&mainWindow] {
            char bytes[16];
            while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            if (mainWindow)
                mainWindow->close();
            else
                QCoreApplication::quit();
        });
    }

    QtUserPrompt prompt;
    StartupParts parts;
    parts.driverName = driverLibraryName();
    parts.prompt = &prompt;
    parts.forms.push_back([&mainWindow](Services& services) -> std::unique_ptr<QObject> {
        auto window = std::make_unique<TWin_Main>(*services.testManager, *services.log, &services.api());
        mainWindow = window.get();
        return window;
    });
    parts.messageLoop = [&mainWindow] {
        if (!mainWindow)
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
