#include "app/services.h"

#include <platform/library.h>
#include <platform/registry.h>

#include <QCoreApplication>
#include <QObject>
#include <cstdio>
#include <exception>

#include "platform/process.h"
#include "platform/utf16.h"
#include "testing/result_text.h"

namespace ostrel::vessolt {
// On the library's engine thread; the log takes lines from any thread. The word moves when either of
// its parts does: each part is logged when it moved.
void Services::NoteClientStatus(uint32_t status, void* user) {
    auto& notes = *static_cast<StatusNotes*>(user);
    const uint32_t before = notes.last.exchange(status);
    const auto moved = [&](uint32_t flag, uint32_t part) {
        return (status & flag) != 0 && (status & part) != (before & part);
    };
    if (moved(DRN_STATUS_SERVER_RESTARTED, DRN_STATUS_SERVER_RESTARTED | 0xFFu))
        notes.log->Add("The CAN server was restarted; any request in progress was broken off.");
    if (moved(DRN_STATUS_FRAMES_LOST, DRN_STATUS_FRAMES_LOST | 0xFF0000u))
        notes.log->Add("Warning: frames from the CAN server were lost; the program did not read them in time.");
}

Services::Services(CanopenApi& api, UserPrompt& prompt, std::string folder, SlotObserver observer)
    : api_(api), prompt_(prompt), folder_(std::move(folder)), observer_(std::move(observer)),
      fanout_(std::make_unique<ReceiveFanout>()) {
    try {
        make();
    } catch (...) {
        Shutdown();
        throw;
    }
}

Services::~Services() { Shutdown(); }

void Services::make() {
    create(symbols, "TSymbols", prompt_);
    create(testManager, "TTestManager", testManagerHooks());
    create(log, "TLog");
    symbols->SetLog(log.get());
    statusNotes_.log = log.get();
    api_.eventMajorError(&Services::NoteClientStatus, &statusNotes_);
    create(deviceSummary, "TDeviceSummary");
    create(traceBuffer, "TTraceBuffer", api_, *fanout_, *log, prompt_);
    create(expressions, "TExpressions", &prompt_);
    create(transmit, "TTransmit", kTransmitEntries, api_, *fanout_, prompt_);
    // The ratings script is made later; the store reaches it once it exists.
    create(globalConfig, "TGlobalTestConfig", TGlobalTestConfig::ScriptFile{}, TGlobalTestConfig::DefaultRegistryKey(),
           log.get());
    create(setNodeConfig, "TSetNodeConfig", api_, *globalConfig, *log);
    create(testReport, "TTestReport", prompt_);
    CommonTestLinks links;
    links.maxBootupTimeMs = [this]() -> uint32_t {
        GLOBALCONFIG config;
        if (globalConfig->Get(config) == TGlobalTestConfig::Access::Busy || config.maxbootuptime < 0)
            return GLOBALCONFIG{}.maxbootuptime;
        return static_cast<uint32_t>(config.maxbootuptime);
    };
    links.bitRateKbit = [this]() -> uint32_t {
        return hardware.baudrate > 0 ? static_cast<uint32_t>(hardware.baudrate) : 0;
    };
    links.resultToText = ResultToText;
    links.errorCodeName = [this](uint32_t code) { return symbols->GetErrorCodeName(code).value_or(""); };
    links.cancelling = [this] { return testManager->IsCancelling(); };
    create(commonTest, "TCommonTest", api_, *traceBuffer, *deviceSummary, *log, std::move(links));
    NSMLinks nsmLinks;
    nsmLinks.api = &api_;
    nsmLinks.prompt = &prompt_;
    nsmLinks.userNetwork = [this] { return static_cast<uint32_t>(hardware.networkHandle); };
    nsmLinks.hardwareHandle = [this] { return static_cast<uint32_t>(hardware.hardwareHandle); };
    nsmLinks.bitRateKbit = [this]() -> uint32_t {
        return hardware.baudrate > 0 ? static_cast<uint32_t>(hardware.baudrate) : 0;
    };
    create(nsm, "TNSM", *commonTest, std::move(nsmLinks));
    commonTest->SetNSM(nsm.get());
    create(ratingsScript, "TRatingsScript", folder_.empty() ? platform::executableDir() : folder_, *log,
           *deviceSummary, prompt_,
           [this](_object* module) { testManager->RegisterPythonTypes(module); });
    globalConfig->SetScriptFile(TGlobalTestConfig::ScriptFileOf(*ratingsScript));
    create(softNsm, "TSoftNSM", api_, *log, prompt_, [this] {
        GLOBALCONFIG config;
        if (globalConfig->Get(config) != TGlobalTestConfig::Access::Done)
            return SoftNSMSettings{};
        return SoftNSMSettings{config.softnsm, config.softnsmnodeid};
    });
    fanout_->attach(ReceiveStageSlot::SoftwareSupport, *softNsm);

    testReport->SetSectionWriter(ReportSection::TestSections,
                                 [this](std::FILE* f, int layout) { testManager->WriteReportSections(f, layout); });
    testReport->SetSectionWriter(ReportSection::Log, [this](std::FILE* f, int layout) { log->WriteReport(f, layout); });
    testReport->SetSectionWriter(ReportSection::RatingsScript,
                                 [this](std::FILE* f, int layout) { ratingsScript->WriteReport(f, layout); });
    testReport->SetSectionWriter(ReportSection::NodeConfiguration,
                                 [this](std::FILE* f, int layout) { setNodeConfig->WriteReport(f, layout); });
}

TestManagerHooks Services::testManagerHooks() {
    TestManagerHooks hooks;
    // Looked up when called: the log and the services after it are made after the manager.
    hooks.log = [this] { return log.get(); };
    hooks.clearDeviceSummary = [this] {
        if (deviceSummary)
            deviceSummary->Clear();
    };
    // On the worker, around each run.
    hooks.startSupportModule = [this] {
        if (softNsm)
            softNsm->Start();
    };
    hooks.stopSupportModule = [this] {
        if (softNsm)
            softNsm->Stop();
    };
    hooks.saveGlobalConfig = [this](platform::IniFile& ini) {
        return !globalConfig || globalConfig->SaveSettings(ini);
    };
    hooks.loadGlobalConfig = [this](platform::IniFile& ini) {
        if (globalConfig)
            globalConfig->LoadSettings(ini);
    };
    return hooks;
}

std::string Services::StoreSettings(const std::function<void()>& also) {
    platform::RegistryFlushBatch batch;
    if (also)
        also();
    for (SettingsOwner* owner : settingsOwners_)
        owner->StoreSettings();
    if (testManager)
        testManager->SaveTestOrder();
    if (globalConfig)
        (void)globalConfig->SaveToRegistry();
    if (testReport)
        testReport->StoreSettings();
    std::string error;
    if (batch.commit(&error))
        return {};
    settingsFailureTold_ = true;
    return error.empty() ? "the registry could not take them" : error;
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
    if (softNsm)
        softNsm->Stop();
    api_.close();
    api_.eventReceive(nullptr, nullptr);
    api_.eventMajorError(nullptr, nullptr);
    fanout_->detach(ReceiveStageSlot::SoftwareSupport);
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
    // The library no longer calls the receive path (StopActivity), and every stage has detached.
    fanout_.reset();
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
    DrennicApi ownApi;
    CanopenApi& api = parts.api ? *parts.api : ownApi;
    try {
        const std::u16string driver = platform::toUtf16(parts.driverName);
        api.startup(1, driver.c_str());
        services = std::make_unique<Services>(api, prompt, parts.folder, parts.observer);
        services->hardware.driverLibrary = parts.driverName;
        QCoreApplication::setApplicationName(QString::fromUtf8(kProductName));
        for (const auto& make : parts.forms) {
            forms.push_back(make(*services));
            if (auto* owner = dynamic_cast<SettingsOwner*>(forms.back().get()))
                services->AddSettingsOwner(*owner);
        }
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
    const bool told = services && services->SettingsFailureTold();
    {
        // The windows and services store their settings as they go down; in one batch, the close
        // waits for the disk once rather than once for every key. The main window's close stored
        // them already and said so when it failed; what it did not store is reported here.
        platform::RegistryFlushBatch settings;
        if (services)
            services->ClearSettingsOwners();
        while (!forms.empty())
            forms.pop_back();
        services.reset();
        if (std::string error; !settings.commit(&error) && !told)
            std::fprintf(stderr, "%s: the settings could not be stored: %s\n", kProductName, error.c_str());
    }
    api.shutdown();
    return 0;
}

std::string DriverLibraryProblem(const std::string& name) {
    if (name.empty())
        return {};
    std::string error;
    if (platform::Library::load(name, &error))
        return {};
    return "The CAN interface library \"" + name + "\" cannot be loaded: " + (error.empty() ? "unknown error" : error);
}

} // namespace ostrel::vessolt
