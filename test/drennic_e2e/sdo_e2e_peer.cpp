// A client program of the SDO end-to-end tests: starts the library in server-client mode and carries
// out one command per line of standard input, answering each with one line. It can host the PC's
// SDO server or act as SDO client. Numbers are decimal or 0x-prefixed hexadecimal.
//
//   startup                      CANopenDLL_Startup(1, "")                 -> ok
//   init <net>                   Hardware_Initialize                       -> result <code> <message>
//   delay <ms> | timeout <ms>    post-transmit delay | SDO time-out        -> ok
//   block <on> <threshold>       CANopen_SetSDOConfig(on, threshold, 1, 127) -> ok
//   server <node> <deviceType> <vendor> <product> <revision> <serial>
//                                CANopenServer_Startup                     -> out <code>
//   serveroff                    CANopenServer_Shutdown                    -> ok
//   upload <node> <index> <sub> <capacity>
//                                blocking upload        -> upload <code> <size> <hex bytes or -> <message>
//   download <node> <index> <sub> <hex bytes or ->
//                                blocking download      -> download <code> <message>
//   rounds <node> <index> <sub> <count>
//                                expedited uploads in a row -> rounds <succeeded> <elapsed us>
//   nmt <node> <type>            CANopen_NMT                               -> result <code>
//   seen <id>                    frames received with that identifier      -> seen <n>
//   close | shutdown             Hardware_Close | CANopenDLL_Shutdown      -> ok
//   quit                         ends the program                          (no answer)
#include <drennic/drennic.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr auto kCompletionWait = std::chrono::seconds(30);

struct Seen {
    std::mutex lock;
    std::vector<uint32_t> ids;
};

Seen& seen() {
    static Seen instance;
    return instance;
}

void onReceive(const CANFrame* frame, int32_t /*answersRequest*/, void* /*user*/) {
    Seen& s = seen();
    std::lock_guard lock(s.lock);
    s.ids.push_back(frame->id);
}

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    ResultBlock result{};

    static void onComplete(ResultBlock* result, void* user) {
        auto* self = static_cast<Completion*>(user);
        {
            std::lock_guard lock(self->mutex);
            self->result = *result;
            self->completed = true;
        }
        self->done.notify_all();
    }
    // A request that does not complete in time is cancelled; code 1 when even that brings nothing.
    ResultBlock wait() {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, kCompletionWait, [&] { return completed; })) {
            lock.unlock();
            CANopen_Cancel();
            lock.lock();
            if (!done.wait_for(lock, kCompletionWait, [&] { return completed; })) {
                ResultBlock none{};
                none.code = 1;
                return none;
            }
        }
        return result;
    }
};

int64_t number(const std::string& text) {
    int64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        (void)std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
    } else {
        (void)std::from_chars(text.data(), text.data() + text.size(), value);
    }
    return value;
}

std::vector<uint8_t> bytesOf(const std::string& hex) {
    std::vector<uint8_t> out;
    if (hex == "-") return out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        uint8_t b = 0;
        (void)std::from_chars(hex.data() + i, hex.data() + i + 2, b, 16);
        out.push_back(b);
    }
    return out;
}

std::string hexOf(const uint8_t* data, std::size_t size) {
    if (size == 0) return "-";
    std::string out;
    char hex[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        out += hex;
    }
    return out;
}

std::string narrow(const drn_char16* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

void answer(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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
        auto u8 = [&](std::size_t i) { return static_cast<uint8_t>(arg(i)); };
        auto u32 = [&](std::size_t i) { return static_cast<uint32_t>(arg(i)); };

        if (cmd == "startup") {
            CANopenDLL_Startup(1, u"");
            Event_Receive(onReceive, nullptr);
            answer("ok");
        } else if (cmd == "init") {
            ResultBlock r{};
            Hardware_Initialize(u32(1), u"sdo e2e", 0, 0, &r);
            answer("result " + std::to_string(r.code) + " " + narrow(r.message));
        } else if (cmd == "delay") {
            CANopen_SetPostTransmitDelay(u32(1));
            answer("ok");
        } else if (cmd == "timeout") {
            CANopen_SetSDOTimeout(u32(1));
            answer("ok");
        } else if (cmd == "block") {
            CANopen_SetSDOConfig(u32(1), u8(2), 1, 127);
            answer("ok");
        } else if (cmd == "server") {
            int32_t out = -99;
            CANopenServer_Startup(u8(1), u32(2), u32(3), u32(4), u32(5), u32(6), &out);
            answer("out " + std::to_string(out));
        } else if (cmd == "serveroff") {
            CANopenServer_Shutdown();
            answer("ok");
        } else if (cmd == "upload") {
            const uint32_t capacity = u32(4);
            std::vector<uint8_t> buffer(capacity == 0 ? 1 : capacity);
            uint32_t size = capacity;
            Completion completion;
            int32_t out = -99;
            CANopen_SDOUpload(u8(1), static_cast<uint16_t>(arg(2)), u8(3), buffer.data(), &size, nullptr,
                              Completion::onComplete, &completion, &out);
            if (out != 0) {
                answer("upload " + std::to_string(out) + " 0 - posting refused");
                continue;
            }
            const ResultBlock r = completion.wait();
            answer("upload " + std::to_string(r.code) + " " + std::to_string(size) + " " +
                   hexOf(buffer.data(), std::min(size, capacity)) + " " + narrow(r.message));
        } else if (cmd == "download") {
            const std::vector<uint8_t> data = bytesOf(w.size() > 4 ? w[4] : "-");
            Completion completion;
            int32_t out = -99;
            CANopen_SDODownload(u8(1), static_cast<uint16_t>(arg(2)), u8(3), data.empty() ? nullptr : data.data(),
                                static_cast<uint32_t>(data.size()), nullptr, Completion::onComplete, &completion,
                                &out);
            if (out != 0) {
                answer("download " + std::to_string(out) + " posting refused");
                continue;
            }
            const ResultBlock r = completion.wait();
            answer("download " + std::to_string(r.code) + " " + narrow(r.message));
        } else if (cmd == "rounds") {
            const auto count = arg(4);
            int64_t succeeded = 0;
            const auto start = std::chrono::steady_clock::now();
            for (int64_t i = 0; i < count; ++i) {
                uint8_t buffer[4] = {};
                uint32_t size = sizeof buffer;
                Completion completion;
                int32_t out = -99;
                CANopen_SDOUpload(u8(1), static_cast<uint16_t>(arg(2)), u8(3), buffer, &size, nullptr,
                                  Completion::onComplete, &completion, &out);
                if (out == 0 && completion.wait().code == 0) ++succeeded;
            }
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
            answer("rounds " + std::to_string(succeeded) + " " + std::to_string(elapsed.count()));
        } else if (cmd == "nmt") {
            ResultBlock r{};
            CANopen_NMT(u8(1), u32(2), &r);
            answer("result " + std::to_string(r.code));
        } else if (cmd == "seen") {
            Seen& s = seen();
            std::lock_guard lock(s.lock);
            std::size_t n = 0;
            for (uint32_t id : s.ids) n += id == u32(1) ? 1 : 0;
            answer("seen " + std::to_string(n));
        } else if (cmd == "close") {
            Hardware_Close();
            answer("ok");
        } else if (cmd == "shutdown") {
            CANopenDLL_Shutdown();
            answer("ok");
        } else if (cmd == "quit") {
            break;
        } else {
            answer("unknown " + cmd);
        }
    }
    return 0;
}
