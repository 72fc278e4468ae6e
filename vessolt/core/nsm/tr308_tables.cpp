// Background traffic of simulated nodes after CiA TR-308, one group of four tables per bit rate.
// The groups share rows, identifiers and data; times scale with the bit time (1000 / rate), except the
// 100 us by which each guarding request precedes its answers.
#include <array>
#include <cstring>

#include "nsm/nsm.h"

namespace ostrel::vessolt {

namespace {
constexpr std::array<uint32_t, 8> kRates = {1000, 800, 500, 250, 125, 50, 20, 10};
constexpr size_t kMaxRows = 44;
using Table = std::array<NSMTrafficRecord, kMaxRows + 1>;  // the last row ends the table
using Group = std::array<Table, 4>;

NSMTrafficRecord row(uint32_t timeUs, uint32_t identifier, uint8_t dlc, std::initializer_list<uint8_t> data) {
    NSMTrafficRecord r{};
    r.timeUs = timeUs;
    r.identifier = identifier;
    r.dlc = dlc;
    size_t i = 0;
    for (uint8_t b : data)
        r.data[i++] = b;
    return r;
}

uint32_t scaled(uint64_t timeAt1000Us, uint32_t rate) { return static_cast<uint32_t>(timeAt1000Us * 1000 / rate); }

Table errorControl(uint32_t rate) {
    Table t{};
    size_t n = 0;
    // Guarding rounds every 12.5 ms at 1000 kbit/s: the requests 100 us before the answers.
    struct Round {
        std::initializer_list<uint32_t> requests;
        std::initializer_list<uint32_t> answers;
    };
    const Round rounds[3] = {{{0x703, 0x708, 0x70C}, {0x703, 0x708, 0x70C, 0x70D, 0x720}},
                             {{0x75B, 0x723, 0x72B}, {0x75B, 0x723, 0x72B}},
                             {{0x739, 0x75A, 0x75C}, {0x739, 0x75A, 0x75C}}};
    for (uint32_t k = 1; k <= 3; ++k) {
        const uint32_t answer = scaled(12500ull * k, rate);
        for (uint32_t id : rounds[k - 1].requests)
            t[n++] = row(answer - 100, id | kNSMRemoteFrame, 0, {});
        for (uint32_t id : rounds[k - 1].answers)
            t[n++] = row(answer, id, 1, {0x7F});
    }
    const uint32_t last = scaled(50000, rate) - 100;
    t[n++] = row(last, 0x705 | kNSMRemoteFrame, 0, {});
    t[n++] = row(last, 0x70F, 1, {0x7F});
    return t;
}

Table sdoTraffic(uint32_t rate) {
    Table t{};
    t[0] = row(scaled(15000, rate), 0x620, 8, {0x40, 0x00, 0x10, 0, 0, 0, 0, 0});
    t[1] = row(scaled(16000, rate), 0x5A0, 8, {0x43, 0x00, 0x10, 0, 0, 0, 0, 0});
    return t;
}

Table pdoTraffic(uint32_t rate) {
    static constexpr uint32_t kIds[16] = {0x183, 0x283, 0x383, 0x188, 0x288, 0x388, 0x1A3, 0x2A3,
                                          0x3A3, 0x1AB, 0x2AB, 0x1B9, 0x2B9, 0x3B9, 0x1DA, 0x2DA};
    Table t{};
    for (size_t i = 0; i < kMaxRows; ++i) {
        NSMTrafficRecord& r = t[i];
        // 44 rows spread evenly up to 13088 us at 1000 kbit/s (about 297.5 us apart).
        r.timeUs = scaled((i + 1) * 13088ull / kMaxRows, rate);
        r.identifier = i + 1 == kMaxRows ? 0x20F : kIds[i % 16];
        r.dlc = static_cast<uint8_t>(i % 8 + 1);
        if (i + 1 == kMaxRows)
            std::memset(r.data, 0xFF, sizeof r.data);
        else
            for (size_t b = 0; b < r.dlc; ++b)
                r.data[b] = static_cast<uint8_t>(i + 1 + b);
    }
    t[kMaxRows - 1].dlc = 8;
    return t;
}

Table syncTraffic(uint32_t rate) {
    uint32_t time = 0;
    switch (rate) {
    case 1000: time = 10000; break;
    case 800: time = 6250; break;
    case 500: time = 10000; break;
    case 250: time = 20000; break;
    case 50: time = 100000; break;
    case 20: time = 250000; break;
    case 10: time = 500000; break;
    default: time = 40000; break;
    }
    Table t{};
    t[0] = row(time, 0x080, 0, {});
    t[1] = row(time, 0x483, 1, {0xFF});
    t[2] = row(time, 0x488, 2, {0xFE, 0xFD});
    t[3] = row(time, 0x48C, 3, {0xFC, 0xFB, 0xFA});
    t[4] = row(time, 0x4A3, 4, {0xF9, 0xF8, 0xF7, 0xF6});
    t[5] = row(time, 0x4AB, 4, {0xF5, 0xF4, 0xF3, 0xF2});
    t[6] = row(time, 0x4B9, 1, {0xF0});
    t[7] = row(time, 0x4DA, 1, {0xEA});
    return t;
}

const std::array<Group, kRates.size()>& groups() {
    static const std::array<Group, kRates.size()> all = [] {
        std::array<Group, kRates.size()> g{};
        for (size_t i = 0; i < kRates.size(); ++i)
            g[i] = {errorControl(kRates[i]), sdoTraffic(kRates[i]), pdoTraffic(kRates[i]), syncTraffic(kRates[i])};
        return g;
    }();
    return all;
}
}  // namespace

const NSMTrafficRecord* TR308Table(int kind, uint32_t bitRateKbit) {
    if (kind < 0 || kind > 3)
        return nullptr;
    size_t group = 4;  // 125 kbit/s
    for (size_t i = 0; i < kRates.size(); ++i)
        if (kRates[i] == bitRateKbit)
            group = i;
    return groups()[group][static_cast<size_t>(kind)].data();
}

}  // namespace ostrel::vessolt
