// Test entries for the rings: each carries its producer and sequence number and a check over both,
// which tells an entry whose bytes were written into from one delivered twice. Shared by the ring
// tests and the rings' fuzz target.
#pragma once

#include "halvorn/server_block.h"

#include <cstdint>

namespace ostrel::halvorn::ring_marks {

[[nodiscard]] inline uint16_t markCheck(uint8_t producer, uint32_t seq) {
    return static_cast<uint16_t>(seq * 40503u + producer * 977u + 1);
}
inline void putMark(uint8_t* data, uint8_t producer, uint32_t seq) {
    data[0] = producer;
    putBe32(data + 1, seq);
    putBe16(data + 5, markCheck(producer, seq));
}
[[nodiscard]] inline ServerFrame frameOf(uint8_t producer, uint32_t seq) {
    ServerFrame f{};
    f.length = 8;
    putMark(f.data, producer, seq);
    return f;
}
[[nodiscard]] inline ServerCommand commandOf(uint8_t producer, uint32_t seq) {
    ServerCommand c{};
    c.code = ServerCmd_Reserved;
    c.length = 8;
    putMark(c.data, producer, seq);
    return c;
}

} // namespace ostrel::halvorn::ring_marks
