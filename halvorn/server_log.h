// The server's debug log: a plain-text trace written only when the server was started with a
// nonzero argument. Every part of the server writes through it; lines come from several threads,
// and the lock keeps each one whole.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace ostrel::halvorn {

class ServerLog {
public:
    static constexpr unsigned kLockWaitMs = 500;

    // Construct: disabled, no file.
    ServerLog() = default;
    // Destroy: closes the file.
    ~ServerLog();
    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    // "halvorn_debug.<namespace>.txt" in a folder of the user's alone: $XDG_RUNTIME_DIR, else
    // "ostrel-<uid>" in the system's temporary folder ($TMPDIR, else /tmp). Named after the IPC
    // namespace so that servers of parallel namespaces never share a file; characters of the
    // namespace other than letters, digits, '-' and '_' are written as %XX.
    [[nodiscard]] static std::string defaultPath();

    // Creates or truncates the file (mode 0600; a symbolic link or anything but a file of the
    // user's own at its name is not opened); on success the log is enabled. False leaves it
    // disabled. Open() makes the folder in the temporary folder when it is missing, and refuses
    // one that is not the user's alone.
    bool Open();
    bool Open(const std::string& path);
    // printf-style; written and flushed when enabled and the lock is had within 500 ms, else dropped.
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Closes the file once; later closes do nothing.
    void Close();

    [[nodiscard]] bool enabled() const noexcept { return enabled_.load(std::memory_order_acquire); }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    std::timed_mutex lock_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::atomic<bool> enabled_{false};
};

} // namespace ostrel::halvorn
