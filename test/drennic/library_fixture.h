// Shared scene for the library tests: a library in its start state before and after each test.
#pragma once

#include <drennic/drennic.h>

#include "library_state.h"
#include "result_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace drennic::test {

class DrennicLibrary : public ::testing::Test {
protected:
    void SetUp() override { resetLibraryState(); }
    void TearDown() override { resetLibraryState(); }
};

inline std::u16string messageOf(const ResultBlock& result) { return std::u16string(resultMessage(result)); }

// A result block full of a recognisable pattern, to see what a call wrote into it.
inline ResultBlock patternedResult() {
    ResultBlock result;
    std::memset(&result, 0x5A, sizeof result);
    return result;
}

inline bool untouched(const ResultBlock& result) {
    const ResultBlock pattern = patternedResult();
    return std::memcmp(&result, &pattern, sizeof result) == 0;
}

inline CANFrame makeFrame(uint32_t id, std::initializer_list<uint8_t> bytes, uint8_t flags = 0) {
    CANFrame frame{};
    frame.id = id;
    frame.flags = flags;
    frame.length = static_cast<uint8_t>(bytes.size());
    std::size_t i = 0;
    for (uint8_t b : bytes) {
        frame.data[i++] = b;
    }
    return frame;
}

} // namespace drennic::test

namespace drennic {

inline void PrintTo(DriverKind kind, std::ostream* out) {
    static constexpr const char* kNames[] = {"None", "ServerClient", "Kobalapi2", "HiCanPci", "KobalPlsapi2", "WinCE"};
    *out << kNames[static_cast<std::size_t>(kind)];
}

} // namespace drennic
