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

std::atomic<unsigned> tempFileCounter{0};

const char* notRegularText(mode_t mode) { return S_ISDIR(mode) ? std::strerror(EISDIR) : kNotRegularText; }

// A descriptor for reading `path`, or -1 with `error` set. Without O_NONBLOCK the open itself would
// wait for a FIFO's writer; the type is checked on what was opened, so the path cannot change in
// between.
int openForReading(const std::string& path, std::string& error, struct stat& info) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
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
    const int fd = openForReading(path, error, info);
    if (fd < 0) return nullptr;
    FilePtr file(::fdopen(fd, "rb"));
    if (!file) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

bool readRegularFile(const std::string& path, std::string& content, std::string& error, std::size_t maxBytes) {
    struct stat info {};
    const int fd = openForReading(path, error, info);
    if (fd < 0) return false;
    const auto tooLarge = [&] {
        error = std::strerror(EFBIG);
        ::close(fd);
        return false;
    };
    if (static_cast<uint64_t>(info.st_size) > maxBytes) return tooLarge();
    content.clear();
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > maxBytes) return tooLarge();  // it grew while being read
    }
    ::close(fd);
    return true;
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
    if (std::fclose(file_.release()) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp_.c_str(), target_.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        error_ = std::strerror(err != 0 ? err : EIO);
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
