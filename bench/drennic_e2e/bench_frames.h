// The frames the end-to-end benchmark sends, shared by the sender and its receiving peers.
#pragma once

#include <cstdint>

namespace drennic::bench {

inline constexpr uint32_t kNetwork = 1;
inline constexpr uint32_t kLatencyId = 0x100;   // data: the send time, µs of CLOCK_MONOTONIC
inline constexpr uint32_t kSequenceId = 0x200;  // data: a big-endian sequence number

inline void writeSendTime(uint8_t* data, uint64_t us) {
    for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(us >> (8 * i));
}
inline uint64_t readSendTime(const uint8_t* data) {
    uint64_t us = 0;
    for (int i = 0; i < 8; ++i) us |= static_cast<uint64_t>(data[i]) << (8 * i);
    return us;
}
inline void writeSequence(uint8_t* data, uint32_t n) {
    data[0] = static_cast<uint8_t>(n >> 24);
    data[1] = static_cast<uint8_t>(n >> 16);
    data[2] = static_cast<uint8_t>(n >> 8);
    data[3] = static_cast<uint8_t>(n);
}
inline uint32_t readSequence(const uint8_t* data) {
    return (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
}

} // namespace drennic::bench
