// Shared scaffolding of the server's tests: isolated names and folders, and child processes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ostrel::halvorn::test {

inline int countOccurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

// A fresh IPC namespace per call, so that tests in one process never meet stale objects. It starts
// with the namespace of the whole run, by which the run's leftovers in /dev/shm are known.
inline void isolateIpcNames() {
    static int counter = 0;
    static const std::string run = [] {
        const char* ns = std::getenv("OSTREL_IPC_NAMESPACE");
        return ns != nullptr && *ns != '\0' ? std::string(ns) + "-" : std::string();
    }();
    const std::string name = run + "h-halvorn-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    ::setenv("OSTREL_IPC_NAMESPACE", name.c_str(), 1);
}

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "halvorn-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A helper program started with its standard output on a pipe; killed and reaped when dropped.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            return;
        }
        out_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool started() const { return pid_ > 0 && out_ >= 0; }

    // The next line of output, without its line end; nothing on time-out or end of output.
    std::optional<std::string> readLine(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || out_ < 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit code once the child has ended, within timeoutMs; nothing otherwise.
    std::optional<int> waitExit(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0 && !reaped_) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            ::usleep(5000);
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

} // namespace ostrel::halvorn::test
