// Scaffolding of the end-to-end tests: isolated names, client processes driven line by line, and
// a guard that kills and reaps every process the test started, the CAN server included.
#pragma once

#include <platform/ipc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace drennic::e2e {

inline std::string binDir() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// Parent and command name of a process, from /proc/<pid>/stat.
struct ProcessInfo {
    pid_t parent = 0;
    std::string name;
};

inline std::optional<ProcessInfo> processInfo(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size()) return std::nullopt;
    ProcessInfo info;
    info.name = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 2));
    char state = 0;
    rest >> state >> info.parent;
    if (state == 'Z') info.name += " <zombie>";
    return info;
}

// Every process below this one (children, grandchildren, ...), live or zombie.
inline std::vector<std::pair<pid_t, std::string>> descendants() {
    std::vector<std::pair<pid_t, ProcessInfo>> all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        pid_t pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc()) continue;
        if (auto info = processInfo(pid)) all.emplace_back(pid, *info);
    }
    std::vector<std::pair<pid_t, std::string>> found;
    std::vector<pid_t> frontier{::getpid()};
    while (!frontier.empty()) {
        const pid_t parent = frontier.back();
        frontier.pop_back();
        for (const auto& [pid, info] : all) {
            if (info.parent == parent) {
                found.emplace_back(pid, info.name);
                frontier.push_back(pid);
            }
        }
    }
    return found;
}

// The thread of a process that carries `name`; 0 when there is none.
inline pid_t threadNamed(pid_t pid, const std::string& name) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::string comm;
        if (std::getline(std::ifstream(task.path() / "comm"), comm) && comm == name) {
            return std::stoi(task.path().filename());
        }
    }
    return 0;
}

// Live CAN servers below this process.
inline std::vector<pid_t> liveServers() {
    std::vector<pid_t> servers;
    for (const auto& [pid, name] : descendants()) {
        if (name == "halvorn") servers.push_back(pid);
    }
    return servers;
}

// Waits up to `ms` for `condition`.
template <typename Condition>
bool eventually(int ms, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Kills the one live CAN server with SIGKILL and waits until it is gone; false when there was not
// exactly one, or it outlived 10 s. What it alone held goes with it (the clients hold the rest).
inline bool killTheServer() {
    const auto servers = liveServers();
    if (servers.size() != 1) return false;
    ::kill(servers[0], SIGKILL);
    const bool gone = eventually(10'000, [&] {
        const auto now = liveServers();
        return std::find(now.begin(), now.end(), servers[0]) == now.end();
    });
    ostrel::platform::removeStaleObjects();
    return gone;
}

// Adopts orphaned descendants (the server outlives the client that started it) and, when dropped,
// kills every process below this one, reaps them and removes the shared objects they left in the
// test's namespace (a killed process cannot take its own down).
class ProcessGuard {
public:
    ProcessGuard() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~ProcessGuard() { killAll(); }
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

