// A client program of the hardware end-to-end tests: starts the library in server-client mode and
// carries out one command per line of standard input, answering each with one line. Numbers are
// decimal, or hexadecimal with 0x.
//
//   startup [driver]             CANopenDLL_Startup(1, driver)          -> ok
//   init <net>                   Hardware_Initialize                    -> result <code> <message>
//   close | shutdown             Hardware_Close | CANopenDLL_Shutdown   -> ok
//   add <name> <kbit> <hw>       Hardware_AddNetwork                    -> value <n>
//   delete <net>                 Hardware_DeleteNetwork                 -> value <n>
//   delay <ms>                   CANopen_SetPostTransmitDelay           -> ok
//   send <id> [bytes...]         CAN_Transmit                           -> result <code>
//   burst <id> <count>           <count> frames, data = sequence number -> result <failures>
//   sequence <id> <count> <ms>   waits for <count> frames of <id>, then -> sequence <got> <inorder>
//   take <id> <ms>               the oldest frame of <id>, removed      -> frame <id> <len> <hex> <ms> <us> | none
//   count <id>                   frames of <id> held                    -> count <n>
//   clear                        forget the frames received             -> ok
//   upload <node> <index> <sub>  CANopen_SDOUpload, waited for          -> upload <code> <size> <hex>
//   time                         Hardware_GetCurrentTime                -> time <ms> <us>
//   reset                        Hardware_Reset                         -> ok
//   quit                         ends the program                       (no answer)
#include <drennic/drennic.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kUploadCapacity = 1024;
constexpr auto kUploadWait = std::chrono::seconds(30);

struct ReceiveLog {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<CANFrame> frames;
};

ReceiveLog& receiveLog() {
    static ReceiveLog log;
    return log;
}

void onReceive(const CANFrame* frame, int32_t /*answersRequest*/, void* /*user*/) {
    CANFrame copy{};
    copy.timeMs = frame->timeMs;
    copy.timeMsOverflow = frame->timeMsOverflow;
    copy.timeUs = frame->timeUs;
    copy.id = frame->id;
    copy.length = frame->length;
    copy.flags = frame->flags;
    for (int i = 0; i < frame->length && i < 8; ++i) copy.data[i] = frame->data[i];
    ReceiveLog& log = receiveLog();
    {
        std::lock_guard lock(log.lock);
        log.frames.push_back(copy);
    }
    log.arrived.notify_all();
}

struct Upload {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int32_t code = 0;
    uint32_t size = kUploadCapacity;
    uint8_t buffer[kUploadCapacity] = {};
};

void onUploadDone(ResultBlock* result, void* user) {
    auto* upload = static_cast<Upload*>(user);
    {
        std::lock_guard lock(upload->lock);
        upload->finished = true;
        upload->code = result != nullptr ? result->code : -999;
    }
    upload->done.notify_all();
}

int64_t number(const std::string& text) {
    int64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        (void)std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
    } else {
        (void)std::from_chars(text.data(), text.data() + text.size(), value);
    }
    return value;
}

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string narrow(const drn_char16* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

std::string hexBytes(const uint8_t* data, std::size_t count) {
    std::string out;
    char hex[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        out += hex;
    }
    return out;
}

void answer(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string takeFrame(uint32_t id, int64_t waitMs) {
    ReceiveLog& log = receiveLog();
    std::unique_lock lock(log.lock);
    auto find = [&] {
        for (auto it = log.frames.begin(); it != log.frames.end(); ++it) {
            if (it->id == id) return it;
        }
        return log.frames.end();
    };
    auto it = log.frames.end();
    log.arrived.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return (it = find()) != log.frames.end(); });
    if (it == log.frames.end()) return "none";
    const CANFrame f = *it;
    log.frames.erase(it);
    return "frame " + std::to_string(f.id) + " " + std::to_string(f.length) + " " + hexBytes(f.data, f.length) + " " +
           std::to_string(f.timeMs) + " " + std::to_string(f.timeUs);
}

