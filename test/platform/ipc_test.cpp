// Named kernel objects: event, mutex and shared-memory behaviour within one process and across
// real processes (the ipc_helper program), their lifetime and their namespaces.
#include "platform/ipc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace ostrel::platform;
using namespace std::chrono_literals;

namespace {

// Generous: these bound failures, they do not measure speed.
constexpr int kStepMs = 20'000;
constexpr uint32_t kLongWaitMs = 30'000;
constexpr auto kQuietPeriod = 300ms;   // long enough for a wrongly released waiter to show
constexpr std::size_t kServerBlockBytes = 11'688'036;

uint8_t patternByte(std::size_t offset, uint32_t seed)
{
    return static_cast<uint8_t>((offset * 131u + seed) ^ (offset >> 13));
}

std::string helperPath()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "ipc_helper";
    std::string self(buffer, static_cast<std::size_t>(n));
    return self.substr(0, self.rfind('/')) + "/ipc_helper";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// True when the task sleeps in a futex wait (the only sleep of a waiting event or mutex).
bool sleepsInFutex(const std::string& taskDir)
{
    const std::string stat = readFile(taskDir + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S')
        return false;
    std::ifstream syscallFile(taskDir + "/syscall");
    long number = -1;
    if (!(syscallFile >> number))
        return true;   // not readable here: the sleeping state must do
    return number == SYS_futex || number == 449;
}

bool eventually(const std::function<bool()>& condition, int timeoutMs = kStepMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

// A helper process with pipes on stdin and stdout; killed and reaped when it goes out of scope.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
    {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

        const std::string program = helperPath();
        std::vector<std::string> argvStore { program };
        argvStore.insert(argvStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvStore)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e != nullptr; ++e)
            envStore.emplace_back(*e);
        envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp;
        for (auto& e : envStore)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Child()
    {
        kill();
        if (stdin_ >= 0)
            ::close(stdin_);
        if (stdout_ >= 0)
            ::close(stdout_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Next line of output, or "<none>" when nothing came within the bound.
    std::string readLine(int timeoutMs = kStepMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto newline = buffered_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffered_.substr(0, newline);
                buffered_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || stdout_ < 0)
                return "<none>";
            pollfd p { stdout_, POLLIN, 0 };
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[256];
            const ssize_t n = read(stdout_, chunk, sizeof chunk);
            if (n <= 0)
                return "<none>";
            buffered_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void closeStdin()
    {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }

    // Exit code once the process ended within the bound; empty while it still runs.
    std::optional<int> waitExit(int timeoutMs = kStepMs)
    {
        if (exitCode_)
            return exitCode_;
        if (pid_ <= 0)
            return std::nullopt;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitCode_;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(2ms);
        }
    }

    void kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        exitCode_ = 128 + SIGKILL;
    }

    [[nodiscard]] bool sleepsInWait(int timeoutMs = kStepMs) const
    {
        const std::string dir = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_);
        return eventually([&] { return sleepsInFutex(dir); }, timeoutMs);
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffered_;
    std::optional<int> exitCode_;
};

// A thread of this process running one blocking call; joined when it goes out of scope.
class Waiter {
public:
    explicit Waiter(std::function<int()> call)
        : thread_([this, call = std::move(call)] {
              tid_ = static_cast<pid_t>(syscall(SYS_gettid));
              result_ = call();
          })
    {
    }
    ~Waiter() { thread_.join(); }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    static constexpr int kRunning = -100;
    [[nodiscard]] int result() const { return result_.load(); }
    [[nodiscard]] bool done() const { return result_.load() != kRunning; }
    [[nodiscard]] bool sleepsInWait() const
    {
        return eventually([&] {
            const pid_t tid = tid_.load();
            return tid != 0 && !done() && sleepsInFutex("/proc/self/task/" + std::to_string(tid));
        });
    }

private:
    std::atomic<pid_t> tid_ { 0 };
    std::atomic<int> result_ { kRunning };
    std::thread thread_;
};

class IpcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        namespace_ = "ipct-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        useNamespace(namespace_);
    }
    void TearDown() override { removeStaleObjects(); }

