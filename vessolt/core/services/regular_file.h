#pragma once
// Files the user names (data sheets, network descriptions) are read only when they are regular
// files: a FIFO would hold the reader until some writer came, and a device such as /dev/zero never
// ends.
#include <cstdio>
#include <memory>
#include <string>

namespace ostrel::vessolt {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for reading in binary mode; null when it cannot be opened or is no regular file,
// with `error` telling why ("not a regular file", or the system's text).
[[nodiscard]] FilePtr openRegularFile(const std::string& path, std::string& error);
// The whole of such a file; false with `error` set as above, or when reading fails.
[[nodiscard]] bool readRegularFile(const std::string& path, std::string& content, std::string& error);

} // namespace ostrel::vessolt
