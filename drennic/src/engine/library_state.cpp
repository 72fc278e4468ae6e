#include "engine/library_state.h"

#include "drivers/drivers.h"
#include "engine/engine.h"
#include "engine/engine_settings.h"
#include "services/sdo_monitor.h"
#include "services/service_modules.h"

#include <platform/clock.h>
#include <platform/utf16.h>

#include <array>
#include <atomic>
#include <mutex>

namespace drennic {
namespace {

using ostrel::platform::Library;

template <typename Callback>
class CallbackRegistration {
public:
    void set(Callback callback, void* user) {
        std::lock_guard lock(mutex_);
        callback_ = callback;
        user_ = callback ? user : nullptr;
    }
    [[nodiscard]] std::pair<Callback, void*> get() const {
        std::lock_guard lock(mutex_);
        return {callback_, user_};
    }

private:
    mutable std::mutex mutex_;
    Callback callback_ = nullptr;
    void* user_ = nullptr;
};

constexpr std::array<DriverFill, kDriverKindCount> kDefaultFillers = {
    nullptr,              // None
    fillServerClientOps,  // ServerClient
    fillKobalapi2Ops,     // Kobalapi2
    fillHiCanPciOps,      // HiCanPci
    fillKobalPlsapi2Ops,  // KobalPlsapi2
    fillWinCEOps,         // WinCE
};

// The one instance of the library's process-wide state.
struct LibraryState {
    // Serialises start-up and shut-down as a whole (held while the driver starts or closes, which
    // may take seconds; no export other than those two takes it).
    std::mutex lifecycle;
    // Guards everything up to `driver`; never held while a driver or a callback is called.
    std::mutex mutex;
    bool started = false;
    int32_t mode = 0;
    std::u16string driverName;
    DriverKind selected = DriverKind::None;
    std::shared_ptr<const DriverBinding> driver;
    std::array<DriverFill, kDriverKindCount> fillers = kDefaultFillers;

    CallbackRegistration<ReceiveCallback> receive;
    CallbackRegistration<MajorErrorCallback> majorError;
    std::atomic<uint32_t> postTransmitDelayMs{kDefaultPostTransmitDelayMs};
};

LibraryState& state() {
    static LibraryState instance;
    return instance;
}

std::size_t slotOf(DriverKind kind) { return static_cast<std::size_t>(kind); }

} // namespace

DriverKind selectDriverKind(int32_t mode, std::u16string_view upperName) noexcept {
    if (mode == 1) {
        return DriverKind::ServerClient;
    }
    if (mode != 0) {
        return DriverKind::None;
    }
    if (upperName == u"KOBALAPI2.DLL") {
        return DriverKind::Kobalapi2;
    }
    if (upperName == u"HICANPCI.DLL") {
        return DriverKind::HiCanPci;
    }
    if (upperName == u"KOBALPLSAPI2.DLL") {
        return DriverKind::KobalPlsapi2;
    }
    if (upperName.find(u"WINCE") != std::u16string_view::npos) {
        return DriverKind::WinCE;
    }
    return DriverKind::None;
}

void startLibrary(int32_t mode, const char16_t* driverName) {
    if (driverName == nullptr) {
        return;
    }
    LibraryState& s = state();
    std::lock_guard lifecycle(s.lifecycle);
    DriverFill fill = nullptr;
    {
        std::lock_guard lock(s.mutex);
        if (s.started) {
            return;
        }
    }
    const std::u16string_view givenName(driverName, ostrel::platform::u16len(driverName));
    std::u16string upperName = ostrel::platform::asciiUpper(givenName);
    const DriverKind kind = selectDriverKind(mode, upperName);
    {
        std::lock_guard lock(s.mutex);
        fill = s.fillers[slotOf(kind)];
    }

    auto binding = std::make_shared<DriverBinding>();
    binding->kind = kind;
    bool present = false;
    if (kind == DriverKind::ServerClient) {
        present = true;
    } else if (kind != DriverKind::None) {
        // The library is looked up by the name exactly as the caller gave it.
        binding->module = Library::load(ostrel::platform::toUtf8(givenName));
        present = binding->module != nullptr;
    }
    if (present && fill != nullptr) {
        fill(binding->ops);
    }

    std::shared_ptr<const DriverBinding> published = present ? std::move(binding) : nullptr;
    {
        std::lock_guard lock(s.mutex);
        s.mode = mode;
        s.driverName = std::move(upperName);
        s.selected = kind;
        s.driver = published;
    }
    if (published) {
        (void)published->ops.InitDriver();  // a failed start shows later as failing hardware calls
    }
    configWriterStartup();
    fastScanStartup();
    sdoServerReset();
    {
        std::lock_guard lock(s.mutex);
        s.started = true;
    }
}

void stopLibrary() {
    LibraryState& s = state();
    std::lock_guard lifecycle(s.lifecycle);
    {
        std::lock_guard lock(s.mutex);
        if (!s.started) {
            return;
        }
    }
    sdoServerShutdown();
    fastScanShutdown();
    configWriterShutdown();
    // A caller that shuts down without Hardware_Close: the engine must not outlive the driver.
    engineStop();

    // Withdraw the table first: from here on the exports behave as without a driver, and no new call
    // can reach a library that is about to be unloaded.
    std::shared_ptr<const DriverBinding> driver;
    {
        std::lock_guard lock(s.mutex);
        driver = std::move(s.driver);
        s.driver.reset();
    }
    if (driver) {
        driver->ops.CloseDriver();
    }
    // The last reference unloads the interface library (here, or in a call still in flight).
    driver.reset();
    std::lock_guard lock(s.mutex);
    s.selected = DriverKind::None;
    s.started = false;
}

std::shared_ptr<const DriverBinding> currentDriver() {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    return s.driver;
}

LibraryStatus libraryStatus() {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    LibraryStatus status;
    status.started = s.started;
    status.mode = s.mode;
    status.driverName = s.driverName;
    status.selected = s.selected;
    status.driverPresent = s.driver != nullptr;
    if (s.driver && s.driver->module) {
        status.modulePath = s.driver->module->path();
    }
    return status;
}

std::pair<ReceiveCallback, void*> receiveHandler() { return state().receive.get(); }

void setReceiveHandler(ReceiveCallback callback, void* user) { state().receive.set(callback, user); }

std::pair<MajorErrorCallback, void*> majorErrorHandler() { return state().majorError.get(); }

void setMajorErrorHandler(MajorErrorCallback callback, void* user) { state().majorError.set(callback, user); }

uint32_t postTransmitDelayMs() noexcept { return state().postTransmitDelayMs.load(); }

void setPostTransmitDelayMs(uint32_t ms) noexcept { state().postTransmitDelayMs.store(ms); }

void postTransmitPause() noexcept {
    const uint32_t delay = postTransmitDelayMs();
    if (delay != 0) {
        ostrel::platform::sleepMs(delay);
    }
}

DriverFill replaceDriverFill(DriverKind kind, DriverFill fill) {
    LibraryState& s = state();
    std::lock_guard lock(s.mutex);
    DriverFill previous = s.fillers[slotOf(kind)];
    s.fillers[slotOf(kind)] = fill;
    return previous;
}

void resetLibraryState() {
    stopLibrary();
    LibraryState& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.mode = 0;
        s.driverName.clear();
        s.fillers = kDefaultFillers;
    }
    s.receive.set(nullptr, nullptr);
    s.majorError.set(nullptr, nullptr);
    s.postTransmitDelayMs.store(kDefaultPostTransmitDelayMs);
    resetEngineSettings();
    resetSdoMonitor();
}

} // namespace drennic
