// Program start without a terminal, and the program's folder.
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <limits.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace ostrel::platform {
namespace {

// Owns the spawn attribute and file-action objects for the length of one start.
class SpawnSetup {
public:
    SpawnSetup() {
        attrOk_ = posix_spawnattr_init(&attr_) == 0;
        actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
    }
    ~SpawnSetup() {
        if (actionsOk_) posix_spawn_file_actions_destroy(&actions_);
        if (attrOk_) posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    [[nodiscard]] bool configure(bool keepOutput) {
        if (!attrOk_ || !actionsOk_) {
            return false;
        }
        // A caller that blocks or ignores signals (a server thread, a test runner ignoring
        // SIGPIPE) must not hand that to the child.
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigfillset(&defaults);
        sigdelset(&defaults, SIGKILL);
        sigdelset(&defaults, SIGSTOP);
        short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (posix_spawnattr_setflags(&attr_, flags) != 0 || posix_spawnattr_setsigmask(&attr_, &none) != 0
            || posix_spawnattr_setsigdefault(&attr_, &defaults) != 0) {
            return false;
        }
        if (!keepOutput) {
            if (posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0
                || posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) != 0
                || posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) != 0) {
                return false;
            }
        }
        // A long-lived server must not hold the caller's pipes and sockets open.
        return posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
    }

    [[nodiscard]] const posix_spawnattr_t* attr() const { return &attr_; }
    [[nodiscard]] const posix_spawn_file_actions_t* actions() const { return &actions_; }

private:
    posix_spawnattr_t attr_{};
    posix_spawn_file_actions_t actions_{};
    bool attrOk_ = false;
    bool actionsOk_ = false;
};

} // namespace

std::string executableDir() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return ".";
    }
    std::string path(buffer, static_cast<std::size_t>(length));
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    path.resize(slash);
    return path;
}

pid_t spawnDetached(const std::string& program, const std::vector<std::string>& args, bool keepOutput) {
    if (program.empty()) {
        return -1;
    }
    std::string path = program;
    if (path.find('/') == std::string::npos) {
        path = executableDir() + "/" + program;
    }
    if (access(path.c_str(), X_OK) != 0) {
        return -1;
    }

    std::vector<std::string> argvText;
    argvText.reserve(args.size() + 1);
    argvText.push_back(path);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(argvText.size() + 1);
    for (std::string& arg : argvText) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!setup.configure(keepOutput)) {
        return -1;
    }
    pid_t pid = -1;
    // glibc reports a failed exec as an error here (and reaps the failed child itself).
    if (posix_spawn(&pid, path.c_str(), setup.actions(), setup.attr(), argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

bool processAlive(pid_t pid) {
    if (pid <= 0) {
        return false;  // 0 and negatives would address process groups
    }
    if (kill(pid, 0) != 0 && errno != EPERM) {
        return false;
    }
    // A zombie still answers kill(); its state in /proc tells.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) {
        return false;
    }
    std::string line;
    std::getline(stat, line);
    // Format: pid (comm) state ...; comm may itself hold ')' so look for the last one.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) {
        return true;
    }
    const char state = line[close + 2];
    return state != 'Z' && state != 'X' && state != 'x';
}

} // namespace ostrel::platform
