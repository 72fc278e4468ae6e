// A client program of the end-to-end tests: starts the library in server-client mode and carries
// out one command per line of standard input, answering each with one line on standard output.
//
//   startup [name]             CANopenDLL_Startup(1, name)              -> ok [initdriver <code>]
//   shutdown | close           CANopenDLL_Shutdown | Hardware_Close     -> ok
//   init <net>                 Hardware_Initialize                      -> result <code> <message>
//   switch <connect> <net>     Hardware_SwitchNetworks                  -> result <code> <message>
//   selfrx <on>                Hardware_SelfReceive                     -> result <code> <message>
//   delay <ms>                 CANopen_SetPostTransmitDelay             -> ok
//   send <id> [bytes...]       CAN_Transmit (decimal numbers)           -> result <code>
//   burst <id> <count> [n]     <count> frames, data = sequence number,  -> result <failures>
//                              a 1 ms pause after every n
//   stall <n> <ms>             the receive callback sleeps ms after every n-th frame -> ok
//   count                      frames received so far                   -> count <n>
//   wait <n> <ms>              until n frames are there, at most ms     -> count <n>
//   frames                     every frame received                     -> frames <n> <id>:<len>:<hex> ...
//   sequence <id> <count>      frames of <id> hold 0..count-1 in order  -> sequence <got> <inorder> <complete>
//   clear                      forget the frames received               -> ok
//   baud|delete <net>          Hardware_GetBaudrate|DeleteNetwork       -> value <n> <elapsed ms>
//   add <name> <kbit> <hw>     Hardware_AddNetwork                      -> value <n>
//   hardware <max>             Hardware_EnumerateHardware               -> hardware <n> <name>:<handle> ...
//   networks <hw> <max>        Hardware_EnumerateNetworks               -> networks <n> <name>:<handle>:<kbit> ...
//   time                       Hardware_GetCurrentTime                  -> time <ms> <overflow> <us>
//   pid                        this process                             -> pid <n>
//   majors <n> <ms>            until n status reports, at most ms       -> majors <n> <status> ...
//   upload <node> <timeout ms> CANopen_SDOUpload of [0x1000,0]          -> result <out>
//   completion <ms>            the upload's completion, at most ms      -> completion <code> | completion none
//   quit                       ends the program                         (no answer)
#include <drennic/drennic.h>

#ifdef DRENNIC_E2E_INITDRIVER_PROBE
#include "drivers.h"
#include "library_state.h"
#endif

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct Received {
    uint32_t id;
    uint8_t length;
    uint8_t flags;
    uint8_t data[8];
};

struct ReceiveLog {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<Received> frames;
    std::vector<uint32_t> statuses;        // MajorErrorCallback
    std::vector<uint32_t> completions;     // the upload's CompletionCallback (result codes)
};

ReceiveLog& receiveLog() {
    static ReceiveLog log;
    return log;
}

// The receive callback holds the engine thread stallMs ms after every stallEvery-th frame ("stall").
std::atomic<uint32_t> stallEvery{0};
std::atomic<uint32_t> stallMs{0};

void onReceive(const CANFrame* frame, int32_t /*answersRequest*/, void* /*user*/) {
    Received r{};
    r.id = frame->id;
    r.length = frame->length;
    r.flags = frame->flags;
    for (int i = 0; i < frame->length && i < 8; ++i) r.data[i] = frame->data[i];
    ReceiveLog& log = receiveLog();
    std::size_t received = 0;
    {
        std::lock_guard lock(log.lock);
        log.frames.push_back(r);
        received = log.frames.size();
    }
    log.arrived.notify_all();
    if (const uint32_t every = stallEvery.load(); every != 0 && received % every == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs.load()));
    }
}

void record(std::vector<uint32_t>& list, uint32_t value) {
    ReceiveLog& log = receiveLog();
    {
        std::lock_guard lock(log.lock);
        list.push_back(value);
    }
    log.arrived.notify_all();
}

void onMajorError(uint32_t status, void* /*user*/) { record(receiveLog().statuses, status); }

void onCompletion(ResultBlock* result, void* /*user*/) {
    record(receiveLog().completions, static_cast<uint32_t>(result->code));
}

#ifdef DRENNIC_E2E_INITDRIVER_PROBE
// Records what the server-client driver's InitDriver returned, which Startup does not report.
int32_t (*realInitDriver)() = nullptr;
int32_t initDriverResult = 1;
int32_t recordingInitDriver() {
    initDriverResult = realInitDriver();
    return initDriverResult;
}
void fillRecordingOps(drennic::DriverOps& ops) {
    drennic::fillServerClientOps(ops);
    realInitDriver = ops.InitDriver;
    ops.InitDriver = recordingInitDriver;
}
#endif

