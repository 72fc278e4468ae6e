// Scaffolding of the tests that run the real `halvorn` program: an isolated scene (IPC names,
// registry, temporary folder for the debug log), the server process, and a raw client that
// writes the rings directly.
#pragma once

#include "halvorn/server_block.h"
#include "halvorn/transport.h"
#include "platform/clock.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ostrel::halvorn::test {

inline constexpr int kBoundMs = 20'000;  // generous: these are not timing tests

inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Own IPC names, registry and temporary folder; the server started later inherits them.
class Scene {
public:
    Scene() { isolateIpcNames(); }
    // Whatever a killed server left behind goes with the scene.
    ~Scene() { platform::removeStaleObjects(); }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;
    [[nodiscard]] bool ready() const { return !registry_.path().empty() && !tmp_.path().empty(); }
    [[nodiscard]] std::string logPath() const {
        return tmp_.path() + "/halvorn_debug." + platform::ipcNamespace() + ".txt";
    }
    [[nodiscard]] bool logExists() const { return std::filesystem::exists(logPath()); }
    [[nodiscard]] std::string logText() const { return readText(logPath()); }

    // Files in /dev/shm that belong to this scene's names.
    [[nodiscard]] static std::vector<std::string> sharedObjects() {
        const std::string prefix = "ostrel." + platform::ipcNamespace() + ".";
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0) found.push_back(name);
        }
        return found;
    }

    // Waits until the debug log holds `needle` at least `count` times.
    bool waitForLog(const std::string& needle, int count = 1, int boundMs = kBoundMs) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        while (countOccurrences(logText(), needle) < count) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    TempDir registry_;
    TempDir tmp_;
    ScopedEnv registryEnv_{"OSTREL_REGISTRY_DIR", registry_.path()};
    ScopedEnv tmpEnv_{"TMPDIR", tmp_.path()};
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", tmp_.path()};  // the debug log's folder
};

// The server program. When dropped it is asked to stop (SIGTERM), so that it takes its shared
// objects down, and killed only if it does not; it is always reaped. Should the test process die
// first, the server is sent SIGTERM by the kernel, so it never outlives a crashed test.
class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args = {"1"}) {
        const std::string program = platform::executableDir() + "/halvorn";
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(126);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~ServerProcess() {
        if (pid_ <= 0 || exited()) return;
        signal(SIGTERM);
        if (waitExit(kBoundMs)) return;
        signal(SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool started() const { return pid_ > 0; }

    // True once "HALVORNRUNNING" is set; false when the bound runs out or the server ended first.
    bool waitRunning(int boundMs = kBoundMs) {
        auto running = platform::NamedEvent::open(kRunningEventName, platform::EventReset::Manual);
        if (!running) return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (running->wait(50)) return true;
            if (exited()) return false;
        }
        return false;
    }

    // The exit code (128 + signal for a killed server), once the server has ended within the bound.
    std::optional<int> waitExit(int boundMs = kBoundMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        while (!exitCode_ && pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return exitCode_;
    }
    bool exited() { return waitExit(0).has_value(); }

    void signal(int sig) const {
        if (pid_ > 0 && !exitCode_) ::kill(pid_, sig);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
};

// A client process that registers, then pings every pingMs (0: never) until it is killed.
class HoldingClient {
public:
    explicit HoldingClient(uint32_t pingMs)
        : child_(platform::executableDir() + "/halvorn_raw_client", {"hold", std::to_string(pingMs)}) {}
    // True once the client has sent its registration.
    bool waitRegistered() { return child_.readLine(kBoundMs) == std::string("registered"); }
    [[nodiscard]] pid_t pid() const { return child_.pid(); }
    void kill() {
        ::kill(child_.pid(), SIGKILL);
        (void)child_.waitExit(kBoundMs);
    }

private:
    ChildProcess child_;
};

// Builds a command entry.
inline ServerCommand makeCommand(uint8_t code, std::vector<uint8_t> payload = {}) {
    ServerCommand c{};
    c.code = code;
    c.length = static_cast<int32_t>(payload.size());
    if (!payload.empty()) std::memcpy(c.data, payload.data(), payload.size());
    return c;
}

// UTF-16 little-endian bytes of a text, with its terminator when asked.
inline std::vector<uint8_t> utf16Bytes(std::u16string_view text, bool terminated) {
    std::vector<uint8_t> out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminated) out.insert(out.end(), {0, 0});
    return out;
}

// The text of a fixed UTF-16 field in a payload, up to its first zero character.
inline std::u16string utf16Field(const uint8_t* data, std::size_t chars) {
    std::u16string text;
    for (std::size_t i = 0; i < chars; ++i) {
        const auto c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

// A client in the test's own process that writes the rings directly, under a process id of its
// choice (several of them stand for several client processes).
class RawClient {
public:
    explicit RawClient(uint32_t processId) : client_(RingClient::connect(processId)) {}
    [[nodiscard]] bool connected() const { return client_ != nullptr; }
    [[nodiscard]] uint32_t processId() const { return client_->processId(); }
    [[nodiscard]] uint32_t currentNetwork() const { return client_->currentNetwork(); }

    bool send(const ServerCommand& command) { return client_->sendCommand(command) == RingWriteResult::Written; }
    bool send(uint8_t code, std::vector<uint8_t> payload = {}) { return send(makeCommand(code, std::move(payload))); }
    bool sendFrame(const ServerFrame& frame) { return client_->sendFrame(frame) == RingWriteResult::Written; }

    // The next response taken by this client, within the bound.
    std::optional<ServerCommand> nextResponse(int boundMs = kBoundMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        for (;;) {
            ServerCommand out{};
            if (client_->readResponse(out).status == RingReadStatus::Entry) return out;
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The next frame of the receive ring, within the bound.
    std::optional<ServerFrame> nextFrame(int boundMs = kBoundMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        for (;;) {
            ServerFrame out{};
            if (client_->readReceived(out).status == RingReadStatus::Entry) return out;
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Sends a command and takes the next response.
    std::optional<ServerCommand> request(uint8_t code, std::vector<uint8_t> payload = {}) {
        if (!send(code, std::move(payload))) return std::nullopt;
        return nextResponse();
    }

    void close() { client_.reset(); }

private:
    std::unique_ptr<RingClient> client_;
};

// A running server with its scene: the usual start of a test.
class RunningServerTest : public ::testing::Test {
protected:
    void startServer(const std::vector<std::string>& args = {"1"}) {
        ASSERT_TRUE(scene_.ready());
        server_ = std::make_unique<ServerProcess>(args);
        ASSERT_TRUE(server_->started());
        ASSERT_TRUE(server_->waitRunning());
    }
    void TearDown() override { server_.reset(); }

    Scene scene_;
    std::unique_ptr<ServerProcess> server_;
};

} // namespace ostrel::halvorn::test
