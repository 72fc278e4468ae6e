#include "platform/library.h"
#include "platform/process.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ostrel::platform;

namespace {
constexpr uint32_t kProbeWaitMs = 20000;
using AnswerFn = int (*)();
using AddFn = int (*)(int, int);
} // namespace

TEST(LibraryName, DllNamesMapToLowerCaseSharedObjects) {
    EXPECT_EQ(mapLibraryName("FOO.DLL"), "libfoo.so");
    EXPECT_EQ(mapLibraryName("HiCanPci.dll"), "libhicanpci.so");
    EXPECT_EQ(mapLibraryName("Kobal.Dll"), "libkobal.so");
    EXPECT_EQ(mapLibraryName("C:\\Drivers\\KOBAL.DLL"), "libkobal.so");
}

TEST(LibraryName, OtherNamesPassUnchanged) {
    EXPECT_EQ(mapLibraryName("libfoo.so"), "libfoo.so");
    EXPECT_EQ(mapLibraryName("/opt/x/Foo.so"), "/opt/x/Foo.so");
    EXPECT_EQ(mapLibraryName("FOO.DLLX"), "FOO.DLLX");
}

TEST(Library, DllNameFindsTheCopyBesideTheProgram) {
    std::string error;
    for (const char* name : {"FOO.DLL", "foo.dll", "Foo.Dll"}) {
        auto library = Library::load(name, &error);
        ASSERT_NE(library, nullptr) << name << ": " << error;
        EXPECT_EQ(library->path(), executableDir() + "/libfoo.so");
        auto answer = library->function<AnswerFn>("foo_answer", &error);
        ASSERT_NE(answer, nullptr) << error;
        EXPECT_EQ(answer(), 42);
        auto add = library->function<AddFn>("foo_add");
        ASSERT_NE(add, nullptr);
        EXPECT_EQ(add(40, 2), 42);
    }
}

namespace {

struct ProbeResult {
    int exitCode = -1;
    std::string output;
};

// Runs library_probe with LD_LIBRARY_PATH naming the search-only folder: the loader reads it at
// start, so it takes a process of its own. Bounded; the child is killed and reaped in any case.
ProbeResult runLibraryProbe(const std::string& name, const std::string& entry) {
    ProbeResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return result;
    }
    const std::string probe = executableDir() + "/library_probe";
    const std::string searchPath = "LD_LIBRARY_PATH=" + executableDir() + "/misc-search";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) envText.emplace_back(*e);
        }
        envText.push_back(searchPath);
        std::vector<char*> env;
        for (auto& text : envText) env.push_back(text.data());
        env.push_back(nullptr);
        std::string arg1 = name;
        std::string arg2 = entry;
        std::string arg0 = probe;
        char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
        execve(probe.c_str(), argv, env.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return result;
    }
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    const uint32_t start = tickMs();
    int status = 0;
    bool ended = false;
    char buffer[512];
    while (tickMs() - start < kProbeWaitMs) {
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        sleepMs(2);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    if (ended && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

} // namespace

TEST(Library, DllNameFallsBackToTheLoaderSearchPath) {
    const ProbeResult result = runLibraryProbe("BARSEARCH.DLL", "foo_answer");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "7 libbarsearch.so\n");
}

TEST(Library, ProgramFolderComesBeforeTheLoaderSearchPath) {
    // misc-search/ holds a libfoo.so answering 7; the one beside the program answers 42.
    const ProbeResult result = runLibraryProbe("FOO.DLL", "foo_answer");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "42 " + executableDir() + "/libfoo.so\n");
}

TEST(Library, MissingLibraryOrEntryPointEndsTheProbeCleanly) {
    EXPECT_EQ(runLibraryProbe("NOSUCHDRIVER.DLL", "foo_answer").exitCode, 1);
    EXPECT_EQ(runLibraryProbe("BARSEARCH.DLL", "foo_missing").exitCode, 2);
}

TEST(Library, OtherNamesGoToTheLoaderUnchanged) {
    std::string error;
    auto library = Library::load(executableDir() + "/libfoo.so", &error);
    ASSERT_NE(library, nullptr) << error;
    auto answer = library->function<AnswerFn>("foo_answer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    // Without the mapping "FOO.so" is not "libfoo.so"; the loader's own text says why.
    EXPECT_EQ(Library::load("FOO.so", &error), nullptr);
    EXPECT_NE(error.find("FOO.so"), std::string::npos) << error;
    EXPECT_EQ(Library::load("x.so", &error), nullptr);
    EXPECT_NE(error.find("x.so"), std::string::npos) << error;
}

TEST(Library, MissingLibraryIsReportedWithText) {
    std::string error;
    EXPECT_EQ(Library::load("NOSUCHDRIVER.DLL", &error), nullptr);
    EXPECT_NE(error.find("libnosuchdriver.so"), std::string::npos) << error;
    EXPECT_EQ(Library::load("", &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Library::load(".DLL", &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Library::load("NOSUCHDRIVER.DLL"), nullptr);  // no error text wanted: still no crash
}

TEST(Library, MissingEntryPointIsReportedWithText) {
    auto library = Library::load("FOO.DLL");
    ASSERT_NE(library, nullptr);
    std::string error;
    EXPECT_EQ(library->symbol("foo_missing", &error), nullptr);
    EXPECT_NE(error.find("foo_missing"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(library->function<AnswerFn>("", &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(library->symbol(nullptr), nullptr);
}