int64_t number(const std::string& text) {
    int64_t value = 0;
    (void)std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string narrow(const drn_char16* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

std::string resultLine(const ResultBlock& r) {
    return "result " + std::to_string(r.code) + " " + narrow(r.message);
}

void answer(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string sequenceCheck(uint32_t id, uint32_t count) {
    ReceiveLog& log = receiveLog();
    std::lock_guard lock(log.lock);
    uint32_t got = 0;
    bool inOrder = true;
    for (const Received& r : log.frames) {
        if (r.id != id) continue;
        const uint32_t seq = (uint32_t{r.data[0]} << 24) | (uint32_t{r.data[1]} << 16) | (uint32_t{r.data[2]} << 8) |
                             r.data[3];
        if (seq != got || r.length != 8) inOrder = false;
        ++got;
    }
    return "sequence " + std::to_string(got) + " " + (inOrder ? "1" : "0") + " " + (got == count ? "1" : "0");
}

} // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string& cmd = w[0];
        auto arg = [&](std::size_t i) { return i < w.size() ? number(w[i]) : 0; };

        if (cmd == "startup") {
            const std::u16string name = w.size() > 1 ? widen(w[1]) : std::u16string();
#ifdef DRENNIC_E2E_INITDRIVER_PROBE
            (void)drennic::replaceDriverFill(drennic::DriverKind::ServerClient, fillRecordingOps);
#endif
            CANopenDLL_Startup(1, name.c_str());
            Event_Receive(onReceive, nullptr);
            Event_MajorError(onMajorError, nullptr);
#ifdef DRENNIC_E2E_INITDRIVER_PROBE
            answer("ok initdriver " + std::to_string(initDriverResult));
#else
            answer("ok");
#endif
        } else if (cmd == "shutdown") {
            CANopenDLL_Shutdown();
            answer("ok");
        } else if (cmd == "close") {
            Hardware_Close();
            answer("ok");
        } else if (cmd == "init") {
            ResultBlock r{};
            Hardware_Initialize(static_cast<uint32_t>(arg(1)), u"e2e client", 0, 0, &r);
            answer(resultLine(r));
        } else if (cmd == "switch") {
            ResultBlock r{};
            r.code = 1;  // untouched when the driver ignores the call
            Hardware_SwitchNetworks(static_cast<int32_t>(arg(1)), static_cast<uint32_t>(arg(2)), &r);
            answer(resultLine(r));
        } else if (cmd == "selfrx") {
            ResultBlock r{};
            Hardware_SelfReceive(static_cast<int32_t>(arg(1)), &r);
            answer(resultLine(r));
        } else if (cmd == "stall") {
            stallEvery.store(static_cast<uint32_t>(arg(1)));
            stallMs.store(static_cast<uint32_t>(arg(2)));
            answer("ok");
        } else if (cmd == "delay") {
            CANopen_SetPostTransmitDelay(static_cast<uint32_t>(arg(1)));
            answer("ok");
        } else if (cmd == "send") {
            CANFrame f{};
            f.id = static_cast<uint32_t>(arg(1));
            for (std::size_t i = 2; i < w.size() && i < 10; ++i) f.data[f.length++] = static_cast<uint8_t>(arg(i));
            ResultBlock r{};
            CAN_Transmit(&f, &r);
            answer("result " + std::to_string(r.code));
        } else if (cmd == "burst") {
            const auto id = static_cast<uint32_t>(arg(1));
            const auto count = static_cast<uint32_t>(arg(2));
            const auto pauseEvery = static_cast<uint32_t>(arg(3));
            uint32_t failures = 0;
            for (uint32_t seq = 0; seq < count; ++seq) {
                if (pauseEvery != 0 && seq != 0 && seq % pauseEvery == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                CANFrame f{};
                f.id = id;
                f.length = 8;
                f.data[0] = static_cast<uint8_t>(seq >> 24);
                f.data[1] = static_cast<uint8_t>(seq >> 16);
                f.data[2] = static_cast<uint8_t>(seq >> 8);
                f.data[3] = static_cast<uint8_t>(seq);
                f.data[4] = 0xA5;
                ResultBlock r{};
                CAN_Transmit(&f, &r);
                if (r.code != 0) ++failures;
            }
            answer("result " + std::to_string(failures));
        } else if (cmd == "count" || cmd == "wait") {
            ReceiveLog& log = receiveLog();
            std::unique_lock lock(log.lock);
            if (cmd == "wait") {
                const auto target = static_cast<std::size_t>(arg(1));
                log.arrived.wait_for(lock, std::chrono::milliseconds(arg(2)),
                                     [&] { return log.frames.size() >= target; });
            }
            answer("count " + std::to_string(log.frames.size()));
        } else if (cmd == "frames") {
            ReceiveLog& log = receiveLog();
            std::lock_guard lock(log.lock);
            std::string out = "frames " + std::to_string(log.frames.size());
            for (const Received& r : log.frames) {
                out += " " + std::to_string(r.id) + ":" + std::to_string(r.length) + ":";
                char hex[3];
                for (int i = 0; i < r.length; ++i) {
                    std::snprintf(hex, sizeof hex, "%02x", r.data[i]);
                    out += hex;
                }
            }
            answer(out);
        } else if (cmd == "sequence") {
            answer(sequenceCheck(static_cast<uint32_t>(arg(1)), static_cast<uint32_t>(arg(2))));
        } else if (cmd == "clear") {
            ReceiveLog& log = receiveLog();
            std::lock_guard lock(log.lock);
            log.frames.clear();
            answer("ok");
        } else if (cmd == "baud" || cmd == "delete") {
            const auto start = std::chrono::steady_clock::now();
            const int32_t value = cmd == "baud" ? Hardware_GetBaudrate(static_cast<uint32_t>(arg(1)))
                                                : Hardware_DeleteNetwork(static_cast<uint32_t>(arg(1)));
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
            answer("value " + std::to_string(value) + " " + std::to_string(elapsed));
        } else if (cmd == "add") {
            const std::u16string name = w.size() > 1 ? widen(w[1]) : std::u16string();
            answer("value " + std::to_string(Hardware_AddNetwork(name.c_str(), static_cast<uint32_t>(arg(2)),
                                                                 static_cast<uint32_t>(arg(3)))));
        } else if (cmd == "hardware") {
            std::vector<HardwareInfo> list(static_cast<std::size_t>(std::max<int64_t>(arg(1), 0)) + 1);
            const int32_t n = Hardware_EnumerateHardware(list.data(), static_cast<int32_t>(arg(1)));
            std::string out = "hardware " + std::to_string(n);
            for (int32_t i = 0; i < n; ++i) {
                list[i].name[DRN_HARDWARE_NAME_CHARS - 1] = 0;
                out += " " + narrow(list[i].name) + ":" + std::to_string(list[i].hardwareHandle);
            }
            answer(out);
        } else if (cmd == "networks") {
            std::vector<NetworkInfo> list(static_cast<std::size_t>(std::max<int64_t>(arg(2), 0)) + 1);
            const int32_t n = Hardware_EnumerateNetworks(list.data(), static_cast<int32_t>(arg(2)),
                                                         static_cast<uint32_t>(arg(1)));
            std::string out = "networks " + std::to_string(n);
            for (int32_t i = 0; i < n; ++i) {
                list[i].name[DRN_NETWORK_NAME_CHARS - 1] = 0;
                out += " " + narrow(list[i].name) + ":" + std::to_string(list[i].networkHandle) + ":" +
                       std::to_string(list[i].baudKbit);
            }
            answer(out);
        } else if (cmd == "time") {
            CANTimeStamp t{1, 1, 1};
            Hardware_GetCurrentTime(&t);
            answer("time " + std::to_string(t.timeMs) + " " + std::to_string(t.timeMsOverflow) + " " +
                   std::to_string(t.timeUs));
        } else if (cmd == "pid") {
            answer("pid " + std::to_string(::getpid()));
        } else if (cmd == "majors" || cmd == "completion") {
            ReceiveLog& log = receiveLog();
            std::vector<uint32_t>& list = cmd == "majors" ? log.statuses : log.completions;
            const auto target = cmd == "majors" ? static_cast<std::size_t>(arg(1)) : 1;
            std::unique_lock lock(log.lock);
            log.arrived.wait_for(lock, std::chrono::milliseconds(arg(cmd == "majors" ? 2 : 1)),
                                 [&] { return list.size() >= target; });
            if (cmd == "completion") {
                answer(list.empty() ? "completion none" : "completion " + std::to_string(static_cast<int32_t>(list[0])));
                continue;
            }
            std::string out = "majors " + std::to_string(list.size());
            for (uint32_t status : list) out += " " + std::to_string(status);
            answer(out);
        } else if (cmd == "upload") {
            static uint8_t buffer[64];
            static uint32_t size = sizeof buffer;
            int32_t out = 1;
            CANopen_SetSDOTimeout(static_cast<uint32_t>(arg(2)));
            CANopen_SDOUpload(static_cast<uint8_t>(arg(1)), 0x1000, 0, buffer, &size, nullptr, onCompletion, nullptr, &out);
            answer("result " + std::to_string(out));
        } else if (cmd == "quit") {
            break;
        } else {
            answer("unknown " + cmd);
        }
    }
    return 0;
}
