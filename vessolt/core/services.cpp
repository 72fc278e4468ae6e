#include "services.h"

#include <QCoreApplication>
#include <QObject>
#include <exception>

#include "library_calls.h"

namespace ostrel::vessolt {

Services::Services(UserPrompt& prompt, SlotObserver observer) : prompt_(prompt), observer_(std::move(observer)) {
    try {
        make();
    } catch (...) {
        Shutdown();
        throw;
    }
}

Services::~Services() { Shutdown(); }

void Services::make() {
    create(testManager, "TTestManager", testManagerHooks());
    create(log, "TLog");
}

TestManagerHooks Services::testManagerHooks() {
    TestManagerHooks hooks;
    // Looked up when called: the log and the services after it are made after the manager.
    hooks.log = [this] { return log.get(); };
    return hooks;
}

void Services::StopActivity() {
    if (stopped_)
        return;
    stopped_ = true;
    if (testManager) {
        testManager->CancelTests();
        testManager->WaitForTestThread();
    }
    // The library's engine and receive threads call into the services: they stop before any goes.
    library::CloseHardware();
    library::DropReceiveCallback();
}

void Services::Shutdown() {
    StopActivity();
    if (deleted_)
        return;
    deleted_ = true;
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
        if (observer_)
            observer_(it->first, false);
        it->second();
    }
    created_.clear();
}

int StartupSequence(const StartupParts& parts) {
    std::unique_ptr<Services> services;
    std::vector<std::unique_ptr<QObject>> forms;
    RecordingPrompt silent;
    UserPrompt& prompt = parts.prompt ? *parts.prompt : silent;
    auto show = [&parts](const std::string& what) {
        if (parts.showException)
            parts.showException(what);
    };
    try {
        library::Startup(parts.driverName);
        services = std::make_unique<Services>(prompt, parts.observer);
        QCoreApplication::setApplicationName(QString::fromUtf8(kProductName));
        for (const auto& make : parts.forms)
            forms.push_back(make(*services));
        if (parts.messageLoop)
            parts.messageLoop();
    } catch (const std::exception& e) {
        show(e.what());
    } catch (...) {
        show("An unknown error ended the program");
    }

    if (parts.beginShutdown)
        parts.beginShutdown();
    if (services)
        services->StopActivity();
    while (!forms.empty())
        forms.pop_back();
    services.reset();
    library::Shutdown();
    return 0;
}

} // namespace ostrel::vessolt