    static void useNamespace(const std::string& ns) { setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1); }

    // Files of a namespace in /dev/shm (namespaces used here need no encoding).
    static std::vector<std::string> shmFiles(const std::string& ns)
    {
        std::vector<std::string> files;
        const std::string prefix = "ostrel." + ns + ".";
        if (DIR* dir = opendir("/dev/shm")) {
            while (const dirent* entry = readdir(dir)) {
                if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                    files.emplace_back(entry->d_name);
            }
            closedir(dir);
        }
        return files;
    }

    std::string namespace_;
};

// ---- names ------------------------------------------------------------------------------------

TEST_F(IpcTest, InvalidNamesGiveNoObject)
{
    const std::string tooLong(201, 'x');
    for (const std::string& name : { std::string(), std::string("a/b"), std::string("/lead"), tooLong,
                                    std::string("nul\0in", 6) }) {
        EXPECT_EQ(NamedEvent::open(name, EventReset::Manual), nullptr) << name;
        EXPECT_EQ(NamedMutex::open(name), nullptr) << name;
        EXPECT_EQ(SharedMemory::open(name, 64), nullptr) << name;
    }
    EXPECT_EQ(SharedMemory::open("zero", 0), nullptr);
    EXPECT_NE(NamedEvent::open("Global\\with back.slash", EventReset::Manual), nullptr);
    EXPECT_NE(NamedEvent::open(std::string(200, 'y'), EventReset::Manual), nullptr);
}

TEST_F(IpcTest, NamespaceComesFromEnvironmentElseUserId)
{
    EXPECT_EQ(ipcNamespace(), namespace_);
    unsetenv("OSTREL_IPC_NAMESPACE");
    std::string userNamespace = "u";
    userNamespace += std::to_string(geteuid());
    EXPECT_EQ(ipcNamespace(), userNamespace);
    useNamespace(namespace_);
}

TEST_F(IpcTest, OpeningANameAsAnotherKindFails)
{
    auto event = NamedEvent::open("taken", EventReset::Automatic);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(NamedMutex::open("taken"), nullptr);
    EXPECT_EQ(SharedMemory::open("taken", 16), nullptr);
}

TEST_F(IpcTest, SharedMemoryOfAnotherSizeThanTheLiveOneFails)
{
    auto memory = SharedMemory::open("block", 4096);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(SharedMemory::open("block", 8192), nullptr);
    auto again = SharedMemory::open("block", 4096);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(again->created());
}

