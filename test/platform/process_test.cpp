#include "platform/clock.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ostrel::platform;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kReportWaitMs = 20000;  // generous: a loaded machine under a sanitizer is slow

// Kills and reaps a started child whatever the test's outcome.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : pid_(pid) {}
    ~ChildGuard() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
    // Reaps the child that the test ended itself; returns its wait status.
    int reap() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_;
};

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "ostrel-process-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct ProbeReport {
    std::map<std::string, std::string> fields;
    std::vector<std::string> args;
};

// Waits (bounded) for the probe's report and parses it.
std::optional<ProbeReport> readReport(const fs::path& file) {
    const uint32_t start = tickMs();
    while (!fs::exists(file)) {
        if (tickMs() - start > kReportWaitMs) {
            return std::nullopt;
        }
        sleepMs(5);
    }
    ProbeReport report;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "arg") {
            report.args.push_back(value);
        } else {
            report.fields[key] = value;
        }
    }
    return report;
}

std::string statIdentity(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return "0 0";
    }
    return std::to_string(static_cast<unsigned long>(st.st_dev)) + " "
           + std::to_string(static_cast<unsigned long>(st.st_ino));
}

std::string pathIdentity(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        return "?";
    }
    return std::to_string(static_cast<unsigned long>(st.st_dev)) + " "
           + std::to_string(static_cast<unsigned long>(st.st_ino));
}

} // namespace

TEST(Process, ExecutableDirIsTheFolderOfTheRunningProgram) {
    const std::string dir = executableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    EXPECT_TRUE(fs::equivalent(fs::path(dir), fs::canonical("/proc/self/exe").parent_path()));
    EXPECT_TRUE(fs::exists(fs::path(dir) / "spawn_probe")) << "the probe is built beside the tests";
}

TEST(Process, SpawnDetachedStartsProgramInItsOwnSessionWithoutOurStreams) {
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    const fs::path report = temp.path() / "report";
    // An open descriptor without close-on-exec, as a pipe to a parent often is; a high number
    // keeps it clear of whatever the child's own start-up opens.
    const int opened = open("/dev/zero", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int inheritable = fcntl(opened, F_DUPFD, 60);
    close(opened);
    ASSERT_GE(inheritable, 60);

    const pid_t pid = spawnDetached("spawn_probe", {report.string(), std::to_string(inheritable), "3000",
                                                    "two words", "", "\xC3\xA4"});
    close(inheritable);
    ASSERT_GT(pid, 0);
    ChildGuard guard(pid);

    auto parsed = readReport(report);
    ASSERT_TRUE(parsed.has_value()) << "the probe did not report";
    EXPECT_EQ(parsed->fields["pid"], std::to_string(pid));
    EXPECT_EQ(parsed->fields["sid"], std::to_string(pid)) << "the child leads a session of its own";
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_EQ(parsed->fields["stdout"], pathIdentity("/dev/null"));
    EXPECT_EQ(parsed->fields["probefd"], "closed");
    EXPECT_EQ(parsed->fields["argc"], "3");
    EXPECT_EQ(parsed->args, (std::vector<std::string>{"two words", "", "\xC3\xA4"}));
    EXPECT_TRUE(processAlive(pid));

    kill(pid, SIGKILL);
    // Killed but not yet reaped: a zombie is not alive.
    const uint32_t start = tickMs();
    while (processAlive(pid) && tickMs() - start < kReportWaitMs) {
        sleepMs(5);
    }
    EXPECT_FALSE(processAlive(pid));
    const int status = guard.reap();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(processAlive(pid));
}

TEST(Process, SpawnDetachedCanKeepTheCallersOutput) {
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    const fs::path report = temp.path() / "report";
    const pid_t pid = spawnDetached(executableDir() + "/spawn_probe", {report.string(), "1", "0"}, true);
    ASSERT_GT(pid, 0);
    ChildGuard guard(pid);
    auto parsed = readReport(report);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->fields["stdout"], statIdentity(STDOUT_FILENO));
    EXPECT_EQ(parsed->fields["argc"], "0");
    const int status = guard.reap();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Process, SpawnDetachedReportsAMissingOrUnusableProgram) {
    EXPECT_EQ(spawnDetached("no_such_program_here", {}), -1);
    EXPECT_EQ(spawnDetached("/nonexistent/folder/program", {"0"}), -1);
    EXPECT_EQ(spawnDetached("", {}), -1);

    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    const fs::path plain = temp.path() / "not_executable";
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    EXPECT_EQ(spawnDetached(plain.string(), {}), -1);
}

TEST(Process, ProcessAliveAnswersForOwnAndUnusablePids) {
    EXPECT_TRUE(processAlive(getpid()));
    EXPECT_FALSE(processAlive(0));
    EXPECT_FALSE(processAlive(-1));
}
