#include "server_log.h"

#include "platform/ipc.h"

#include <chrono>
#include <cstdarg>
#include <cstdlib>

namespace ostrel::halvorn {

namespace {

// The namespace as one safe file-name part: no '/', no leading dot, nothing a shell would mangle.
std::string fileNamePart(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
                           u == '_';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        }
    }
    return out;
}

} // namespace

ServerLog::~ServerLog() { Close(); }

std::string ServerLog::defaultPath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder + "halvorn_debug." + fileNamePart(platform::ipcNamespace()) + ".txt";
}

bool ServerLog::Open() { return Open(defaultPath()); }

bool ServerLog::Open(const std::string& path) {
    std::unique_lock lock(lock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) return false;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "w"));
    if (!file) return false;
    file_ = std::move(file);
    enabled_.store(true, std::memory_order_release);
    return true;
}

void ServerLog::Print(const char* format, ...) {
    if (!enabled()) return;
    std::unique_lock lock(lock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock() || !file_) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file_.get(), format, args);
    va_end(args);
    // Flushed per line so that the file is current if the process ends abruptly.
    std::fflush(file_.get());
}

void ServerLog::Close() {
    std::unique_lock lock(lock_, std::chrono::milliseconds(kLockWaitMs));
    enabled_.store(false, std::memory_order_release);
    if (lock.owns_lock()) file_.reset();
}

} // namespace ostrel::halvorn