TEST_F(IpcTest, ObjectsAreCreatedOwnerOnlyWhateverTheUmask)
{
    const mode_t saved = umask(0);
    auto memory = SharedMemory::open("mem", 100);
    auto mutex = NamedMutex::open("mtx");
    auto event = NamedEvent::open("evt", EventReset::Manual);
    umask(saved);
    ASSERT_TRUE(memory && mutex && event);
    const auto files = shmFiles(namespace_);
    ASSERT_EQ(files.size(), 3u);
    for (const auto& file : files) {
        struct stat info {};
        ASSERT_EQ(stat(("/dev/shm/" + file).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << file;
        EXPECT_EQ(info.st_uid, geteuid()) << file;
    }
}

TEST_F(IpcTest, NamespacesNeverSeeEachOthersObjects)
{
    auto eventA = NamedEvent::open("HALVORNRUNNING", EventReset::Manual);
    auto memoryA = SharedMemory::open("HALVORNMEMORY", 4096);
    ASSERT_TRUE(eventA && memoryA);
    eventA->set();
    static_cast<uint8_t*>(memoryA->data())[0] = 0x5A;

    const std::string other = namespace_ + "-other";
    useNamespace(other);
    Child probe({ "is-set", "HALVORNRUNNING", "manual" });
    EXPECT_EQ(probe.readLine(), "0");
    EXPECT_EQ(probe.waitExit(), 0);
    auto memoryB = SharedMemory::open("HALVORNMEMORY", 4096);
    ASSERT_NE(memoryB, nullptr);
    EXPECT_TRUE(memoryB->created());
    EXPECT_EQ(static_cast<uint8_t*>(memoryB->data())[0], 0);
    // A namespace that only extends the other's text by a dot must not meet it either.
    useNamespace(namespace_ + ".HALVORNMEMORY");
    auto memoryC = SharedMemory::open("x", 4096);
    ASSERT_NE(memoryC, nullptr);
    EXPECT_TRUE(memoryC->created());
    memoryB.reset();
    memoryC.reset();
    EXPECT_TRUE(shmFiles(other).empty());

    useNamespace(namespace_);
    Child probeA({ "is-set", "HALVORNRUNNING", "manual" });
    EXPECT_EQ(probeA.readLine(), "1");
}

// ---- lifetime ---------------------------------------------------------------------------------

TEST_F(IpcTest, LastCloseRemovesTheName)
{
    auto first = NamedEvent::open("evt", EventReset::Manual);
    auto second = NamedEvent::open("evt", EventReset::Manual);
    ASSERT_TRUE(first && second);
    first->set();
    EXPECT_TRUE(second->isSet());   // one object behind both handles
    first.reset();
    EXPECT_EQ(shmFiles(namespace_).size(), 1u);
    EXPECT_TRUE(second->isSet());
    second.reset();
    EXPECT_TRUE(shmFiles(namespace_).empty());
    auto fresh = NamedEvent::open("evt", EventReset::Manual);
    ASSERT_NE(fresh, nullptr);
    EXPECT_FALSE(fresh->isSet());
}

TEST_F(IpcTest, RunningEventOfAKilledProcessIsNotSetForTheNextOpener)
{
    Child server({ "set-hold", "HALVORNRUNNING", "manual" });
    ASSERT_EQ(server.readLine(), "ready");
    {
        Child probe({ "is-set", "HALVORNRUNNING", "manual" });
        ASSERT_EQ(probe.readLine(), "1");
    }
    server.kill();
    auto running = NamedEvent::open("HALVORNRUNNING", EventReset::Manual);
    ASSERT_NE(running, nullptr);
    EXPECT_FALSE(running->isSet());
    EXPECT_FALSE(running->wait(10));
}

TEST_F(IpcTest, EventStaysSetWhileAnotherLiveProcessHoldsIt)
{
    Child server({ "set-hold", "HALVORNRUNNING", "manual" });
    ASSERT_EQ(server.readLine(), "ready");
    auto running = NamedEvent::open("HALVORNRUNNING", EventReset::Manual);
    ASSERT_NE(running, nullptr);
    server.kill();
    EXPECT_TRUE(running->isSet());
}

TEST_F(IpcTest, SharedMemoryWrittenByOneProcessIsReadByAnother)
{
    Child writer({ "shm-write", "HALVORNMEMORY", std::to_string(kServerBlockBytes), "7" });
    ASSERT_EQ(writer.readLine(), "ready created=1");
    {
        auto memory = SharedMemory::open("HALVORNMEMORY", kServerBlockBytes);
        ASSERT_NE(memory, nullptr);
        EXPECT_FALSE(memory->created());
        ASSERT_EQ(memory->size(), kServerBlockBytes);
        const auto* bytes = static_cast<const uint8_t*>(memory->data());
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < kServerBlockBytes; ++i)
            mismatches += bytes[i] != patternByte(i, 7) ? 1 : 0;
        EXPECT_EQ(mismatches, 0u);

        Child reader({ "shm-check", "HALVORNMEMORY", std::to_string(kServerBlockBytes), "7" });
        EXPECT_EQ(reader.readLine(), "match");
        EXPECT_EQ(reader.waitExit(), 0);
    }
    writer.closeStdin();
    EXPECT_EQ(writer.waitExit(), 0);
    EXPECT_TRUE(shmFiles(namespace_).empty());
}

TEST_F(IpcTest, ObjectsOfAKilledLastHolderAreReinitialisedByTheNextOpener)
{
    Child writer({ "shm-write", "HALVORNMEMORY", "65536", "3" });
    ASSERT_EQ(writer.readLine(), "ready created=1");
    writer.kill();
    EXPECT_EQ(shmFiles(namespace_).size(), 1u);   // a crash cannot unlink; the next opener recovers

    auto memory = SharedMemory::open("HALVORNMEMORY", 65536);
    ASSERT_NE(memory, nullptr);
    EXPECT_TRUE(memory->created());
    const auto* bytes = static_cast<const uint8_t*>(memory->data());
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < 65536; ++i)
        nonZero += bytes[i] != 0 ? 1 : 0;
    EXPECT_EQ(nonZero, 0u);
    memory.reset();
    EXPECT_TRUE(shmFiles(namespace_).empty());
}

