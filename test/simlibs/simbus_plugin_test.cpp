// Devices for a process that has no test code of its own: the bus loads them from a plugin.
#include <gtest/gtest.h>

#include <platform/process.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// A child process that is killed and reaped whatever happens to the test.
class Child {
public:
    Child(const std::string& program, std::vector<std::string> args, const std::string& plugin) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("OSTREL_SIMBUS_PLUGIN=", 0) != 0) {
                env.emplace_back(*e);
            }
        }
        if (!plugin.empty()) {
            env.push_back("OSTREL_SIMBUS_PLUGIN=" + plugin);
        }
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The exit code, or -1 when it did not end normally within the bound.
    int exitCode(std::chrono::seconds bound = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    [[nodiscard]] bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

const std::string kBin = ostrel::platform::executableDir();

TEST(SimBusPlugin, DeviceFromThePluginAnswersInAProcessWithoutTestCode) {
    Child host(kBin + "/simbus_plugin_host", {"20000"}, kBin + "/libsimbus_test_plugin.so");
    ASSERT_TRUE(host.started());
    EXPECT_EQ(host.exitCode(), 0);
}

TEST(SimBusPlugin, WithoutThePluginNobodyAnswers) {
    Child host(kBin + "/simbus_plugin_host", {"300"}, "");
    ASSERT_TRUE(host.started());
    EXPECT_EQ(host.exitCode(), 3);
}

TEST(SimBusPlugin, MissingPluginLeavesTheBusWithoutDevices) {
    Child host(kBin + "/simbus_plugin_host", {"300"}, kBin + "/no-such-plugin.so");
    ASSERT_TRUE(host.started());
    EXPECT_EQ(host.exitCode(), 3);
}

} // namespace
