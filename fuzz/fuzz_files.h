// What the file targets share: a scratch folder of the process's own (removed at exit, so nothing is
// left behind), files written into it, and a quiet stderr for
// readers that print a line per problem they meet.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_check.h"

namespace ostrel::fuzz {

class ScratchFolder {
public:
    // In memory (/dev/shm) where there is one: targets write and sync their files thousands of times
    // a second, which a disk would turn into the bulk of the time. Else under the temporary folder.
    ScratchFolder() {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (::access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path(ec);
        removeLeftovers(base);
        std::string pattern = (base / (kPrefix + std::to_string(::getpid()) + ".XXXXXX")).string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder %s", pattern.c_str());
        path_ = pattern;
        // A broken property aborts: the folder goes first, then the handler that was there (libFuzzer's,
        // which keeps the input) runs. A handler installed later (libFuzzer's, when the folder was
        // made first) takes the place of this one: scripts/fuzz and the next start remove the folder then.
        std::snprintf(abortPath(), kAbortPathSize, "%s", path_.c_str());
        struct sigaction action {};
        action.sa_sigaction = &removeOnAbort;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGABRT, &action, &previous());
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

    // Replaces `name` with exactly `content` (folders made as needed); the full path.
    std::string write(const std::string& name, std::string_view content) const;

private:
    static constexpr const char* kPrefix = "ostrel-fuzz.";
    static constexpr std::size_t kAbortPathSize = 4096;

    static char* abortPath() {
        static char path[kAbortPathSize];
        return path;
    }
    static struct sigaction& previous() {
        static struct sigaction action {};
        return action;
    }
    static void removeOnAbort(int signal, siginfo_t* info, void* context) {
        std::error_code ignored;
        std::filesystem::remove_all(abortPath(), ignored);
        const struct sigaction& before = previous();
        if ((before.sa_flags & SA_SIGINFO) != 0 && before.sa_sigaction != nullptr) {
            before.sa_sigaction(signal, info, context);
        } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN && before.sa_handler != nullptr) {
            before.sa_handler(signal);
        }
        ::sigaction(SIGABRT, &before, nullptr);
        std::raise(SIGABRT);
    }

    // Folders of processes that ended without removing theirs (a broken property aborts).
    static void removeLeftovers(const std::filesystem::path& base) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(kPrefix, 0) != 0) continue;
            const long pid = std::strtol(name.c_str() + std::string_view(kPrefix).size(), nullptr, 10);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                std::error_code ignored;
                std::filesystem::remove_all(entry.path(), ignored);
            }
        }
    }

    std::filesystem::path path_;
};

// Replaces the file at `path` with exactly `content`, making its folders.
inline void writeFile(const std::filesystem::path& path, std::string_view content) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write %s", path.c_str());
    const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    FUZZ_CHECK(std::fclose(f) == 0 && written, "cannot write %s", path.c_str());
}

inline std::string ScratchFolder::write(const std::string& name, std::string_view content) const {
    writeFile(path_ / name, content);
    return (path_ / name).string();
}

// The process's scratch folder: made at the first use, removed when the process exits normally.
inline ScratchFolder& scratch() {
    static ScratchFolder folder;
    return folder;
}

// Silences stderr while it lives: readers of damaged files print a line per problem, which would
// bury the fuzzer's own output. OSTREL_FUZZ_VERBOSE=1 keeps it (to see a crash report that happened
// inside a quiet stretch, replay the input with it set).
class QuietStderr {
public:
    QuietStderr() {
        static const bool verbose = [] {
            const char* v = std::getenv("OSTREL_FUZZ_VERBOSE");
            return v != nullptr && *v != '\0' && *v != '0';
        }();
        if (verbose) return;
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

// Reads the input front to back; past its end every read gives zeros.
class InputReader {
public:
    InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    // Up to `n` bytes as text.
    std::string text(std::size_t n) {
        const std::size_t take = std::min(n, size_ - std::min(at_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + at_), take);
        at_ += take;
        return out;
    }
    // The bytes up to the next `separator` (consumed) or the end.
    std::string upTo(std::string_view separator) {
        const std::string_view rest = remainingView();
        const std::size_t at = rest.find(separator);
        const std::size_t take = at == std::string_view::npos ? rest.size() : at;
        std::string out(rest.substr(0, take));
        at_ += at == std::string_view::npos ? take : take + separator.size();
        return out;
    }
    std::string rest() { return text(size_); }
    [[nodiscard]] bool empty() const { return at_ >= size_; }

private:
    [[nodiscard]] std::string_view remainingView() const {
        return at_ >= size_ ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    }
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace ostrel::fuzz
