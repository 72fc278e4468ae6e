// Named segments in /dev/shm with Windows-like lifetime (see ipc_segment.h).
#include "ipc_segment.h"

#include "platform/ipc.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel::platform {

std::string ipcNamespace()
{
    const char* configured = std::getenv("OSTREL_IPC_NAMESPACE");
    if (configured != nullptr && configured[0] != '\0')
        return configured;
    // Appended rather than "u" + to_string(): g++ 12 at -O3 reports a false -Wrestrict overlap in
    // the prepending operator+.
    std::string name = "u";
    name += std::to_string(static_cast<unsigned long>(geteuid()));
    return name;
}

} // namespace ostrel::platform

namespace ostrel::platform::ipc_detail {
namespace {

constexpr uint32_t kMagic = 0x5049534fu;   // "OSIP"
constexpr uint32_t kVersion = 2;   // 2: events without a state lock
constexpr const char* kShmDir = "/dev/shm/";
constexpr std::size_t kMaxObjectNameBytes = 200;
constexpr std::size_t kMaxFileNameBytes = 255;
// Other processes hold the guard only for a few system calls; this bound only matters when one
// of them is stopped in a debugger.
constexpr auto kGuardTimeout = std::chrono::seconds(5);
constexpr int kMaxOpenAttempts = 100;
constexpr off_t kGuardByte = 0;
constexpr off_t kHolderByte = 1;

std::size_t pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

bool ofdLock(int fd, short type, off_t byte, int command)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    lock.l_pid = 0;
    int rc;
    do {
        rc = fcntl(fd, command, &lock);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// True when an open file description other than fd's holds the object open.
bool otherHolders(int fd)
{
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kHolderByte;
    probe.l_len = 1;
    probe.l_pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0)
        return true;   // cannot tell: keep the object rather than wipe someone's state
    return probe.l_type != F_UNLCK;
}

// Exclusive guard over open/close bookkeeping of one object.
class Guard {
public:
    explicit Guard(int fd) : fd_(fd)
    {
        const auto deadline = std::chrono::steady_clock::now() + kGuardTimeout;
        for (int attempt = 0;; ++attempt) {
            if (ofdLock(fd_, F_WRLCK, kGuardByte, F_OFD_SETLK)) {
                held_ = true;
                return;
            }
            if (errno != EAGAIN && errno != EACCES)
                return;
            if (std::chrono::steady_clock::now() >= deadline) {
                timedOut_ = true;
                return;
            }
            if (attempt < 50)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    ~Guard()
    {
        if (held_)
            (void)ofdLock(fd_, F_UNLCK, kGuardByte, F_OFD_SETLK);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    [[nodiscard]] bool held() const noexcept { return held_; }
    // Another process held it for the whole bound.
    [[nodiscard]] bool timedOut() const noexcept { return timedOut_; }

private:
    int fd_;
    bool held_ = false;
    bool timedOut_ = false;
};

struct FileCloser {
    int fd;
    ~FileCloser() { (void)close(fd); }
};

// True while the path still names the file open on fd (nobody unlinked or replaced it).
bool pathRefersTo(const std::string& path, int fd)
{
    struct stat byPath {};
    struct stat byFd {};
    if (fstat(fd, &byFd) != 0 || stat(path.c_str(), &byPath) != 0)
        return false;
    return byPath.st_dev == byFd.st_dev && byPath.st_ino == byFd.st_ino;
}

void appendEncoded(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
                           || u == '-' || u == '_';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
}

// Grows the file so that later touches cannot fail with SIGBUS when /dev/shm fills up.
bool allocate(int fd, std::size_t bytes)
{
    if (ftruncate(fd, 0) != 0)
        return false;
    int rc;
    do {
        rc = posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    } while (rc == EINTR);
    if (rc == 0)
        return true;
    if (rc != EOPNOTSUPP && rc != EINVAL)
        return false;
    return ftruncate(fd, static_cast<off_t>(bytes)) == 0;
}

} // namespace

std::string namespaceFilePrefix()
{
    std::string prefix = "ostrel.";
    appendEncoded(prefix, ipcNamespace());
    prefix += '.';
    return prefix;
}

std::string objectFileName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxObjectNameBytes)
        return {};
    if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return {};
    // The namespace part is encoded without '.', so the first '.' after it ends it: no two
    // (namespace, name) pairs give the same file.
    std::string file = namespaceFilePrefix();
    file.append(name);
    if (file.size() > kMaxFileNameBytes)
        return {};
    return file;
}

std::unique_ptr<Segment> Segment::open(std::string_view name, ObjectKind kind, std::size_t payloadSize,
                                       SegmentInit init, const void* context, OpenFailure* failure)
{
    OpenFailure ignored = OpenFailure::None;
    OpenFailure& why = failure != nullptr ? *failure : ignored;
    why = OpenFailure::Failed;
    const std::string fileName = objectFileName(name);
    if (fileName.empty())
        return nullptr;
    const std::size_t page = pageSize();
    const std::size_t payloadOffset = page;
    if (payloadSize > SIZE_MAX / 2)
        return nullptr;
    const std::size_t totalSize = payloadSize == 0 ? page : payloadOffset + payloadSize;
    const std::string path = kShmDir + fileName;
    const std::string shmName = "/" + fileName;

    for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
        const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0)
            return nullptr;
        auto segment = std::make_unique<Segment>(Key{});
        segment->fd_ = fd;
        segment->fileName_ = fileName;
        segment->ownerPid_ = getpid();

