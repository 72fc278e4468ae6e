#include "library_calls.h"

#include <drennic/drennic.h>

#include <QString>

namespace ostrel::vessolt::library {

namespace {
constexpr int32_t kServerClientMode = 1;
}

void Startup(const std::string& driverName) {
    const QString name = QString::fromStdString(driverName);
    std::u16string text(reinterpret_cast<const char16_t*>(name.utf16()), static_cast<size_t>(name.size()));
    CANopenDLL_Startup(kServerClientMode, text.c_str());
}

void CloseHardware() { Hardware_Close(); }

void DropReceiveCallback() { Event_Receive(nullptr, nullptr); }

void Shutdown() { CANopenDLL_Shutdown(); }

} // namespace ostrel::vessolt::library
