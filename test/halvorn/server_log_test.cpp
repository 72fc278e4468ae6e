#include "server_log.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <unistd.h>

namespace ostrel::halvorn {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ServerLog, FileLivesInTheUsersOwnFolderNamedAfterTheIpcNamespace) {
    test::TempDir tmp;
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", tmp.path());
    test::ScopedEnv ns("OSTREL_IPC_NAMESPACE", "run-7_a");
    EXPECT_EQ(ServerLog::defaultPath(), tmp.path() + "/halvorn_debug.run-7_a.txt");
    test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", "");
    test::ScopedEnv env("TMPDIR", tmp.path());
    const std::string user = "/ostrel-" + std::to_string(::geteuid());
    EXPECT_EQ(ServerLog::defaultPath(), tmp.path() + user + "/halvorn_debug.run-7_a.txt");
    test::ScopedEnv unset("TMPDIR", "");
    EXPECT_EQ(ServerLog::defaultPath(), "/tmp" + user + "/halvorn_debug.run-7_a.txt");
    test::ScopedEnv odd("OSTREL_IPC_NAMESPACE", "../x y");
    EXPECT_EQ(ServerLog::defaultPath(), "/tmp" + user + "/halvorn_debug.%2E%2E%2Fx%20y.txt") << "never a path of its own";
    test::ScopedEnv none("OSTREL_IPC_NAMESPACE", "");
    EXPECT_EQ(ServerLog::defaultPath(), "/tmp" + user + "/halvorn_debug.u" + std::to_string(::geteuid()) + ".txt");
}

// The file is the user's alone, and a link planted at its name leads nowhere.
TEST(ServerLog, FileIsPrivateAndAPlantedLinkIsNotFollowed) {
    test::TempDir tmp;
    test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", "");
    test::ScopedEnv env("TMPDIR", tmp.path());
    const std::string path = ServerLog::defaultPath();
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const std::string victim = tmp.path() + "/victim";
    std::ofstream(victim) << "precious\n";
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    std::filesystem::create_symlink(victim, path);
    {
        ServerLog log;
        EXPECT_FALSE(log.Open());
        log.Print("written through the link\n");
    }
    EXPECT_EQ(readFile(victim), "precious\n");

    std::filesystem::remove(path);
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    ServerLog open;
    EXPECT_FALSE(open.Open()) << "a folder open to others is not used";
    std::filesystem::remove(folder);
    ASSERT_TRUE(open.Open());
    const auto mode = [](const std::filesystem::path& p) { return std::filesystem::status(p).permissions(); };
    EXPECT_EQ(mode(folder), std::filesystem::perms::owner_all);
    EXPECT_EQ(mode(path), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(ServerLog, NothingIsWrittenOrCreatedUntilOpened) {
    test::TempDir tmp;
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", tmp.path());
    {
        ServerLog log;
        EXPECT_FALSE(log.enabled());
        log.Print("Ping\n");
        log.Close();
    }
    EXPECT_FALSE(std::filesystem::exists(ServerLog::defaultPath()));
}

TEST(ServerLog, OpenTruncatesAndEachLineIsFlushedAtOnce) {
    test::TempDir tmp;
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", tmp.path());
    {
        std::ofstream old(ServerLog::defaultPath());
        old << "stale content\n";
    }
    ServerLog log;
    ASSERT_TRUE(log.Open());
    EXPECT_TRUE(log.enabled());
    log.Print("Ost CAN Server version %d.%.2d started\n\n", 1, 0);
    // Readable before the log is closed.
    EXPECT_EQ(readFile(ServerLog::defaultPath()), "Ost CAN Server version 1.00 started\n\n");
    log.Print("Sending response %2.2X at %lu\n", 0x51u, 42ul);
    log.Close();
    log.Print("after close\n");
    log.Close();
    EXPECT_EQ(readFile(ServerLog::defaultPath()),
              "Ost CAN Server version 1.00 started\n\nSending response 51 at 42\n");
}

TEST(ServerLog, FileThatCannotBeCreatedLeavesTheLogDisabled) {
    test::TempDir tmp;
    ServerLog log;
    EXPECT_FALSE(log.Open(tmp.path() + "/no/such/folder/log.txt"));
    EXPECT_FALSE(log.enabled());
}

TEST(ServerLog, LinesFromSeveralThreadsStayWhole) {
    test::TempDir tmp;
    const std::string path = tmp.path() + "/log.txt";
    ServerLog log;
    ASSERT_TRUE(log.Open(path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 200; ++i) log.Print("thread %d line %d %s\n", t, i, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
        });
    }
    for (auto& th : threads) th.join();
    log.Close();
    std::istringstream lines(readFile(path));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_EQ(line.rfind("thread ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 32), std::string(32, 'x')) << line;
    }
    EXPECT_EQ(count, 800);
}

} // namespace
} // namespace ostrel::halvorn
