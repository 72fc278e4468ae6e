// The registry store: typed values, keys, case-insensitive names, and what several processes and
// crashes do to it.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using ostrel::platform::registryDir;
using ostrel::platform::RegistryFlushBatch;
using ostrel::platform::RegistryKey;
using ostrel::platform::RegistryRoot;
using ostrel::platform::RegistryType;

namespace {

constexpr auto kChildTimeout = std::chrono::seconds(200);

// Every test gets a store of its own; the variable is read at every call.
class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        const char* previous = std::getenv("OSTREL_REGISTRY_DIR");
        if (previous) previous_ = previous;
        hadPrevious_ = previous != nullptr;
        std::string pattern = (fs::temp_directory_path() / "ostrel-registry-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (hadPrevious_) {
            ::setenv("OSTREL_REGISTRY_DIR", previous_.c_str(), 1);
        } else {
            ::unsetenv("OSTREL_REGISTRY_DIR");
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // The file that holds a key's values (the store's own layout).
    fs::path valuesFile(const std::string& keyFolders) const {
        return fs::path(dir_) / "HKEY_CURRENT_USER" / keyFolders / ".values";
    }

    std::string dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// Children forked by a test; killed and reaped whatever happens to the test.
class Children {
public:
    ~Children() {
        for (pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    template <typename Body>
    pid_t spawn(Body&& body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int code = 99;
            try {
                code = body();
            } catch (...) {
            }
            ::_exit(code);
        }
        if (pid > 0) pids_.push_back(pid);
        return pid;
    }
    // Exit code of a child, -1 when it did not end in time or died of a signal.
    int wait(pid_t pid) {
        const auto deadline = std::chrono::steady_clock::now() + kChildTimeout;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                forget(pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void killAndReap(pid_t pid) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        forget(pid);
    }

private:
    void forget(pid_t pid) { std::erase(pids_, pid); }
    std::vector<pid_t> pids_;
};

TEST_F(Registry, TypedValuesRoundTripWithAwkwardContent) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Ostrel\\Types");
    ASSERT_NE(key, nullptr);
    const std::string awkward = "tab\there, line\r\nbreak, 100% \xC3\xA9t\xC3\xA9, nul:" + std::string(1, '\0') + "!";
    const std::vector<uint8_t> bytes{0x00, 0xFF, 0x0A, 0x25, 0x7F};
    EXPECT_TRUE(key->writeInteger("min", INT32_MIN));
    EXPECT_TRUE(key->writeInteger("max", INT32_MAX));
    EXPECT_TRUE(key->writeString("awkward", awkward));
    EXPECT_TRUE(key->writeString("", "default value"));
    EXPECT_TRUE(key->writeString("empty", ""));
    EXPECT_TRUE(key->writeBinary("bytes", bytes.data(), bytes.size()));
    EXPECT_TRUE(key->writeBinary("nothing", nullptr, 0));
    EXPECT_TRUE(key->writeString("odd\tname%\n", "x"));
    ASSERT_TRUE(key->flush()) << key->lastError();

    auto again = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Ostrel\\Types");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->readInteger("min"), INT32_MIN);
    EXPECT_EQ(again->readInteger("max"), INT32_MAX);
    EXPECT_EQ(again->readString("awkward"), awkward);
    EXPECT_EQ(again->readString(""), "default value");
    EXPECT_EQ(again->readString("empty"), "");
    EXPECT_EQ(again->readBinary("bytes"), bytes);
    EXPECT_EQ(again->readBinary("nothing"), std::vector<uint8_t>{});
    EXPECT_EQ(again->readString("odd\tname%\n"), "x");
    EXPECT_TRUE(again->lastError().empty()) << again->lastError();
}

TEST_F(Registry, ReadOfAnotherTypeOrAbsentValueGivesNothing) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Ostrel\\Types");
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->writeString("9", "0,125,Line"));
    EXPECT_FALSE(key->readInteger("9").has_value());
    EXPECT_FALSE(key->readBinary("9").has_value());
    EXPECT_FALSE(key->readString("10").has_value());
    EXPECT_FALSE(key->valueExists("10"));
    ASSERT_TRUE(key->writeInteger("9", 7));  // a value may change its type
    EXPECT_EQ(key->readInteger("9"), 7);
    EXPECT_FALSE(key->readString("9").has_value());
}

TEST_F(Registry, NamesMatchWithoutRegardToCaseAndKeepTheirFirstSpelling) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Ostrel\\Halvorn\\Networks");
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->writeString("First", "1"));
    ASSERT_TRUE(key->writeString("Second", "2"));
    ASSERT_TRUE(key->flush());

    auto other = RegistryKey::open(RegistryRoot::CurrentUser, "SOFTWARE\\ostrel\\HALVORN\\networks");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->readString("FIRST"), "1");
    ASSERT_TRUE(other->writeString("FIRST", "one"));  // same value, other spelling
    ASSERT_TRUE(other->flush());

    const auto values = key->values();
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "First");
    EXPECT_EQ(values[0].text, "one");
    EXPECT_EQ(values[1].name, "Second");

    // Creating the same key in another spelling opens the existing one.
    auto third = RegistryKey::create(RegistryRoot::CurrentUser, "software\\OSTREL\\halvorn\\NETWORKS");
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->readString("second"), "2");
    auto software = RegistryKey::open(RegistryRoot::CurrentUser, "software");
    ASSERT_NE(software, nullptr);
    EXPECT_EQ(software->subkeys(), std::vector<std::string>{"Ostrel"});
}