    static void killAll() {
        for (int round = 0; round < 50; ++round) {
            const auto below = descendants();
            for (const auto& [pid, name] : below) ::kill(pid, SIGKILL);
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (below.empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ostrel::platform::removeStaleObjects();
    }
};

// The namespace the whole test run was given (scripts/test gives each run its own): every test's
// names start with it, so that what a run leaves behind in /dev/shm is known by its prefix.
inline const std::string& runNamespace() {
    static const std::string run = [] {
        const char* ns = std::getenv("OSTREL_IPC_NAMESPACE");
        return ns != nullptr && *ns != '\0' ? std::string(ns) + "-" : std::string();
    }();
    return run;
}

// A folder of its own in the temporary folder, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "drennic-e2e") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Names, registry and run-time folder of their own for everything this test starts: Qt and the
// server's debug log use $XDG_RUNTIME_DIR, and without one Qt makes a folder in the temporary folder.
class IsolatedEnvironment {
public:
    explicit IsolatedEnvironment(const std::string& tag) {
        static int counter = 0;
        const std::string ns =
            runNamespace() + "e2e-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        ::setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1);
        if (folder_.path().empty()) throw std::runtime_error("no folder for the test's registry");
        ::setenv("OSTREL_REGISTRY_DIR", folder_.file("registry").c_str(), 1);
        if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) runtime_ = runtime;
        ::mkdir(runtimeDir().c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir().c_str(), 1);
    }
    ~IsolatedEnvironment() {
        if (runtime_) {
            ::setenv("XDG_RUNTIME_DIR", runtime_->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }
    IsolatedEnvironment(const IsolatedEnvironment&) = delete;
    IsolatedEnvironment& operator=(const IsolatedEnvironment&) = delete;

    [[nodiscard]] std::string runtimeDir() const { return folder_.file("runtime"); }

private:
    ScratchDir folder_;
    std::optional<std::string> runtime_;
};

// One client program, driven through its standard input; answers come one line each.
class Client {
public:
    static constexpr int kAnswerWaitMs = 60'000;

    // `program` names a program beside the test, or is a path; `environment` holds extra "NAME=value"
    // settings for it, `arguments` its arguments.
    explicit Client(const std::string& program = "drennic_e2e_client",
                    const std::vector<std::string>& environment = {}, std::vector<std::string> arguments = {}) {
        const std::string path = program.find('/') == std::string::npos ? binDir() + "/" + program : program;
        arguments.insert(arguments.begin(), path);
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            for (const std::string& setting : environment) {
                const auto equals = setting.find('=');
                ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
            }
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        if (pid_ < 0) {
            ::close(in[1]);
            ::close(out[0]);
            return;
        }
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Client() {
        if (stdin_ >= 0) ::close(stdin_);
        if (stdout_ >= 0) ::close(stdout_);
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Sends one command and returns its answer line ("" when none came in time).
    std::string ask(const std::string& command, int timeoutMs = kAnswerWaitMs) {
        if (!post(command)) return "";
        return answer(timeoutMs);
    }
    // The two halves of ask(), for a test that acts while the client works.
    bool post(const std::string& command) {
        const std::string line = command + "\n";
        return stdin_ >= 0 && ::write(stdin_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }
    std::string answer(int timeoutMs = kAnswerWaitMs) { return readLine(timeoutMs).value_or(""); }

    // The words of an answer.
    static std::vector<std::string> words(const std::string& answer) {
        std::istringstream in(answer);
        std::vector<std::string> out;
        for (std::string w; in >> w;) out.push_back(w);
        return out;
    }
    // The number at `index` of the answer to `command`.
    long long askNumber(const std::string& command, std::size_t index = 1, int timeoutMs = kAnswerWaitMs) {
        const auto w = words(ask(command, timeoutMs));
        if (w.size() <= index) return -999'999;
        long long value = -999'999;
        (void)std::from_chars(w[index].data(), w[index].data() + w[index].size(), value);
        return value;
    }

    // Ends the program through "quit" and waits for it.
    bool quit(int timeoutMs = 20'000) {
        const std::string line = "quit\n";
        (void)::write(stdin_, line.data(), line.size());
        return eventually(timeoutMs, [this] {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
            return reaped_;
        });
    }

private:
    std::optional<std::string> readLine(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || stdout_ < 0) return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[65536];
            const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

// A test whose client programs and CAN server run in a namespace and registry of its own, and are
// ended, with their shared objects, when it ends.
class ClientProgramTest : public ::testing::Test {
protected:
    explicit ClientProgramTest(const std::string& tag) : environment_(tag) {}
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    // A client program that has started the library and initialised the hardware on `network`.
    static void startOn(Client& client, int network) {
        ASSERT_EQ(client.ask("startup"), "ok");
        ASSERT_EQ(client.ask("init " + std::to_string(network)), "result 0 ");
    }

    ProcessGuard guard_;
    IsolatedEnvironment environment_;
};

} // namespace drennic::e2e