        Guard guard(fd);
        if (!guard.held()) {
            segment->ownerPid_ = 0;   // holds nothing yet: the destructor only closes
            if (guard.timedOut())
                why = OpenFailure::Busy;
            return nullptr;
        }
        if (!pathRefersTo(path, fd))
            continue;         // unlinked by a last closer meanwhile: open the new one

        struct stat info {};
        if (fstat(fd, &info) != 0 || info.st_uid != geteuid())
            return nullptr;

        const bool live = otherHolders(fd);
        if (live) {
            if (static_cast<std::size_t>(info.st_size) != totalSize) {
                why = OpenFailure::OtherFormat;
                return nullptr;
            }
        } else {
            if (fchmod(fd, S_IRUSR | S_IWUSR) != 0 || !allocate(fd, totalSize))
                return nullptr;
        }
        void* base = mmap(nullptr, totalSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED)
            return nullptr;
        segment->base_ = base;
        segment->mappedSize_ = totalSize;
        segment->payloadOffset_ = payloadOffset;
        segment->payloadSize_ = payloadSize;

        auto* header = static_cast<SegmentHeader*>(base);
        if (live) {
            if (header->magic != kMagic || header->version != kVersion
                || header->kind != static_cast<uint32_t>(kind) || header->payloadSize != payloadSize
                || header->payloadOffset != payloadOffset) {
                why = OpenFailure::OtherFormat;
                return nullptr;
            }
        } else {
            header->version = kVersion;
            header->kind = static_cast<uint32_t>(kind);
            header->payloadSize = payloadSize;
            header->payloadOffset = payloadOffset;
            if (init != nullptr)
                init(static_cast<char*>(base) + kBodyOffset, context);
            header->magic = kMagic;
            segment->created_ = true;
        }
        if (!ofdLock(fd, F_RDLCK, kHolderByte, F_OFD_SETLK))
            return nullptr;
        why = OpenFailure::None;
        return segment;
    }
    why = OpenFailure::Busy;   // its name kept changing under us: others are opening and closing it
    return nullptr;
}

Segment::Peek Segment::peek(std::string_view name, ObjectKind kind, void* body, std::size_t bodySize)
{
    const std::string fileName = objectFileName(name);
    if (fileName.empty() || bodySize > kMaxBodySize)
        return Peek::Unheld;
    const std::string path = kShmDir + fileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return Peek::Unheld;
    const FileCloser closer { fd };
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() || !otherHolders(fd))
        return Peek::Unheld;
    SegmentHeader header {};
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return Peek::OtherFormat;
    if (header.magic != kMagic || header.version != kVersion
        || (kind != ObjectKind {} && header.kind != static_cast<uint32_t>(kind)))
        return Peek::OtherFormat;
    if (bodySize > 0 && pread(fd, body, bodySize, kBodyOffset) != static_cast<ssize_t>(bodySize))
        return Peek::OtherFormat;
    return Peek::Held;
}

Segment::~Segment()
{
    if (fd_ < 0)
        return;
    if (getpid() == ownerPid_) {
        Guard guard(fd_);
        (void)ofdLock(fd_, F_UNLCK, kHolderByte, F_OFD_SETLK);
        if (guard.held()) {
            const std::string path = kShmDir + fileName_;
            if (pathRefersTo(path, fd_) && !otherHolders(fd_))
                (void)unlink(path.c_str());
        }
        if (base_ != nullptr)
            (void)munmap(base_, mappedSize_);
    } else if (base_ != nullptr) {
        (void)munmap(base_, mappedSize_);
    }
    (void)close(fd_);
}

void* Segment::body() const noexcept
{
    return static_cast<char*>(base_) + kBodyOffset;
}

void* Segment::payload() const noexcept
{
    return payloadSize_ == 0 ? nullptr : static_cast<char*>(base_) + payloadOffset_;
}

} // namespace ostrel::platform::ipc_detail

namespace ostrel::platform {

bool namedObjectOfAnotherFormat(std::string_view name)
{
    return ipc_detail::Segment::peek(name, ipc_detail::ObjectKind {}, nullptr, 0)
           == ipc_detail::Segment::Peek::OtherFormat;
}

void removeStaleObjects()
{
    const std::string prefix = ipc_detail::namespaceFilePrefix();
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr)
        return;
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    while (const dirent* entry = readdir(dir)) {
        const std::string_view fileName(entry->d_name);
        if (fileName.substr(0, prefix.size()) != prefix)
            continue;
        const std::string path = std::string("/dev/shm/") + entry->d_name;
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        {
            ipc_detail::Guard guard(fd);
            if (guard.held() && ipc_detail::pathRefersTo(path, fd) && !ipc_detail::otherHolders(fd))
                (void)unlink(path.c_str());
        }
        (void)close(fd);
    }
}

} // namespace ostrel::platform
