// A second (and third) process for the ipc tests. It reports on stdout, one line per step, and
// keeps its objects open until its stdin is closed, so a test can end it cleanly or kill it.
//
//   wait     <event> <auto|manual> <timeoutMs>   "ready", then "signalled" or "timeout"
//   either   <event> <event> <auto|manual> <ms>  "ready", then the index from waitForEither
//   set-hold <event> <auto|manual>                sets it, "ready", holds until stdin closes
//   is-set   <event> <auto|manual>                "1" or "0"
//   lock-hold <mutex>                             "locked", holds until stdin closes
//   shm-write <name> <size> <seed>                fills a pattern, "ready created=<0|1>", holds
//   shm-check <name> <size> <seed>                "match" or "mismatch created=<0|1>"
//   churn    <event> <iterations>                  opens and closes it again and again; "ok", or
//                                                  "split" when a held object had lost its name
//   hammer   <event>                              "ready", then sets, waits for, pulses and
//                                                  resets the manual event until it is killed
#include "platform/ipc.h"

#include <charconv>
#include <fstream>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

using namespace ostrel::platform;

namespace {

constexpr int kUsage = 64;
constexpr int kOpenFailed = 65;

uint32_t toU32(const char* text)
{
    uint32_t value = 0;
    const std::string_view view(text);
    (void)std::from_chars(view.data(), view.data() + view.size(), value);
    return value;
}

EventReset toReset(const char* text)
{
    return std::strcmp(text, "manual") == 0 ? EventReset::Manual : EventReset::Automatic;
}

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void holdUntilStdinCloses()
{
    char buffer[64];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

uint8_t patternByte(std::size_t offset, uint32_t seed)
{
    return static_cast<uint8_t>((offset * 131u + seed) ^ (offset >> 13));
}

// True when this process maps the object's file and the file still has its name.
bool mapsLiveFile(const std::string& fileName)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    bool found = false;
    while (std::getline(maps, line)) {
        const auto at = line.find("/dev/shm/" + fileName);
        if (at == std::string::npos)
            continue;
        if (line.find("(deleted)", at) != std::string::npos)
            return false;
        found = true;
    }
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return kUsage;
    const std::string_view command(argv[1]);

    if (command == "wait" && argc == 5) {
        auto event = NamedEvent::open(argv[2], toReset(argv[3]));
        if (!event)
            return kOpenFailed;
        say("ready");
        const bool signalled = event->wait(toU32(argv[4]));
        say(signalled ? "signalled" : "timeout");
        return signalled ? 0 : 1;
    }
    if (command == "either" && argc == 6) {
        auto first = NamedEvent::open(argv[2], toReset(argv[4]));
        auto second = NamedEvent::open(argv[3], toReset(argv[4]));
        if (!first || !second)
            return kOpenFailed;
        say("ready");
        say(std::to_string(waitForEither(*first, *second, toU32(argv[5]))));
        return 0;
    }
    if (command == "set-hold" && argc == 4) {
        auto event = NamedEvent::open(argv[2], toReset(argv[3]));
        if (!event)
            return kOpenFailed;
        event->set();
        say("ready");
        holdUntilStdinCloses();
        return 0;
    }
    if (command == "is-set" && argc == 4) {
        auto event = NamedEvent::open(argv[2], toReset(argv[3]));
        if (!event)
            return kOpenFailed;
        say(event->isSet() ? "1" : "0");
        return 0;
    }
    if (command == "lock-hold" && argc == 3) {
        auto mutex = NamedMutex::open(argv[2]);
        if (!mutex)
            return kOpenFailed;
        if (mutex->lock(10'000) != LockResult::Acquired)
            return 1;
        say("locked");
        holdUntilStdinCloses();
        mutex->unlock();
        return 0;
    }
    if ((command == "shm-write" || command == "shm-check") && argc == 5) {
        const std::size_t size = toU32(argv[3]);
        const uint32_t seed = toU32(argv[4]);
        auto memory = SharedMemory::open(argv[2], size);
        if (!memory)
            return kOpenFailed;
        auto* bytes = static_cast<uint8_t*>(memory->data());
        const std::string created = memory->created() ? "1" : "0";
        if (command == "shm-write") {
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = patternByte(i, seed);
            say("ready created=" + created);
            holdUntilStdinCloses();
            return 0;
        }
        for (std::size_t i = 0; i < size; ++i) {
            if (bytes[i] != patternByte(i, seed)) {
                say("mismatch created=" + created);
                return 1;
            }
        }
        say("match");
        return 0;
    }
    if (command == "churn" && argc == 4) {
        const std::string fileName = "ostrel." + ipcNamespace() + "." + argv[2];
        const uint32_t iterations = toU32(argv[3]);
        for (uint32_t i = 0; i < iterations; ++i) {
            auto event = NamedEvent::open(argv[2], EventReset::Manual);
            if (!event)
                return kOpenFailed;
            event->set();
            // Whoever else holds it now must share this very object, so its name must stay.
            if (!mapsLiveFile(fileName) || !event->isSet()) {
                say("split");
                return 1;
            }
        }
        say("ok");
        return 0;
    }
    if (command == "hammer" && argc == 3) {
        auto event = NamedEvent::open(argv[2], EventReset::Manual);
        if (!event)
            return kOpenFailed;
        say("ready");
        for (;;) {
            event->set();
            (void)event->wait(1);
            event->pulse();
            event->reset();
        }
    }
    return kUsage;
}
