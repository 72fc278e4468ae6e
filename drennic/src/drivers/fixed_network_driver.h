// What the PCI card driver and the WinCE driver share. Neither interface library knows named
// networks, so both drivers offer a fixed list: per hardware one network for each standard CANopen
// bit rate, with the hardware in the handle's high byte and the rate's index in its low byte.
#pragma once

#include "engine/library_state.h"
#include "engine/result_block.h"

#include <platform/utf16.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

namespace drennic::fixed {

// Every wait for the hardware lock is bounded: calls of the bus give up after kLockWaitMs, Close
// and disconnect go on after kCloseLockWaitMs whether they got it or not.
inline constexpr uint32_t kLockWaitMs = 500;
inline constexpr uint32_t kCloseLockWaitMs = 20000;
// Slot Receive sets the engine's pace: where there is no library to wait in, it waits this long so
// that the engine thread does not spin.
inline constexpr uint32_t kIdleReceiveWaitMs = 10;

inline constexpr std::u16string_view kStartEngine = u"Failed to start the CANopen engine";

inline constexpr std::array<uint32_t, 8> kStandardRatesKbit = {10, 20, 50, 125, 250, 500, 800, 1000};
inline constexpr int32_t kStandardNetworkCount = static_cast<int32_t>(kStandardRatesKbit.size());
inline constexpr uint32_t kHardwareShift = 8;

// The bit rate of a network handle's rate index (its low byte); 0 for an unknown index.
[[nodiscard]] constexpr uint32_t Baud_IndexToKbit(uint32_t networkHandle) {
    const uint32_t index = networkHandle & 0xFF;
    return index < kStandardRatesKbit.size() ? kStandardRatesKbit[index] : 0;
}

[[nodiscard]] inline std::u16string decimal(uint32_t value) {
    const std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

// "%8.8lX"
[[nodiscard]] inline std::u16string hex8(uint32_t value) {
    std::u16string text(8, u'0');
    for (std::size_t i = 8; i-- > 0;) {
        text[i] = u"0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    }
    return text;
}

// Slot EnumerateNetworks: "CANopen_10" .. "CANopen_1000" of one hardware; at most maxCount entries.
[[nodiscard]] inline int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    if (networks == nullptr || maxCount <= 0) {
        return 0;
    }
    const int32_t count = std::min(maxCount, kStandardNetworkCount);
    for (int32_t i = 0; i < count; ++i) {
        NetworkInfo& info = networks[i];
        const uint32_t kbit = kStandardRatesKbit[static_cast<std::size_t>(i)];
        ostrel::platform::copyField(info.name, DRN_NETWORK_NAME_CHARS, u"CANopen_" + decimal(kbit));
        info.networkHandle = (hardwareHandle << kHardwareShift) + static_cast<uint32_t>(i);
        info.baudKbit = kbit;
    }
    return count;
}

// The networks are fixed: adding gives handle 0, deleting is refused.
inline int32_t addNetworksToHardware(uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }
inline int32_t addNetwork(const char16_t*, uint32_t, uint32_t) { return 0; }
inline int32_t deleteNetwork(uint32_t) { return DRN_REFUSED; }
inline int32_t getBaudrate(uint32_t networkHandle) { return static_cast<int32_t>(Baud_IndexToKbit(networkHandle)); }
// Every frame is sent until it is acknowledged.
inline void oneShot(int32_t) {}

// The hardware lock for one read or write of the bus. Not owned (and `result` set) when it stays
// busy, or when the network was closed while this call waited for it.
[[nodiscard]] inline std::unique_lock<std::timed_mutex> lockForBusCall(std::timed_mutex& hardwareLock,
                                                                       const std::atomic<bool>& opened,
                                                                       ResultBlock* result,
                                                                       std::u16string_view closedMessage = {}) {
    std::unique_lock lock(hardwareLock, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) {
        setResult(result, DRN_NO_FRAME);
    } else if (!opened.load()) {
        setResult(result, DRN_NOT_INITIALIZED, closedMessage);
        lock.unlock();
    }
    return lock;
}

// The resolved functions of the interface library. Holding them keeps the library loaded, so the
// driver drops them at CloseDriver.
template <typename Api>
class ApiHolder {
public:
    // Resolves the functions of the selected library: `takeAll(api, take)` calls
    // `take(api.slot, "Name")` for each. A missing entry point stays null; its calls fail as the
    // hardware would. False when no library is selected.
    template <typename TakeAll>
    bool resolve(TakeAll takeAll) {
        auto binding = currentDriver();
        if (!binding || !binding->module) {
            return false;
        }
        auto api = std::make_shared<Api>();
        const auto& module = *binding->module;
        takeAll(*api, [&](auto& slot, const char* name) {
            slot = module.function<std::remove_reference_t<decltype(slot)>>(name);
        });
        api->binding = std::move(binding);
        store(std::move(api));
        return true;
    }
    void store(std::shared_ptr<const Api> api) {
        std::lock_guard lock(mutex_);
        api_ = std::move(api);
    }
    void forget() {
        std::shared_ptr<const Api> old;
        std::lock_guard lock(mutex_);
        old.swap(api_);
    }
    // Null while the library is not loaded.
    [[nodiscard]] std::shared_ptr<const Api> get() const {
        std::lock_guard lock(mutex_);
        return api_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Api> api_;
};

// The TransmitCallback of slot SetTransmitCallback, called after each frame that was sent.
class TransmitNotifier {
public:
    void set(TransmitCallback callback, void* user) {
        std::lock_guard lock(mutex_);
        callback_ = callback;
        user_ = user;
    }
    // The frame as the caller gave it (flags 0, time 0); called without any lock held.
    void notify(uint32_t id, uint8_t length, const uint8_t* data) const {
        TransmitCallback callback = nullptr;
        void* user = nullptr;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
            user = user_;
        }
        if (callback == nullptr) {
            return;
        }
        CANFrame frame{};
        frame.id = id;
        frame.length = length;
        if (data != nullptr) {
            std::memcpy(frame.data, data, std::min<std::size_t>(length, sizeof frame.data));
        }
        callback(&frame, user);
    }

private:
    mutable std::mutex mutex_;
    TransmitCallback callback_ = nullptr;
    void* user_ = nullptr;
};

} // namespace drennic::fixed
