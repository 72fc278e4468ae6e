#include "platform/regular_file.h"

#include "file_sync.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ostrel::platform {
namespace {

constexpr const char* kNotRegularText = "not a regular file";
constexpr const char* kReadOnlyText = "the file is read-only";

std::atomic<unsigned> tempFileCounter{0};

const char* notRegularText(mode_t mode) { return S_ISDIR(mode) ? std::strerror(EISDIR) : kNotRegularText; }

// A descriptor for reading `path`, or -1 with `error` set. Without O_NONBLOCK the open itself would
// wait for a FIFO's writer; the type is checked on what was opened, so the path cannot change in
// between.
int openForReading(const std::string& path, std::string& error, struct stat& info, int& code) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        code = errno;
        error = std::strerror(code);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        code = S_ISDIR(info.st_mode) ? EISDIR : ENODEV;
        error = notRegularText(info.st_mode);
        ::close(fd);
        return -1;
    }
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Follows symbolic links to the file they name, which need not exist yet: a link whose file is
// missing gets it made, just as a link to a file has that file replaced, and the link stays.
bool resolveLinks(std::string& path, std::string& error) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        std::error_code ec;
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) {
            error = ec.message();
            return false;
        }
        path = link.is_absolute() ? link.string() : (fs::path(path).parent_path() / link).string();
    }
    error = std::strerror(ELOOP);
    return false;
}

} // namespace

void syncFolder(const std::string& folder) noexcept {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

FilePtr openRegularFile(const std::string& path, std::string& error) {
    struct stat info {};
    int code = 0;
    const int fd = openForReading(path, error, info, code);
    if (fd < 0) return nullptr;
    FilePtr file(::fdopen(fd, "rb"));
    if (!file) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

bool readRegularFile(const std::string& path, std::string& content, std::string& error, std::size_t maxBytes,
                     int* code) {
    struct stat info {};
    int failure = 0;
    const int fd = openForReading(path, error, info, failure);
    if (code != nullptr) *code = failure;
    if (fd < 0) return false;
    const auto failed = [&](int err) {
        if (code != nullptr) *code = err;
        error = std::strerror(err);
        ::close(fd);
        return false;
    };
    const auto tooLarge = [&] { return failed(EFBIG); };
    if (static_cast<uint64_t>(info.st_size) > maxBytes) return tooLarge();
    content.clear();
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed(errno);
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > maxBytes) return tooLarge();  // it grew while being read
    }
    ::close(fd);
    return true;
}

bool isRegularFile(const std::string& path, std::string& error) {
    struct stat info {};
    int code = 0;
    const int fd = openForReading(path, error, info, code);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

std::string writeProtection(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    // Without any write permission the file is protected from everyone, the superuser too, who
    // would otherwise pass every check.
    if ((info.st_mode & 0222) == 0) return kReadOnlyText;
    if (::access(path.c_str(), W_OK) == 0) return {};
    return errno == EROFS ? std::strerror(EROFS) : kReadOnlyText;
}

FileReplacement::FileReplacement(const std::string& path) : target_(path) {
    if (target_.empty()) {
        error_ = std::strerror(ENOENT);
        return;
    }
    if (!resolveLinks(target_, error_)) return;
    struct stat info {};
    if (::stat(target_.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            error_ = notRegularText(info.st_mode);
            return;
        }
        error_ = writeProtection(target_);
        if (!error_.empty()) return;
        existed_ = true;
        mode_ = info.st_mode & 07777;
    } else if (errno != ENOENT) {
        error_ = std::strerror(errno);
        return;
    }
    const std::string folder = fs::path(target_).parent_path().string();
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        // A short name of its own: the target's name plus a suffix could pass the name limit.
        temp_ = (folder.empty() ? std::string() : folder + "/") + ".~" + std::to_string(::getpid()) + "." +
                std::to_string(tempFileCounter++) + ".tmp";
        fd = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error_ = std::strerror(errno);
        temp_.clear();
        return;
    }
    file_.reset(::fdopen(fd, "w+b"));
    if (!file_) {
        error_ = std::strerror(errno);
        ::close(fd);
        discard();
    }
}

FileReplacement::~FileReplacement() { discard(); }

void FileReplacement::discard() noexcept {
    file_.reset();
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool FileReplacement::commit() {
    if (!file_) {
        if (error_.empty()) error_ = std::strerror(EBADF);
        return false;
    }
    const int fd = ::fileno(file_.get());
    errno = 0;
    bool ok = std::fflush(file_.get()) == 0 && !std::ferror(file_.get());
    if (ok && existed_) ok = ::fchmod(fd, static_cast<mode_t>(mode_)) == 0;
    if (ok) ok = ::fdatasync(fd) == 0;
    int err = errno;
    // Protected while the new version was written: it stays as it is.
    std::string protection = ok && existed_ ? writeProtection(target_) : std::string();
    ok = ok && protection.empty();
    if (std::fclose(file_.release()) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp_.c_str(), target_.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        error_ = !protection.empty() ? std::move(protection) : std::strerror(err != 0 ? err : EIO);
        discard();
        return false;
    }
    temp_.clear();
    syncFolder(fs::path(target_).parent_path().string());
    return true;
}

bool replaceRegularFile(const std::string& path, std::string_view content, std::string& error) {
    FileReplacement replacement(path);
    const bool ok = replacement.file() != nullptr &&
                    std::fwrite(content.data(), 1, content.size(), replacement.file()) == content.size() &&
                    replacement.commit();
    if (!ok) error = replacement.error().empty() ? std::strerror(EIO) : replacement.error();
    return ok;
}

} // namespace ostrel::platform
