#include "halvorn/server_block.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>

namespace ostrel::halvorn {
namespace {

TEST(ServerBlock, LayoutMatchesTheProtocolTable) {
    EXPECT_EQ(sizeof(ServerBlock), 11'688'036u);
    EXPECT_EQ(offsetof(ServerBlock, currentNetwork), 0u);
    struct RingOffsets {
        std::size_t capacity, writeIndex, entries;
    };
    const std::array<RingOffsets, 4> actual = {{
        {offsetof(ServerBlock, commandRing.header.capacity), offsetof(ServerBlock, commandRing.header.writeIndex),
         offsetof(ServerBlock, commandRing.entries)},
        {offsetof(ServerBlock, responseRing.header.capacity), offsetof(ServerBlock, responseRing.header.writeIndex),
         offsetof(ServerBlock, responseRing.entries)},
        {offsetof(ServerBlock, sendRing.header.capacity), offsetof(ServerBlock, sendRing.header.writeIndex),
         offsetof(ServerBlock, sendRing.entries)},
        {offsetof(ServerBlock, receiveRing.header.capacity), offsetof(ServerBlock, receiveRing.header.writeIndex),
         offsetof(ServerBlock, receiveRing.entries)},
    }};
    const std::array<RingOffsets, 4> expected = {{
        {4, 8, 12},
        {5'812'012, 5'812'016, 5'812'020},
        {11'624'020, 11'624'024, 11'624'028},
        {11'656'028, 11'656'032, 11'656'036},
    }};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(actual[i].capacity, expected[i].capacity) << "ring " << i;
        EXPECT_EQ(actual[i].writeIndex, expected[i].writeIndex) << "ring " << i;
        EXPECT_EQ(actual[i].entries, expected[i].entries) << "ring " << i;
    }
    // The receive ring's last slot ends where the block ends.
    EXPECT_EQ(offsetof(ServerBlock, receiveRing.entries) + kRingCapacity * sizeof(ServerFrame), sizeof(ServerBlock));
}

TEST(ServerBlock, CommandEntryIs5812BytesWithDataAt8AndProcessIdAt5808) {
    EXPECT_EQ(sizeof(ServerCommand), 5812u);
    EXPECT_EQ(offsetof(ServerCommand, code), 0u);
    EXPECT_EQ(offsetof(ServerCommand, length), 4u);
    EXPECT_EQ(offsetof(ServerCommand, data), 8u);
    EXPECT_EQ(sizeof(ServerCommand::data), 5800u);
    EXPECT_EQ(offsetof(ServerCommand, processId), 5808u);
}

TEST(ServerBlock, FrameEntryIsACanFrameFollowedByTheProcessId) {
    EXPECT_EQ(sizeof(ServerFrame), 32u);
    EXPECT_EQ(offsetof(ServerFrame, timeMs), 0u);
    EXPECT_EQ(offsetof(ServerFrame, timeMsOverflow), 4u);
    EXPECT_EQ(offsetof(ServerFrame, timeUs), 8u);
    EXPECT_EQ(offsetof(ServerFrame, id), 12u);
    EXPECT_EQ(offsetof(ServerFrame, length), 16u);
    EXPECT_EQ(offsetof(ServerFrame, flags), 17u);
    EXPECT_EQ(offsetof(ServerFrame, data), 18u);
    EXPECT_EQ(offsetof(ServerFrame, processId), 28u);
}

TEST(ServerBlock, PayloadNumbersAreBigEndian) {
    uint8_t bytes[6] = {};
    putBe16(bytes, 0x1234);
    putBe32(bytes + 2, 0xA1B2C3D4u);
    const uint8_t expected[6] = {0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
    EXPECT_EQ(getBe16(bytes), 0x1234);
    EXPECT_EQ(getBe32(bytes + 2), 0xA1B2C3D4u);
    const uint8_t network[2] = {0x00, 0x20};  // handle 32, high byte first
    EXPECT_EQ(getBe16(network), 32);
}

} // namespace
} // namespace ostrel::halvorn
