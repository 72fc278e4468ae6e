// The fuzzer's bytes read as a script, and properties that name the known fault they wait for.
#pragma once

#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace ostrel::fuzz {

// OSTREL_FUZZ_TRACE=1 makes a target tell what each step of an input did (2: in more detail), to see
// why an input breaks a property.
//
// A property broken by a fault whose mend is known to be under way names that fault. With
// OSTREL_FUZZ_AWAITING naming it (a comma-separated list), the broken property ends the input quietly
// instead of aborting, so that a fuzzing run looks past the known fault for new ones. The replay
// tests never set it.
struct AwaitedFinding {};

inline bool awaited(const char* finding) {
    const char* list = std::getenv("OSTREL_FUZZ_AWAITING");
    if (list == nullptr || finding == nullptr || *finding == 0) return false;
    const std::string all = std::string(",") + list + ",";
    return all.find(std::string(",") + finding + ",") != std::string::npos;
}

#define FUZZ_PROPERTY(finding, cond, ...)                                   \
    do {                                                                    \
        if (!(cond)) {                                                      \
            if (::ostrel::fuzz::awaited(finding)) throw ::ostrel::fuzz::AwaitedFinding{}; \
            FUZZ_CHECK(cond, __VA_ARGS__);                                  \
        }                                                                   \
    } while (0)

// The fuzzer's bytes as a script: every read takes the next byte, and an input that has run out reads 0
// (the script's quiet default) for ever.
class Script {
public:
    Script(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    [[nodiscard]] uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    [[nodiscard]] uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    [[nodiscard]] uint32_t u32() { return uint32_t{u16()} | (uint32_t{u16()} << 16); }
    // 0..n-1 (n at most 256).
    [[nodiscard]] uint32_t pick(uint32_t n) { return n <= 1 ? 0 : byte() % n; }
    [[nodiscard]] bool flag() { return (byte() & 1) != 0; }
    [[nodiscard]] bool exhausted() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace ostrel::fuzz
