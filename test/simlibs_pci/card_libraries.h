// The simulated HICANPCI and WinCE-style libraries loaded as the drivers load them, with their entry
// points resolved, and what the tests of both need around the simulated bus.
#pragma once

#include <hicanpci/hicanpci_api.h>
#include <wince/wince_api.h>

#include <platform/library.h>

#include <simbus/simbus_control.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace ostrel::simlibs::test {

inline constexpr const char* kHicoLibrary = "hicanpci";
inline constexpr const char* kWinceLibrary = "wince";

// Resolves `name` into `slot`; throws when the library lacks it.
template <typename Fn>
void resolveInto(const platform::Library& module, Fn& slot, const char* name) {
    slot = module.function<Fn>(name);
    if (slot == nullptr) {
        throw std::runtime_error(std::string("missing entry point ") + name);
    }
}

inline std::unique_ptr<platform::Library> loadOrThrow(const std::string& dllName) {
    std::string error;
    auto module = platform::Library::load(dllName, &error);
    if (!module) {
        throw std::runtime_error("cannot load " + dllName + ": " + error);
    }
    return module;
}

struct HicoLibrary {
    std::unique_ptr<platform::Library> module;
    HiCanOpenDriverFn openDriver = nullptr;
    HiCanCloseDriverFn closeDriver = nullptr;
    HiCanOpenFn open = nullptr;
    HiCanCloseFn close = nullptr;
    HiCanStartFn start = nullptr;
    HiCanStopFn stop = nullptr;
    HiCanSetBaudFn setBaud = nullptr;
    HiCanCanCtrlFn canCtrl = nullptr;
    HiCanSetTimestampFn setTimestamp = nullptr;
    HiCanWriteFn write = nullptr;
    HiCanReadFn read = nullptr;
    HiCanResetContrFn resetContr = nullptr;
    HiCanClrOverrunFn clrOverrun = nullptr;
    HiCanRegisterEventFn registerEvent = nullptr;

    static std::unique_ptr<HicoLibrary> load() {
        auto lib = std::make_unique<HicoLibrary>();
        lib->module = loadOrThrow("HICANPCI.DLL");
        const platform::Library& m = *lib->module;
        resolveInto(m, lib->openDriver, "HiCOCANOpenDriver");
        resolveInto(m, lib->closeDriver, "HiCOCANCloseDriver");
        resolveInto(m, lib->open, "HiCOCANOpen");
        resolveInto(m, lib->close, "HiCOCANClose");
        resolveInto(m, lib->start, "HiCOCANStart");
        resolveInto(m, lib->stop, "HiCOCANStop");
        resolveInto(m, lib->setBaud, "HiCOCANSetBaud");
        resolveInto(m, lib->canCtrl, "HiCOCANCanCtrl");
        resolveInto(m, lib->setTimestamp, "HiCOCANSetTimestamp");
        resolveInto(m, lib->write, "HiCOCANWrite");
        resolveInto(m, lib->read, "HiCOCANRead");
        resolveInto(m, lib->resetContr, "HiCOCANResetContr");
        resolveInto(m, lib->clrOverrun, "HiCOCANClrOverrun");
        resolveInto(m, lib->registerEvent, "HiCOCANRegisterEvent");
        return lib;
    }
};

struct WinceLibrary {
    std::unique_ptr<platform::Library> module;
    WinceNumberOfInterfacesFn numberOfInterfaces = nullptr;
    WinceOpenFn open = nullptr;
    WinceCloseFn close = nullptr;
    WinceSetReceiveEventFn setReceiveEvent = nullptr;
    WinceStartFn start = nullptr;
    WinceStopFn stop = nullptr;
    WinceTransmitFn transmit = nullptr;
    WinceReceiveFn receive = nullptr;
    WinceStatusFn status = nullptr;
    WinceConfigureErrorFramesFn configureErrorFrames = nullptr;
    WinceConfigureSelfReceiveFn configureSelfReceive = nullptr;

    static std::unique_ptr<WinceLibrary> load() {
        auto lib = std::make_unique<WinceLibrary>();
        lib->module = loadOrThrow("CANWINCE.DLL");
        const platform::Library& m = *lib->module;
        resolveInto(m, lib->numberOfInterfaces, "WinCE_NumberOfInterfaces");
        resolveInto(m, lib->open, "WinCE_Open");
        resolveInto(m, lib->close, "WinCE_Close");
        resolveInto(m, lib->setReceiveEvent, "WinCE_SetReceiveEvent");
        resolveInto(m, lib->start, "WinCE_Start");
        resolveInto(m, lib->stop, "WinCE_Stop");
        resolveInto(m, lib->transmit, "WinCE_Transmit");
        resolveInto(m, lib->receive, "WinCE_Receive");
        resolveInto(m, lib->status, "WinCE_Status");
        resolveInto(m, lib->configureErrorFrames, "WinCE_ConfigureErrorFrames");
        resolveInto(m, lib->configureSelfReceive, "WinCE_ConfigureSelfReceive");
        return lib;
    }
};

inline simbus::Frame busFrame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    simbus::Frame frame;
    frame.id = id;
    for (uint8_t b : bytes) {
        frame.data[frame.length++] = b;
    }
    return frame;
}

// Microseconds of a card time stamp.
inline uint64_t microsecondsOf(const HiCanTimeStamp& t) {
    const uint64_t seconds = uint64_t{t.day} * 86400 + uint64_t{t.hour} * 3600 + uint64_t{t.minute} * 60 + t.second;
    return (seconds * 1000 + t.millisecond) * 1000 + t.microsecond;
}

inline bool journalHas(const char* library, std::string_view text) {
    const auto lines = simbus::journal(library);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

inline std::size_t journalCount(const char* library, std::string_view text) {
    const auto lines = simbus::journal(library);
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

// Frames a device heard, for tests that only listen.
class HeardFrames {
public:
    simbus::DeviceListener listener() {
        return [this](const simbus::Frame& frame, uint64_t) {
            std::lock_guard lock(mutex_);
            frames_.push_back(frame);
        };
    }
    [[nodiscard]] std::vector<simbus::Frame> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<simbus::Frame> frames_;
};

// Polls `condition` until it holds, at most `timeoutMs`.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace ostrel::simlibs::test
