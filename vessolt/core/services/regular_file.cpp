#include "services/regular_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel::vessolt {

FilePtr openRegularFile(const std::string& path, std::string& error) {
    // Without O_NONBLOCK the open itself waits for a FIFO's writer; the type is checked on what was
    // opened, so that the path cannot change in between.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        ::close(fd);
        return nullptr;
    }
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FilePtr file(::fdopen(fd, "rb"));
    if (!file) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

bool readRegularFile(const std::string& path, std::string& content, std::string& error) {
    const FilePtr file = openRegularFile(path, error);
    if (!file)
        return false;
    char buffer[65536];
    std::size_t n = 0;
    errno = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        content.append(buffer, n);
    if (std::ferror(file.get())) {
        error = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

} // namespace ostrel::vessolt
