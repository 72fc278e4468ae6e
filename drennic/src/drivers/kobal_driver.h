// The driver for the Kobal client-and-network interface libraries. Both drivers (Kobalapi2 and
// KobalPlsapi2) open a network the same way: a receive client and a transmit client connected to
// one network, a receive event, a hardware lock around every read and write. This is that common
// part; each driver file adds what only it does (hardware and network lists, network storage).
#pragma once

#include "kobalapi2/kobal_api.h"
#include "engine/library_state.h"

#include <platform/ipc.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace drennic::kobal {

// The library's functions, resolved together. Holding it keeps the library loaded.
struct Api {
    std::shared_ptr<const DriverBinding> binding;
    KobalGetHwParamFn getHwParam = nullptr;
    KobalSetHwParamFn setHwParam = nullptr;  // Kobalapi2 only; resolved, not called
    KobalGetNetParamFn getNetParam = nullptr;
    KobalSetNetParamFn setNetParam = nullptr;
    KobalRegisterNetFn registerNet = nullptr;
    KobalRemoveNetFn removeNet = nullptr;
    KobalRegisterClientFn registerClient = nullptr;
    KobalRemoveClientFn removeClient = nullptr;
    KobalConnectToNetFn connectToNet = nullptr;         // Kobalapi2: by UTF-8 name
    KobalPlsConnectToNetFn connectToNetWide = nullptr;  // KobalPlsapi2: by UTF-16 name
    KobalDisconnectFromNetFn disconnectFromNet = nullptr;
    KobalRegisterMsgFn registerMsg = nullptr;
    KobalSetClientParamFn setClientParam = nullptr;
    KobalWriteFn write = nullptr;
    KobalReadFn read = nullptr;
    KobalGetSystemTimeFn getSystemTime = nullptr;
    KobalStatusFn status = nullptr;
    KobalResetHardwareFn resetHardware = nullptr;
};

enum class Library {
    Kobalapi2,     // UTF-8 names, bit-timing register values, one-shot, delayed distribution
    KobalPlsapi2,  // UTF-16 names, kbit/s
};

// Bit rates as the library holds them, in kbit/s (0 for a value the driver does not know).
[[nodiscard]] uint32_t kbitOfLibraryRate(Library library, uint32_t libraryRate);

class KobalDriver {
public:
    explicit KobalDriver(Library library) : library_(library) {}
    KobalDriver(const KobalDriver&) = delete;
    KobalDriver& operator=(const KobalDriver&) = delete;

    // Resolves every function from the library the driver was selected with; false (and nothing
    // resolved) when the library lacks one.
    bool resolve();
    // Drops the functions (the library may be unloaded afterwards).
    void forget();
    // The functions, or null when they are not resolved.
    [[nodiscard]] std::shared_ptr<const Api> api() const;

    // Network parameters read through the library; nullopt when the call fails.
    [[nodiscard]] std::optional<std::u16string> networkName(const Api& api, uint32_t network) const;
    [[nodiscard]] std::optional<uint32_t> networkWord(const Api& api, uint32_t network, uint32_t param) const;

    // Slots of the driver table that both drivers fill the same way.
    void status(uint32_t* status, ResultBlock* result);
    void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                 uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result);
    void getCurrentTime(CANTimeStamp* time);
    [[nodiscard]] int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle);
    [[nodiscard]] int32_t getBaudrate(uint32_t networkHandle);
    // `beforeOpen` runs after the functions are resolved again (Kobalapi2 registers its stored
    // networks there).
    void initialize(uint32_t networkHandle, const char16_t* clientName, uint32_t windowHandle, uint32_t reserved,
                    ResultBlock* result, void (*beforeOpen)(const Api& api) = nullptr);
    void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result);
    void close();
    void reset();
    [[nodiscard]] int32_t isNetworkFunctional() const { return usable_.load() ? 1 : 0; }
    void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote,
                  int32_t errorFrame, ResultBlock* result);
    void setTransmitCallback(TransmitCallback callback, void* user);

    [[nodiscard]] uint8_t receiveClient() const { return rxClient_.load(); }
    void setOneShot(bool on) { oneShot_.store(on); }

    static constexpr uint32_t kLockWaitMs = 500;
    static constexpr uint32_t kCloseLockWaitMs = 20000;
    static constexpr uint32_t kBusyWaitLimitMs = 5000;

private:
    // Counts a call into the library while the network is usable; false (and not counted) when it
    // is not, so that a disconnect that has cleared the flag waits only for calls already inside.
    class LibraryCall;

    [[nodiscard]] int32_t connect(const Api& api, uint8_t client, const std::u16string& name, uint8_t* network) const;
    // Connect both clients, delayed distribution, message range, receive event: Initialize's
    // steps from connecting on, shared with SwitchNetworks. Returns the failure's message.
    [[nodiscard]] std::optional<std::u16string> openNetwork(const Api& api, const std::u16string& name, bool switching);
    void removeClients(const Api& api);
    void releaseNetwork(const Api& api);  // Close's work under the hardware lock
    void closeLocked();
    void waitUntilNoCallInside() const;
    [[nodiscard]] bool readOnce(const Api& api, KobalMessage& message, KobalTimeStamp& stamp);

    const Library library_;

    mutable std::mutex apiMutex_;  // guards api_
    std::shared_ptr<const Api> api_;

    std::mutex lifecycle_;  // serialises Initialize, SwitchNetworks and Close
    std::atomic<bool> usable_{false};  // "initialised": a network is connected and usable
    std::atomic<uint8_t> rxClient_{0};
    std::atomic<uint8_t> txClient_{0};
    std::atomic<uint8_t> network_{0};
    std::atomic<uint8_t> hardware_{0};
    std::atomic<bool> oneShot_{false};
    std::atomic<int> callsInside_{0};  // Transmit, Receive and Status calls inside the library
    std::atomic<uint32_t> reserved_{0};

    std::timed_mutex hardwareLock_;  // around every read and write

    mutable std::mutex eventMutex_;  // guards rxEvent_
    std::shared_ptr<ostrel::platform::NamedEvent> rxEvent_;
    KobalEvent rxEventRecord_{};

    std::mutex callbackMutex_;
    TransmitCallback transmitCallback_ = nullptr;
    void* transmitUser_ = nullptr;
};

} // namespace drennic::kobal