TEST_F(IpcTest, RemoveStaleObjectsDeletesOnlyObjectsWithoutLiveHolders)
{
    Child crashed({ "set-hold", "HALVORNMEMORYCMDEVENT", "auto" });
    ASSERT_EQ(crashed.readLine(), "ready");
    crashed.kill();
    auto kept = NamedEvent::open("kept", EventReset::Manual);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(shmFiles(namespace_).size(), 2u);
    removeStaleObjects();
    const auto files = shmFiles(namespace_);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], "ostrel." + namespace_ + ".kept");
}

TEST_F(IpcTest, ConcurrentOpensAndClosesAlwaysMeetTheNamedObject)
{
    std::vector<std::unique_ptr<Child>> churners;
    for (int i = 0; i < 4; ++i)
        churners.push_back(std::make_unique<Child>(std::vector<std::string> { "churn", "HALVORNRUNNING", "400" }));
    for (auto& churner : churners) {
        EXPECT_EQ(churner->readLine(60'000), "ok");
        EXPECT_EQ(churner->waitExit(), 0);
    }
    EXPECT_TRUE(shmFiles(namespace_).empty());
}

// ---- mutexes ----------------------------------------------------------------------------------

TEST_F(IpcTest, MutexExcludesOtherThreadsAndIsRecursiveForItsOwner)
{
    auto mutex = NamedMutex::open("HALVORNMEMORYCMDMUTEX");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(mutex->lock(0), LockResult::Acquired);
    ASSERT_EQ(mutex->lock(0), LockResult::Acquired);
    {
        Waiter other([&] { return static_cast<int>(mutex->lock(50)); });
        while (!other.done())
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(other.result(), static_cast<int>(LockResult::TimedOut));
    }
    mutex->unlock();
    mutex->unlock();
    Waiter other([&] {
        const LockResult r = mutex->lock(1000);
        mutex->unlock();
        return static_cast<int>(r);
    });
    EXPECT_TRUE(eventually([&] { return other.done(); }));
    EXPECT_EQ(other.result(), static_cast<int>(LockResult::Acquired));
}

TEST_F(IpcTest, MutexHeldByAnotherProcessTimesOutThenIsTakenAfterItsRelease)
{
    Child holder({ "lock-hold", "HALVORNMEMORYSENDMUTEX" });
    ASSERT_EQ(holder.readLine(), "locked");
    auto mutex = NamedMutex::open("HALVORNMEMORYSENDMUTEX");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(mutex->lock(100), LockResult::TimedOut);
    holder.closeStdin();
    EXPECT_EQ(holder.waitExit(), 0);
    EXPECT_EQ(mutex->lock(kLongWaitMs), LockResult::Acquired);
    mutex->unlock();
}

TEST_F(IpcTest, MutexOfAKilledHolderGoesToTheWaiterWhoLearnsTheOwnerDied)
{
    Child holder({ "lock-hold", "HALVORNMEMORYRECEIVEMUTEX" });
    ASSERT_EQ(holder.readLine(), "locked");
    auto mutex = NamedMutex::open("HALVORNMEMORYRECEIVEMUTEX");
    ASSERT_NE(mutex, nullptr);
    Waiter waiter([&] {
        const LockResult r = mutex->lock(kLongWaitMs);
        if (r == LockResult::Acquired || r == LockResult::OwnerDied)
            mutex->unlock();
        return static_cast<int>(r);
    });
    ASSERT_TRUE(waiter.sleepsInWait());
    holder.kill();
    EXPECT_TRUE(eventually([&] { return waiter.done(); }));
    EXPECT_EQ(waiter.result(), static_cast<int>(LockResult::OwnerDied));
    // Consistent again: the next acquisition is an ordinary one.
    EXPECT_EQ(mutex->lock(1000), LockResult::Acquired);
    mutex->unlock();
}

// ---- events within one process (local and named alike) -------------------------------------------

enum class Flavour { Local, Named };

void PrintTo(Flavour flavour, std::ostream* out)
{
    *out << (flavour == Flavour::Local ? "local" : "named");
}

class EventSemantics : public IpcTest, public ::testing::WithParamInterface<Flavour> {
protected:
    std::unique_ptr<NamedEvent> make(const std::string& name, EventReset reset, bool initiallySet = false)
    {
        return GetParam() == Flavour::Local ? NamedEvent::createLocal(reset, initiallySet)
                                            : NamedEvent::open(name, reset, initiallySet);
    }
};

// `count` threads, each in a long wait for the event (result 1 once released).
std::vector<std::unique_ptr<Waiter>> waitersOn(NamedEvent& event, int count)
{
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < count; ++i)
        waiters.push_back(std::make_unique<Waiter>([&event] { return event.wait(kLongWaitMs) ? 1 : 0; }));
    return waiters;
}

bool allSleepInWait(const std::vector<std::unique_ptr<Waiter>>& waiters)
{
    return std::all_of(waiters.begin(), waiters.end(), [](const auto& w) { return w->sleepsInWait(); });
}

int released(const std::vector<std::unique_ptr<Waiter>>& waiters)
{
    int count = 0;
    for (const auto& w : waiters)
        count += w->done() && w->result() == 1 ? 1 : 0;
    return count;
}

TEST_P(EventSemantics, AutomaticSetStaysUntilOneWaiterTakesIt)
{
    auto event = make("auto", EventReset::Automatic);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(event->wait(0));
    event->set();
    event->set();   // a second set of a signalled event adds nothing
    EXPECT_TRUE(event->isSet());
    EXPECT_TRUE(event->wait(0));
    EXPECT_FALSE(event->isSet());
    EXPECT_FALSE(event->wait(0));
}

TEST_P(EventSemantics, AutomaticSetReleasesExactlyOneOfTwoWaiters)
{
    auto event = make("auto", EventReset::Automatic);
    ASSERT_NE(event, nullptr);
    const auto waiters = waitersOn(*event, 2);
    ASSERT_TRUE(allSleepInWait(waiters));
    event->set();
    EXPECT_TRUE(eventually([&] { return released(waiters) == 1; }));
    std::this_thread::sleep_for(kQuietPeriod);
    EXPECT_EQ(released(waiters), 1);
    EXPECT_FALSE(event->isSet());
    event->set();
    EXPECT_TRUE(eventually([&] { return released(waiters) == 2; }));
}

TEST_P(EventSemantics, ManualSetStaysUntilReset)
{
    auto event = make("manual", EventReset::Manual, true);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(event->wait(0));
    EXPECT_TRUE(event->wait(0));
    event->reset();
    EXPECT_FALSE(event->wait(0));
    const auto waiters = waitersOn(*event, 3);
    ASSERT_TRUE(allSleepInWait(waiters));
    event->set();
    EXPECT_TRUE(eventually([&] { return released(waiters) == 3; }));
    EXPECT_TRUE(event->isSet());
}

TEST_P(EventSemantics, ManualPulseReleasesPresentWaitersAndLeavesItUnset)
{
    auto event = make("manual", EventReset::Manual);
    ASSERT_NE(event, nullptr);
    const auto waiters = waitersOn(*event, 2);
    ASSERT_TRUE(allSleepInWait(waiters));
    event->pulse();
    EXPECT_TRUE(eventually([&] { return released(waiters) == 2; }));
    EXPECT_FALSE(event->isSet());
    EXPECT_FALSE(event->wait(50));
}

TEST_P(EventSemantics, AutomaticPulseReleasesOneWaiter)
{
    auto event = make("auto", EventReset::Automatic);
    ASSERT_NE(event, nullptr);
    const auto waiters = waitersOn(*event, 2);
    ASSERT_TRUE(allSleepInWait(waiters));
    event->pulse();
    EXPECT_TRUE(eventually([&] { return released(waiters) == 1; }));
    std::this_thread::sleep_for(kQuietPeriod);
    EXPECT_EQ(released(waiters), 1);
    EXPECT_FALSE(event->isSet());
    event->pulse();
    EXPECT_TRUE(eventually([&] { return released(waiters) == 2; }));
    EXPECT_FALSE(event->wait(0));
}

TEST_P(EventSemantics, PulseWithoutWaitersIsLostAndClearsASet)
{
    for (const EventReset reset : { EventReset::Automatic, EventReset::Manual }) {
        auto event = make(reset == EventReset::Manual ? "m" : "a", reset);
        ASSERT_NE(event, nullptr);
        event->pulse();
        EXPECT_FALSE(event->wait(20));
        event->set();
        event->pulse();
        EXPECT_FALSE(event->isSet());
        EXPECT_FALSE(event->wait(0));
    }
}

TEST_P(EventSemantics, WaitTimesOutAfterItsBound)
{
    auto event = make("auto", EventReset::Automatic);
    ASSERT_NE(event, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event->wait(60));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 59ms);
}

