// Scaffolding of the hardware end-to-end tests: the end-to-end helpers of the server client, an
// observer of the server's rings in the test process, and files the device plugin reads or writes.
#pragma once

#include "e2e_support.h"

#include <halvorn/server_block.h>
#include <halvorn/transport.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace hardware_e2e {

namespace hv = ostrel::halvorn;
using drennic::e2e::binDir;
using drennic::e2e::Client;
using drennic::e2e::eventually;
using drennic::e2e::liveServers;
using drennic::e2e::ScratchDir;

inline constexpr const char* kClientProgram = "hardware_e2e_client";
inline constexpr int kWaitMs = 30'000;

// The test process reading the rings as a client does (without registering): every frame the
// server hands to the clients, with its process id, and every response addressed to all.
class RingObserver {
public:
    struct Response {
        uint8_t code = 0;
        uint32_t processId = 0;
        std::vector<uint8_t> data;
    };

    // Connect once the server runs: its start-up writes the rings' initial state.
    [[nodiscard]] bool connect() {
        client_ = hv::RingClient::connect(static_cast<uint32_t>(::getpid()));
        return client_ != nullptr;
    }

    // Reads until `done` holds for what has been read, within `ms`.
    bool waitFrames(const std::function<bool(const std::vector<hv::ServerFrame>&)>& done, int ms = kWaitMs) {
        return eventually(ms, [&] {
            drain();
            return done(frames_);
        });
    }
    bool waitForFrame(uint32_t id, int ms = kWaitMs) {
        return waitFrames([id](const auto& frames) { return countOf(frames, id) > 0; }, ms);
    }
    bool waitResponses(const std::function<bool(const std::vector<Response>&)>& done, int ms = kWaitMs) {
        return eventually(ms, [&] {
            drain();
            return done(responses_);
        });
    }

    [[nodiscard]] const std::vector<hv::ServerFrame>& frames() const { return frames_; }
    [[nodiscard]] const std::vector<Response>& responses() const { return responses_; }
    [[nodiscard]] uint64_t lostFrames() const { return client_ ? client_->lostFrames() : 0; }

    static std::size_t countOf(const std::vector<hv::ServerFrame>& frames, uint32_t id) {
        std::size_t n = 0;
        for (const auto& f : frames) n += f.id == id ? 1 : 0;
        return n;
    }

private:
    void drain() {
        if (!client_) return;
        hv::ServerFrame frame{};
        for (int i = 0; i < 10'000 && client_->readReceived(frame).status == hv::RingReadStatus::Entry; ++i) {
            frames_.push_back(frame);
        }
        for (int i = 0; i < 10'000 && client_->readResponse(*response_).status == hv::RingReadStatus::Entry; ++i) {
            const auto length = static_cast<std::size_t>(std::max<int32_t>(response_->length, 0));
            responses_.push_back({response_->code, response_->processId,
                                  std::vector<uint8_t>(response_->data, response_->data + length)});
        }
    }

    std::unique_ptr<hv::RingClient> client_;
    std::unique_ptr<hv::ServerCommand> response_ = std::make_unique<hv::ServerCommand>();
    std::vector<hv::ServerFrame> frames_;
    std::vector<Response> responses_;
};

// Sets an environment variable for the life of the object (the clients, and the server that the
// first of them starts, inherit it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Replaces a file's content at once, so that a reader never sees half of it.
inline bool writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out) return false;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    return !ec;
}

// "<id> <timeUs>" lines of the device plugin's log, for one identifier.
inline std::vector<uint64_t> deviceStamps(const std::string& path, uint32_t id) {
    std::vector<uint64_t> stamps;
    std::ifstream in(path);
    uint64_t frameId = 0;
    uint64_t timeUs = 0;
    while (in >> frameId >> timeUs) {
        if (frameId == id) stamps.push_back(timeUs);
    }
    return stamps;
}

// One frame as the client program reports it ("frame <id> <len> <hex> <ms> <us>").
struct TakenFrame {
    uint32_t id = 0;
    uint32_t length = 0;
    std::string hex;
    uint32_t timeMs = 0;
    uint32_t timeUs = 0;
};

inline std::optional<TakenFrame> parseTaken(const std::string& answer) {
    const auto w = Client::words(answer);
    if (w.size() != 6 || w[0] != "frame") return std::nullopt;
    TakenFrame f;
    auto num = [](const std::string& text, uint32_t& out) {
        return std::from_chars(text.data(), text.data() + text.size(), out).ec == std::errc();
    };
    if (!num(w[1], f.id) || !num(w[2], f.length) || !num(w[4], f.timeMs) || !num(w[5], f.timeUs)) return std::nullopt;
    f.hex = w[3];
    return f;
}

// Microseconds of CLOCK_MONOTONIC, the clock of the simulated interface in every process.
inline uint64_t monotonicUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Whether a stamp of 32-bit milliseconds and microseconds lies between two readings of that clock.
inline bool stampWithin(uint32_t timeMs, uint32_t timeUs, uint64_t beforeUs, uint64_t afterUs) {
    if (timeUs >= 1000) return false;
    // The milliseconds wrap at 32 bits: take the high part from the earlier reading.
    const uint64_t beforeMs = beforeUs / 1000;
    const uint64_t ms = (beforeMs & ~uint64_t{0xFFFFFFFF}) + timeMs + (timeMs < static_cast<uint32_t>(beforeMs) ? uint64_t{1} << 32 : 0);
    const uint64_t stampUs = ms * 1000 + timeUs;
    return stampUs >= beforeUs && stampUs <= afterUs;
}

// Lower-case hex of bytes, as the client program prints data.
inline std::string hexOf(const std::vector<uint8_t>& bytes) {
    std::string out;
    static constexpr char kDigits[] = "0123456789abcdef";
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

// Closes every client (Hardware_Close, CANopenDLL_Shutdown, end of program); true when the
// server they shared ended after them.
inline bool closeClientsAndWaitForServerEnd(std::initializer_list<Client*> clients) {
    bool ok = true;
    for (Client* c : clients) {
        ok = c->ask("close") == "ok" && ok;
        ok = c->ask("shutdown") == "ok" && ok;
        ok = c->quit() && ok;
    }
    return eventually(kWaitMs, [] { return liveServers().empty(); }) && ok;
}

} // namespace hardware_e2e