// Waits for `count` frames of `id` and checks that they carry the sequence numbers 0.. in order.
std::string sequence(uint32_t id, std::size_t count, int64_t waitMs) {
    ReceiveLog& log = receiveLog();
    std::unique_lock lock(log.lock);
    auto countOf = [&] {
        std::size_t n = 0;
        for (const CANFrame& f : log.frames) n += f.id == id ? 1 : 0;
        return n;
    };
    log.arrived.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return countOf() >= count; });
    uint32_t got = 0;
    bool inOrder = true;
    for (const CANFrame& f : log.frames) {
        if (f.id != id) continue;
        const uint32_t seq = (uint32_t{f.data[0]} << 24) | (uint32_t{f.data[1]} << 16) | (uint32_t{f.data[2]} << 8) |
                             f.data[3];
        inOrder = inOrder && seq == got && f.length == 4;
        ++got;
    }
    return "sequence " + std::to_string(got) + " " + (inOrder ? "1" : "0");
}

std::string upload(uint8_t node, uint16_t index, uint8_t subIndex) {
    // A request that never completes still owns its record: such records stay until the end.
    static std::vector<std::unique_ptr<Upload>> abandoned;
    auto state = std::make_unique<Upload>();
    int32_t out = -1;
    CANopen_SDOUpload(node, index, subIndex, state->buffer, &state->size, nullptr, onUploadDone, state.get(), &out);
    std::unique_lock lock(state->lock);
    if (!state->done.wait_for(lock, kUploadWait, [&] { return state->finished; })) {
        lock.unlock();
        abandoned.push_back(std::move(state));
        return "upload timeout";
    }
    return "upload " + std::to_string(state->code) + " " + std::to_string(state->size) + " " +
           hexBytes(state->buffer, std::min<uint32_t>(state->size, kUploadCapacity));
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
            CANopenDLL_Startup(1, name.c_str());
            Event_Receive(onReceive, nullptr);
            answer("ok");
        } else if (cmd == "init") {
            ResultBlock r{};
            Hardware_Initialize(static_cast<uint32_t>(arg(1)), u"hardware e2e client", 0, 0, &r);
            answer("result " + std::to_string(r.code) + " " + narrow(r.message));
        } else if (cmd == "close") {
            Hardware_Close();
            answer("ok");
        } else if (cmd == "shutdown") {
            CANopenDLL_Shutdown();
            answer("ok");
        } else if (cmd == "add") {
            const std::u16string name = w.size() > 1 ? widen(w[1]) : std::u16string();
            answer("value " + std::to_string(Hardware_AddNetwork(name.c_str(), static_cast<uint32_t>(arg(2)),
                                                                 static_cast<uint32_t>(arg(3)))));
        } else if (cmd == "delete") {
            answer("value " + std::to_string(Hardware_DeleteNetwork(static_cast<uint32_t>(arg(1)))));
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
            uint32_t failures = 0;
            for (uint32_t seq = 0; seq < count; ++seq) {
                CANFrame f{};
                f.id = id;
                f.length = 4;
                f.data[0] = static_cast<uint8_t>(seq >> 24);
                f.data[1] = static_cast<uint8_t>(seq >> 16);
                f.data[2] = static_cast<uint8_t>(seq >> 8);
                f.data[3] = static_cast<uint8_t>(seq);
                ResultBlock r{};
                CAN_Transmit(&f, &r);
                failures += r.code != 0 ? 1 : 0;
            }
            answer("result " + std::to_string(failures));
        } else if (cmd == "sequence") {
            answer(sequence(static_cast<uint32_t>(arg(1)), static_cast<std::size_t>(arg(2)), arg(3)));
        } else if (cmd == "take") {
            answer(takeFrame(static_cast<uint32_t>(arg(1)), arg(2)));
        } else if (cmd == "count") {
            ReceiveLog& log = receiveLog();
            std::lock_guard lock(log.lock);
            std::size_t n = 0;
            for (const CANFrame& f : log.frames) n += f.id == static_cast<uint32_t>(arg(1)) ? 1 : 0;
            answer("count " + std::to_string(n));
        } else if (cmd == "clear") {
            ReceiveLog& log = receiveLog();
            std::lock_guard lock(log.lock);
            log.frames.clear();
            answer("ok");
        } else if (cmd == "upload") {
            answer(upload(static_cast<uint8_t>(arg(1)), static_cast<uint16_t>(arg(2)), static_cast<uint8_t>(arg(3))));
        } else if (cmd == "time") {
            CANTimeStamp t{};
            Hardware_GetCurrentTime(&t);
            answer("time " + std::to_string(t.timeMs) + " " + std::to_string(t.timeUs));
        } else if (cmd == "reset") {
            Hardware_Reset();
            answer("ok");
        } else if (cmd == "quit") {
            break;
        } else {
            answer("unknown " + cmd);
        }
    }
    return 0;
}