// A pulse while nobody waits releases nobody; one since the waiter noted the events ends its wait at
// once (the time-out is far beyond any load), and one before it noted them does not.
TEST_P(EventSemantics, PulseSinceTheWaiterNotedTheEventsEndsItsWaitAtOnce)
{
    auto frames = make("frames", EventReset::Manual);
    auto answers = make("answers", EventReset::Manual);
    ASSERT_TRUE(frames && answers);
    answers->pulse();
    const uint32_t framesSeen = frames->changes();
    const uint32_t answersSeen = answers->changes();
    frames->pulse();
    EXPECT_EQ(waitForEitherSince(*frames, framesSeen, *answers, answersSeen, 60'000), 0);
    EXPECT_EQ(waitForEitherSince(*frames, frames->changes(), *answers, answersSeen, 20), -1);
}

TEST_P(EventSemantics, EitherPrefersTheFirstAndTakesOnlyIt)
{
    auto send = make("send", EventReset::Automatic);
    auto command = make("command", EventReset::Automatic);
    ASSERT_TRUE(send && command);
    send->set();
    command->set();
    EXPECT_EQ(waitForEither(*send, *command, 0), 0);
    EXPECT_FALSE(send->isSet());
    EXPECT_TRUE(command->isSet());
    EXPECT_EQ(waitForEither(*send, *command, 0), 1);
    EXPECT_FALSE(command->isSet());
    EXPECT_EQ(waitForEither(*send, *command, 20), -1);

    auto manual = make("manual", EventReset::Manual, true);
    ASSERT_NE(manual, nullptr);
    command->set();
    EXPECT_EQ(waitForEither(*manual, *command, 0), 0);
    EXPECT_TRUE(manual->isSet());
    EXPECT_TRUE(command->isSet());
}

TEST_P(EventSemantics, EitherWakesOnWhicheverIsSignalled)
{
    auto send = make("send", EventReset::Automatic);
    auto command = make("command", EventReset::Automatic);
    ASSERT_TRUE(send && command);
    for (const int which : { 1, 0, 1 }) {
        Waiter waiter([&] { return waitForEither(*send, *command, kLongWaitMs); });
        ASSERT_TRUE(waiter.sleepsInWait());
        (which == 0 ? send : command)->set();
        EXPECT_TRUE(eventually([&] { return waiter.done(); }));
        EXPECT_EQ(waiter.result(), which);
        EXPECT_FALSE(send->isSet());
        EXPECT_FALSE(command->isSet());
    }
}

TEST_P(EventSemantics, AutomaticSetIsNotLostBetweenAnEitherWaiterAndASingleWaiter)
{
    // The set of the second may wake the either-waiter, which takes the first instead; the
    // single waiter of the second must still be released.
    auto first = make("first", EventReset::Automatic);
    auto second = make("second", EventReset::Automatic);
    ASSERT_TRUE(first && second);
    Waiter either([&] { return waitForEither(*first, *second, kLongWaitMs); });
    Waiter single([&] { return second->wait(kLongWaitMs) ? 1 : 0; });
    ASSERT_TRUE(either.sleepsInWait());
    ASSERT_TRUE(single.sleepsInWait());
    first->set();
    second->set();
    EXPECT_TRUE(eventually([&] { return either.done() && single.done(); }));
    EXPECT_EQ(either.result(), 0);
    EXPECT_EQ(single.result(), 1);
    EXPECT_FALSE(first->isSet());
    EXPECT_FALSE(second->isSet());
}

INSTANTIATE_TEST_SUITE_P(Ipc, EventSemantics, ::testing::Values(Flavour::Local, Flavour::Named),
                         [](const auto& info) { return info.param == Flavour::Local ? "Local" : "Named"; });

// ---- events across processes ------------------------------------------------------------------

TEST_F(IpcTest, AutomaticSetReleasesExactlyOneOfTwoWaitingProcesses)
{
    auto event = NamedEvent::open("HALVORNMEMORYCMDEVENT", EventReset::Automatic);
    ASSERT_NE(event, nullptr);
    const std::string bound = std::to_string(kLongWaitMs);
    Child a({ "wait", "HALVORNMEMORYCMDEVENT", "auto", bound });
    Child b({ "wait", "HALVORNMEMORYCMDEVENT", "auto", bound });
    ASSERT_EQ(a.readLine(), "ready");
    ASSERT_EQ(b.readLine(), "ready");
    ASSERT_TRUE(a.sleepsInWait());
    ASSERT_TRUE(b.sleepsInWait());
    event->set();
    const auto ended = [&] { return (a.waitExit(0) ? 1 : 0) + (b.waitExit(0) ? 1 : 0); };
    EXPECT_TRUE(eventually([&] { return ended() == 1; }));
    std::this_thread::sleep_for(kQuietPeriod);
    EXPECT_EQ(ended(), 1);
    EXPECT_FALSE(event->isSet());
    event->set();
    EXPECT_EQ(a.waitExit(), 0);
    EXPECT_EQ(b.waitExit(), 0);
}

TEST_F(IpcTest, PulseReleasesWaitingProcessesAndALaterWaiterTimesOut)
{
    auto event = NamedEvent::open("HALVORNMEMORYRECEIVEEVENT", EventReset::Manual);
    ASSERT_NE(event, nullptr);
    const std::string bound = std::to_string(kLongWaitMs);
    Child a({ "wait", "HALVORNMEMORYRECEIVEEVENT", "manual", bound });
    Child b({ "wait", "HALVORNMEMORYRECEIVEEVENT", "manual", bound });
    ASSERT_EQ(a.readLine(), "ready");
    ASSERT_EQ(b.readLine(), "ready");
    ASSERT_TRUE(a.sleepsInWait());
    ASSERT_TRUE(b.sleepsInWait());
    event->pulse();
    EXPECT_EQ(a.readLine(), "signalled");
    EXPECT_EQ(b.readLine(), "signalled");
    EXPECT_FALSE(event->isSet());
    Child late({ "wait", "HALVORNMEMORYRECEIVEEVENT", "manual", "200" });
    EXPECT_EQ(late.readLine(), "ready");
    EXPECT_EQ(late.readLine(), "timeout");
    EXPECT_EQ(late.waitExit(), 1);
}

TEST_F(IpcTest, ManualSetReachesEveryProcessUntilReset)
{
    auto event = NamedEvent::open("HALVORNRUNNING", EventReset::Manual);
    ASSERT_NE(event, nullptr);
    event->set();
    for (int i = 0; i < 2; ++i) {
        Child reader({ "wait", "HALVORNRUNNING", "manual", "10" });
        EXPECT_EQ(reader.waitExit(), 0);
    }
    event->reset();
    Child reader({ "wait", "HALVORNRUNNING", "manual", "10" });
    EXPECT_EQ(reader.waitExit(), 1);
}

// A client stopped in a debugger at any point of its event calls (the readers wait for the pulsed
// events every millisecond) must not hold up the server's pulses or anyone's waits.
TEST_F(IpcTest, ProcessStoppedInsideEventCallsHoldsUpNoOtherProcess)
{
    auto event = NamedEvent::open("HALVORNMEMORYRECEIVEEVENT", EventReset::Manual);
    ASSERT_NE(event, nullptr);
    Child hammer({ "hammer", "HALVORNMEMORYRECEIVEEVENT" });
    ASSERT_EQ(hammer.readLine(), "ready");
    for (int round = 0; round < 10; ++round) {
        ::kill(hammer.pid(), SIGSTOP);
        ASSERT_EQ(waitpid(hammer.pid(), nullptr, WUNTRACED), hammer.pid());
        event->reset();
        // Shorter than the wait for a lock that a stopped holder keeps.
        Waiter waiter([&] { return event->wait(3000) ? 1 : 0; });
        ASSERT_TRUE(waiter.sleepsInWait());
        round % 2 == 0 ? event->pulse() : event->set();
        EXPECT_TRUE(eventually([&] { return waiter.done(); }));
        ASSERT_EQ(waiter.result(), 1) << "round " << round;
        ::kill(hammer.pid(), SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + round));
    }
}

class EitherAcrossProcesses : public IpcTest, public ::testing::WithParamInterface<bool> {
protected:
    // With false the helper runs without futex_waitv, on its polling fallback.
    std::vector<std::string> env() const
    {
        return GetParam() ? std::vector<std::string> {} : std::vector<std::string> { "OSTREL_IPC_FUTEX_WAITV=0" };
    }
};

TEST_P(EitherAcrossProcesses, ReportsTheFirstWhenBothAreSetAndLeavesTheSecondSet)
{
    auto send = NamedEvent::open("HALVORNMEMORYSENDEVENT", EventReset::Automatic);
    auto command = NamedEvent::open("HALVORNMEMORYCMDEVENT", EventReset::Automatic);
    ASSERT_TRUE(send && command);
    send->set();
    command->set();
    Child server({ "either", "HALVORNMEMORYSENDEVENT", "HALVORNMEMORYCMDEVENT", "auto", "1000" }, env());
    EXPECT_EQ(server.readLine(), "ready");
    EXPECT_EQ(server.readLine(), "0");
    EXPECT_FALSE(send->isSet());
    EXPECT_TRUE(command->isSet());
}

TEST_P(EitherAcrossProcesses, WakesOnTheSecondWhileBlocked)
{
    auto send = NamedEvent::open("HALVORNMEMORYSENDEVENT", EventReset::Automatic);
    auto command = NamedEvent::open("HALVORNMEMORYCMDEVENT", EventReset::Automatic);
    ASSERT_TRUE(send && command);
    Child server({ "either", "HALVORNMEMORYSENDEVENT", "HALVORNMEMORYCMDEVENT", "auto",
                   std::to_string(kLongWaitMs) },
                 env());
    ASSERT_EQ(server.readLine(), "ready");
    ASSERT_TRUE(server.sleepsInWait());
    command->set();
    EXPECT_EQ(server.readLine(), "1");
    EXPECT_FALSE(command->isSet());
    Child idle({ "either", "HALVORNMEMORYSENDEVENT", "HALVORNMEMORYCMDEVENT", "auto", "100" }, env());
    EXPECT_EQ(idle.readLine(), "ready");
    EXPECT_EQ(idle.readLine(), "-1");
}

INSTANTIATE_TEST_SUITE_P(Ipc, EitherAcrossProcesses, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FutexWaitv" : "PollingFallback"; });

} // namespace
