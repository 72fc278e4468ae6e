#include "server_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdlib>

namespace ostrel::halvorn {

ServerLog::~ServerLog() { Close(); }

std::string ServerLog::defaultPath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder + kFileName;
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
