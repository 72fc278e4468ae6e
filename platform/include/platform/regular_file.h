// Files the user names (test configurations, reports, data sheets, network descriptions) are read
// and replaced only when they are regular files: a FIFO would hold the reader or writer until some
// process came to its other end, and a device such as /dev/zero never ends. A path that does not
// exist yet may be written. A file is replaced whole: its new text goes into a temporary file beside
// it, which then takes its place, so the target is never read back or left half written. The rename
// needs only the folder's permission, so a file its owner protected (no write permission for the
// caller, or none at all) is refused before, as an editor would: the rename must not get round it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace ostrel::platform {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Readers of a whole file refuse larger ones rather than fill the memory.
inline constexpr std::size_t kMaxUserFileBytes = std::size_t{16} << 20;

// Opens `path` for reading in binary mode without waiting; null when it cannot be opened or is no
// regular file, with `error` telling why ("not a regular file", or the system's text).
[[nodiscard]] FilePtr openRegularFile(const std::string& path, std::string& error);
// The whole of such a file; false with `error` set as above, when reading fails, or when the file
// holds more than `maxBytes`. `code`, when given, receives the failure's errno (ENOENT for a path
// that names nothing, EFBIG for a file over the bound, ENODEV for one that is no regular file).
[[nodiscard]] bool readRegularFile(const std::string& path, std::string& content, std::string& error,
                                   std::size_t maxBytes = kMaxUserFileBytes, int* code = nullptr);
// Whether `path` names a regular file, without opening anything that waits (a FIFO) or reading it;
// false with `error` set as for openRegularFile. For callers that hand the path on (the loader).
[[nodiscard]] bool isRegularFile(const std::string& path, std::string& error);

// The reason a replacement of `path` is refused because the caller may not write the file, or its
// owner took every write permission away ("the file is read-only"; a read-only file system says so);
// empty when it may be replaced or does not exist.
[[nodiscard]] std::string writeProtection(const std::string& path);

// A new version of the file at `path` (a symbolic link: the file it points to, made when missing). Construction
// refuses at once a path that names anything but a regular file or nothing, and a protected file
// (writeProtection); otherwise it opens a
// temporary file beside the target for writing and reading back. commit() puts it in the target's
// place with the target's permission bits; a replacement not committed leaves the target untouched.
class FileReplacement {
public:
    explicit FileReplacement(const std::string& path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // The temporary file; null when refused (error() says why).
    [[nodiscard]] std::FILE* file() const noexcept { return file_.get(); }
    [[nodiscard]] const std::string& error() const noexcept { return error_; }
    // Flushes and syncs the temporary file, then renames it over the target; false (error() set)
    // when any step fails, the file had a write error or the target has been protected meanwhile.
    // The temporary file is gone afterwards.
    bool commit();

private:
    void discard() noexcept;

    std::string target_;
    std::string temp_;
    FilePtr file_;
    bool existed_ = false;
    unsigned mode_ = 0;
    std::string error_;
};

// Replaces the file at `path` with `content` through a FileReplacement; false with `error` set.
[[nodiscard]] bool replaceRegularFile(const std::string& path, std::string_view content, std::string& error);

} // namespace ostrel::platform
