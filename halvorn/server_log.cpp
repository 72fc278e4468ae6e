#include "server_log.h"

#include "platform/ipc.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char* runtimeDir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

// The folder in the temporary folder: made for the user alone when missing; one that is a link,
// someone else's, or open to others is not used.
bool ensurePrivateFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 0077) == 0;
}

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

} // namespace

ServerLog::~ServerLog() { Close(); }

std::string ServerLog::defaultPath() {
    std::string folder;
    if (const char* runtime = runtimeDir()) {
        folder = runtime;
        if (folder.back() != '/') folder += '/';
    } else {
        const char* tmp = std::getenv("TMPDIR");
        folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
        if (folder.back() != '/') folder += '/';
        folder += "ostrel-" + std::to_string(static_cast<unsigned long>(::geteuid())) + "/";
    }
    return folder + "halvorn_debug." + fileNamePart(platform::ipcNamespace()) + ".txt";
}

bool ServerLog::Open() {
    const std::string path = defaultPath();
    if (runtimeDir() == nullptr && !ensurePrivateFolder(folderOf(path))) return false;
    return Open(path);
}

bool ServerLog::Open(const std::string& path) {
    std::unique_lock lock(lock_, std::chrono::milliseconds(kLockWaitMs));
    if (!lock.owns_lock()) return false;
    // Not truncated before it is known to be a file of ours; O_NONBLOCK keeps a FIFO from hanging us.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || ::ftruncate(fd, 0) != 0 ||
        ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "w"));
    if (!file) {
        ::close(fd);
        return false;
    }
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
