// The vessolt program as a process: it joins the CAN server and leaves cleanly on SIGTERM; and
// the demo script refuses at once without a display.
#include <gtest/gtest.h>

#include <platform/registry.h>

#include "e2e_support.h"
#include "services/product_key.h"

#include <spawn.h>

extern char** environ;

using namespace drennic::e2e;

namespace {

// How long the program may take to leave: it stores every window's settings as it goes, which a
// busy machine can make take seconds; only a hang takes longer.
constexpr int kLeaveMs = 30'000;

// Waits up to `ms` for the child to end; its exit status, or nullopt while it runs.
std::optional<int> waitExit(pid_t pid, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() > end)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

pid_t spawn(const std::string& path, std::vector<std::string> args = {}) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

TEST(VessoltProgram, JoinsTheServerAndLeavesCleanlyOnSigterm) {
    ProcessGuard guard;
    IsolatedEnvironment environment("vessolt");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    const pid_t vessolt = spawn(binDir() + "/vessolt");
    ASSERT_GT(vessolt, 0);
    ASSERT_TRUE(eventually(30'000, [] { return !liveServers().empty(); })) << "no CAN server started";
    // Up and in its message loop: the window settings are not there before it closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    ASSERT_EQ(::kill(vessolt, SIGTERM), 0);
    const std::optional<int> status = waitExit(vessolt, kLeaveMs);
    ASSERT_TRUE(status.has_value()) << "still running " << kLeaveMs / 1000 << " s after SIGTERM";
    EXPECT_EQ(*status, 0);

    auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                   std::string(ostrel::vessolt::kProductKey) + "\\testmanager");
    ASSERT_TRUE(key);
    // The registered tests' order is stored: the object dictionary scan first, the PDO analysis,
    // then the timing tests by their numbers.
    EXPECT_EQ(key->readInteger("testnum"), 7);
    EXPECT_EQ(key->readInteger("testid0"), 20);
    EXPECT_EQ(key->readInteger("testid1"), 30);
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(key->readInteger("testid" + std::to_string(i + 1)), i);
    // Each timing window saved its test's settings and its placement when it went.
    for (const char* test : {"TPDO Sync", "TPDO Sync + RPDOs", "TPDO Event", "TPDO Event + RPDOs", "PDO Turnaround"}) {
        auto settings = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                            std::string(ostrel::vessolt::kProductKey) + "\\" + test);
        ASSERT_TRUE(settings) << test;
        EXPECT_EQ(settings->readInteger("manualtestcycles"), 5) << test;
        EXPECT_EQ(settings->readInteger("windowstate"), 0) << test;
        EXPECT_TRUE(settings->readInteger("width").has_value()) << test;
    }
    EXPECT_TRUE(eventually(10'000, [] { return liveServers().empty(); })) << "the server outlived its last client";
}

TEST(VessoltProgram, ExitWithATestWindowOpenEndsTheProgram) {
#ifndef OSTREL_EXIT_USER
    GTEST_SKIP() << "a sanitizer's runtime leaves no room for the preloaded user";
#else
    ProcessGuard guard;
    IsolatedEnvironment environment("vessolt-exit");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("LD_PRELOAD", OSTREL_EXIT_USER, 1);
    const pid_t vessolt = spawn(binDir() + "/vessolt");
    ::unsetenv("LD_PRELOAD");
    // The main window stores its placement when it has closed.
    ASSERT_TRUE(eventually(60'000, [] {
        return ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                   std::string(ostrel::vessolt::kProductKey) + "\\main") != nullptr;
    })) << "the main window never closed";
    EXPECT_EQ(waitExit(vessolt, kLeaveMs), 0)
        << "not ended with 0 within " << kLeaveMs / 1000 << " s of its main window";
#endif
}

TEST(VessoltProgram, DemoScriptWithoutADisplaySaysSoAndStartsNothing) {
    ProcessGuard guard;
    const std::string output = (std::filesystem::temp_directory_path() /
                                ("run-output-" + std::to_string(::getpid()))).string();
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                std::string(OSTREL_RUN_SCRIPT) + " >" + output + " 2>&1";
    const auto started = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    std::ifstream in(output);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(output);
    EXPECT_NE(text.find("xvfb-run -a scripts/run"), std::string::npos) << text;
    EXPECT_NE(text.find("xvfb"), std::string::npos);
    EXPECT_TRUE(descendants().empty());
}