TEST_F(Registry, ValuesEnumerateInTheOrderFirstWrittenAndDeletesDropOne) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Order");
    ASSERT_NE(key, nullptr);
    for (const char* name : {"zeta", "alpha", "mid", "beta"}) ASSERT_TRUE(key->writeInteger(name, 1));
    ASSERT_TRUE(key->writeInteger("alpha", 2));
    EXPECT_TRUE(key->deleteValue("MID"));
    EXPECT_FALSE(key->deleteValue("mid"));
    std::vector<std::string> names;
    for (const auto& value : key->values()) names.push_back(value.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", "beta"}));
    EXPECT_EQ(key->readInteger("alpha"), 2);
}

TEST_F(Registry, AKeysWritesReachTheStoreTogetherAndOnlyWhenTheyChangeIt) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Batch");
    ASSERT_NE(key, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(key->writeInteger("v" + std::to_string(i), i));
    ASSERT_TRUE(key->deleteValue("v7"));
    auto other = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Batch");
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(other->values().empty());  // nothing stored before the flush
    EXPECT_EQ(key->values().size(), 99u);  // the key sees its own writes
    ASSERT_TRUE(key->flush());
    EXPECT_EQ(other->values().size(), 99u);
    EXPECT_FALSE(other->valueExists("v7"));

    // The same values again leave the file alone, down to its inode; closing the key flushes.
    struct stat before {};
    ASSERT_EQ(::stat(valuesFile("Software/Batch").c_str(), &before), 0);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(key->writeInteger("v" + std::to_string(i), i == 7 ? 70 : i));
    ASSERT_TRUE(key->deleteValue("v7"));
    key.reset();
    struct stat after {};
    ASSERT_EQ(::stat(valuesFile("Software/Batch").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(other->values().size(), 99u);
}

// Keys closed while a batch lives are stored when it ends, all of them, the same key twice with the
// later write on top; a key flushed explicitly is stored at once and says so.
TEST_F(Registry, KeysClosedDuringABatchAreStoredTogetherWhenItEnds) {
    auto reader = [](const std::string& path) { return RegistryKey::create(RegistryRoot::CurrentUser, path); };
    {
        RegistryFlushBatch batch;
        for (int i = 0; i < 20; ++i) {
            auto key = reader("Software\\Close\\k" + std::to_string(i));
            ASSERT_NE(key, nullptr);
            ASSERT_TRUE(key->writeInteger("width", i));
        }
        reader("Software\\Close\\k3")->writeInteger("width", 300);
        auto now = reader("Software\\Close\\now");
        ASSERT_TRUE(now->writeString("a", "b"));
        EXPECT_TRUE(now->flush());
        EXPECT_EQ(reader("Software\\Close\\now")->readString("a"), "b");
        EXPECT_FALSE(reader("Software\\Close\\k0")->readInteger("width").has_value());
        // store() hands its changes to the batch, whose end stores them.
        ASSERT_TRUE(now->writeString("a", "c") && now->store());
        EXPECT_EQ(reader("Software\\Close\\now")->readString("a"), "b");
    }
    EXPECT_EQ(reader("Software\\Close\\now")->readString("a"), "c");
    {
        // A key that cannot even be made while a batch runs fails the batch: its values were lost.
        RegistryFlushBatch batch;
        EXPECT_EQ(reader(std::string(300, 'x')), nullptr);
        std::string error;
        EXPECT_FALSE(batch.commit(&error));
        EXPECT_EQ(error, "registry key name too long");
    }
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(reader("Software\\Close\\k" + std::to_string(i))->readInteger("width"), i == 3 ? 300 : i) << i;
    // Outside a batch a closed key is stored at once again.
    reader("Software\\Close\\k5")->writeInteger("width", 55);
    EXPECT_EQ(reader("Software\\Close\\k5")->readInteger("width"), 55);
}

TEST_F(Registry, KeysAreCreatedListedAndRemovedWithTheirSubkeys) {
    EXPECT_EQ(RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Absent"), nullptr);
    for (const char* path : {"Software\\b", "Software\\A\\deep", "Software\\.hidden", "Software\\with/slash"}) {
        ASSERT_NE(RegistryKey::create(RegistryRoot::CurrentUser, path), nullptr) << path;
    }
    auto software = RegistryKey::open(RegistryRoot::CurrentUser, "\\Software\\");
    ASSERT_NE(software, nullptr);
    EXPECT_EQ(software->subkeys(), (std::vector<std::string>{".hidden", "A", "b", "with/slash"}));

    auto deep = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\A\\Deep");
    ASSERT_NE(deep, nullptr);
    ASSERT_TRUE(deep->writeInteger("x", 1) && deep->flush());
    EXPECT_TRUE(RegistryKey::remove(RegistryRoot::CurrentUser, "software\\a"));
    EXPECT_EQ(RegistryKey::open(RegistryRoot::CurrentUser, "Software\\A\\deep"), nullptr);
    EXPECT_FALSE(RegistryKey::remove(RegistryRoot::CurrentUser, "Software\\A"));
    EXPECT_EQ(software->subkeys(), (std::vector<std::string>{".hidden", "b", "with/slash"}));

    // A handle to a removed key fails instead of bringing the key back.
    EXPECT_TRUE(deep->writeInteger("x", 2));
    EXPECT_FALSE(deep->flush());
    EXPECT_FALSE(deep->lastError().empty());
    EXPECT_EQ(RegistryKey::open(RegistryRoot::CurrentUser, "Software\\A"), nullptr);

    std::string error;
    EXPECT_FALSE(RegistryKey::remove(RegistryRoot::CurrentUser, "", &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(Registry, TheTwoRootsAreSeparate) {
    auto user = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Ostrel");
    auto machine = RegistryKey::create(RegistryRoot::LocalMachine, "Software\\Ostrel");
    ASSERT_NE(user, nullptr);
    ASSERT_NE(machine, nullptr);
    ASSERT_TRUE(user->writeString("who", "user"));
    ASSERT_TRUE(machine->writeString("who", "machine"));
    EXPECT_EQ(user->readString("who"), "user");
    EXPECT_EQ(machine->readString("who"), "machine");
}

TEST_F(Registry, TheRootFolderFollowsTheEnvironmentAtEveryCall) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Moving");
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->writeInteger("here", 1));
    EXPECT_EQ(registryDir(), dir_);

    const std::string other = dir_ + "/elsewhere";
    ::setenv("OSTREL_REGISTRY_DIR", other.c_str(), 1);
    EXPECT_EQ(registryDir(), other);
    EXPECT_EQ(RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Moving"), nullptr);

    ::setenv("OSTREL_REGISTRY_DIR", dir_.c_str(), 1);
    EXPECT_EQ(key->readInteger("here"), 1);

    ::unsetenv("OSTREL_REGISTRY_DIR");
    ::setenv("XDG_CONFIG_HOME", "/some/config", 1);
    EXPECT_EQ(registryDir(), "/some/config/ostrel/registry");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("OSTREL_REGISTRY_DIR", dir_.c_str(), 1);
}

TEST_F(Registry, CorruptValuesFileIsReportedAndTheNextWriteStartsAfresh) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Broken");
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->writeString("name", "value") && key->flush());
    const fs::path file = valuesFile("Software/Broken");
    ASSERT_TRUE(fs::exists(file));

    const std::vector<std::string> damages{
        std::string("\x00\xFF garbage \x01", 12),
        "ostrel-registry 1\ns\tname\tvalue\n",              // trailer lost
        "ostrel-registry 1\ni\tname\tnot-a-number\nend 1\n",
        "ostrel-registry 1\ns\tname\tvalue\nend 2\n",       // count does not match
        "ostrel-registry 1\ns\tname\tvalue\ns\tNAME\tx\nend 2\n",
        "ostrel-registry 1\nb\tname\t0\nend 1\n",
        "ostrel-registry 1\ns\tname\tbad%4\nend 1\n",
        "",
    };
    for (const std::string& damage : damages) {
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << damage;
        }
        auto reader = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Broken");
        ASSERT_NE(reader, nullptr);
        EXPECT_FALSE(reader->readString("name").has_value());
        EXPECT_NE(reader->lastError().find("corrupt"), std::string::npos) << reader->lastError();
        EXPECT_TRUE(reader->values().empty());
        EXPECT_FALSE(reader->lastError().empty());
    }

    EXPECT_TRUE(key->writeString("fresh", "start") && key->flush());
    EXPECT_NE(key->lastError().find("kept"), std::string::npos) << key->lastError();
    EXPECT_TRUE(fs::exists(file.parent_path() / ".values.corrupt"));
    EXPECT_EQ(key->readString("fresh"), "start");
    EXPECT_TRUE(key->lastError().empty());
    EXPECT_EQ(key->values().size(), 1u);
}

TEST_F(Registry, TwoProcessesWritingOneKeyAtOnceLoseNothing) {
    constexpr int kPerProcess = 1000;
    ASSERT_NE(RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Ostrel\\Shared"), nullptr);
    Children children;
    std::vector<pid_t> pids;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = children.spawn([writer] {
            auto key = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Ostrel\\Shared");
            if (!key) return 2;
            for (int i = 0; i < kPerProcess; ++i) {
                std::string name = "w";
                name += std::to_string(writer);
                name += '_';
                name += std::to_string(i);
                const bool ok = (i % 2 == 0) ? key->writeString(name, name + "-data")
                                             : key->writeInteger(name, writer * 100000 + i);
                // Batches of a few values, so that the two writers' flushes interleave.
                if (!ok || (i % 7 == 6 && !key->flush())) return 3;
            }
            return 0;
        });
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) EXPECT_EQ(children.wait(pid), 0);

    auto key = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Ostrel\\Shared");
    ASSERT_NE(key, nullptr);
    const auto values = key->values();
    EXPECT_TRUE(key->lastError().empty()) << key->lastError();
    ASSERT_EQ(values.size(), 2u * kPerProcess);
    std::set<std::string> seen;
    for (const auto& value : values) {
        seen.insert(value.name);
        const auto underscore = value.name.find('_');
        ASSERT_NE(underscore, std::string::npos);
        const int writer = std::stoi(value.name.substr(1, underscore - 1));
        const int i = std::stoi(value.name.substr(underscore + 1));
        if (i % 2 == 0) {
            EXPECT_EQ(value.type, RegistryType::String);
            EXPECT_EQ(value.text, value.name + "-data");
        } else {
            EXPECT_EQ(value.type, RegistryType::Integer);
            EXPECT_EQ(value.integer, writer * 100000 + i);
        }
    }
    EXPECT_EQ(seen.size(), 2u * kPerProcess);
}

// The payload carries its own version number and a length derived from it, so a reader can tell a
// complete version from a mixture of two.
std::string payloadFor(int version) {
    return "v" + std::to_string(version) + ":" + std::string(static_cast<std::size_t>(100 + version % 5000), 'x') +
           ":" + std::to_string(version);
}

bool isCompletePayload(const std::string& text) {
    const auto colon = text.find(':');
    if (text.size() < 2 || text[0] != 'v' || colon == std::string::npos) return false;
    const int version = std::stoi(text.substr(1, colon - 1));
    return text == payloadFor(version);
}

TEST_F(Registry, KillDuringWritesLeavesACompleteVersion) {
    constexpr int kFixedValues = 40;
    constexpr int kRounds = 6;
    {
        auto key = RegistryKey::create(RegistryRoot::CurrentUser, "Software\\Crash");
        ASSERT_NE(key, nullptr);
        for (int i = 0; i < kFixedValues; ++i) ASSERT_TRUE(key->writeInteger("fixed" + std::to_string(i), i));
        ASSERT_TRUE(key->writeString("payload", payloadFor(0)));
    }
    std::mt19937 random(12345);
    for (int round = 0; round < kRounds; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        Children children;
        const pid_t pid = children.spawn([&] {
            ::close(ready[0]);
            auto key = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Crash");
            if (!key) return 2;
            for (int version = 1;; ++version) {
                if (!key->writeString("payload", payloadFor(version)) || !key->flush()) return 3;
                if (version == 1 && ::write(ready[1], "r", 1) != 1) return 4;
            }
        });
        ASSERT_GT(pid, 0);
        ::close(ready[1]);
        char signal = 0;
        ASSERT_EQ(::read(ready[0], &signal, 1), 1);  // the child is inside its write loop
        ::close(ready[0]);

        // Read while the child writes, then kill it at a random moment.
        auto reader = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Crash");
        ASSERT_NE(reader, nullptr);
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::microseconds(std::uniform_int_distribution<int>(500, 30000)(random));
        while (std::chrono::steady_clock::now() < until) {
            const auto text = reader->readString("payload");
            ASSERT_TRUE(text.has_value()) << reader->lastError();
            ASSERT_TRUE(isCompletePayload(*text));
        }
        children.killAndReap(pid);

        const auto values = reader->values();
        ASSERT_TRUE(reader->lastError().empty()) << reader->lastError();
        ASSERT_EQ(values.size(), kFixedValues + 1u);
        for (int i = 0; i < kFixedValues; ++i) EXPECT_EQ(values[static_cast<std::size_t>(i)].integer, i);
        EXPECT_TRUE(isCompletePayload(values.back().text));
    }
    // The killed writers left the store writable.
    auto key = RegistryKey::open(RegistryRoot::CurrentUser, "Software\\Crash");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->writeString("payload", payloadFor(7)) && key->flush()) << key->lastError();
    EXPECT_EQ(key->readString("payload"), payloadFor(7));
}

} // namespace
