// Process-wide state of the library: start-up, the selected driver and the event registrations.
#pragma once

#include "engine/driver_table.h"

#include <platform/library.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace drennic {

enum class DriverKind { None, ServerClient, Kobalapi2, HiCanPci, KobalPlsapi2, WinCE };
inline constexpr std::size_t kDriverKindCount = 6;

// The selected driver: its table and, for an interface library, the loaded library. Shared by every
// call in flight, so a library is unloaded only after the last call into it has returned.
struct DriverBinding {
    DriverKind kind = DriverKind::None;
    DriverOps ops = unavailableDriverOps();
    std::unique_ptr<ostrel::platform::Library> module;  // none for the server client
};

// Which driver a mode and an upper-cased name select.
[[nodiscard]] DriverKind selectDriverKind(int32_t mode, std::u16string_view upperName) noexcept;

// CANopenDLL_Startup / CANopenDLL_Shutdown.
void startLibrary(int32_t mode, const char16_t* driverName);
void stopLibrary();

// The driver every export uses; null when no driver is present.
[[nodiscard]] std::shared_ptr<const DriverBinding> currentDriver();

struct LibraryStatus {
    bool started = false;
    int32_t mode = 0;
    std::u16string driverName;  // upper-cased, as forwarded to the CAN server
    DriverKind selected = DriverKind::None;
    bool driverPresent = false;
    std::string modulePath;     // the loaded interface library, empty for none
};
[[nodiscard]] LibraryStatus libraryStatus();

// Registrations read by the engine thread on each frame.
[[nodiscard]] std::pair<ReceiveCallback, void*> receiveHandler();
void setReceiveHandler(ReceiveCallback callback, void* user);
[[nodiscard]] std::pair<MajorErrorCallback, void*> majorErrorHandler();
void setMajorErrorHandler(MajorErrorCallback callback, void* user);

// Sleep after each successful transmission of the library (default 1 ms).
inline constexpr uint32_t kDefaultPostTransmitDelayMs = 1;
[[nodiscard]] uint32_t postTransmitDelayMs() noexcept;
void setPostTransmitDelayMs(uint32_t ms) noexcept;
// Sleeps the post-transmit delay (nothing when it is 0).
void postTransmitPause() noexcept;

// How each kind fills its table. Replaceable so that tests can stand a driver of their own in for a
// kind; returns the filler it replaced.
using DriverFill = void (*)(DriverOps&);
DriverFill replaceDriverFill(DriverKind kind, DriverFill fill);

// Shuts the library down when it runs and puts every setting and registration back to its start value.
void resetLibraryState();

} // namespace drennic
