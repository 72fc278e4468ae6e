// Files the user names (test configurations, reports, data sheets, network descriptions) are read
// and replaced only when they are regular files: a FIFO would hold the reader or writer until some
// process came to its other end, and a device such as /dev/zero never ends. A path that does not
// exist yet may be written. A file is replaced whole: its new text goes into a temporary file beside
// it, which then takes its place, so the target is never read back or left half written.
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
// holds more than `maxBytes`.
[[nodiscard]] bool readRegularFile(const std::string& path, std::string& content, std::string& error,
                                   std::size_t maxBytes = kMaxUserFileBytes);

// A new version of the file at `path` (a symbolic link: the file it points to, made when missing). Construction
// refuses at once a path that names anything but a regular file or nothing; otherwise it opens a
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
    // when any step fails or the file had a write error. The temporary file is gone afterwards.
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
