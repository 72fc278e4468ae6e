// The engine's process-wide settings (timings, SDO block transfer, SDO channels) and the SDO COB-ID
// rule. Setters are plain stores from any thread; the engine reads them at their next use.
#pragma once

#include <cstdint>

namespace drennic {

inline constexpr uint32_t kDefaultSdoTimeoutMs = 300;
inline constexpr uint32_t kDefaultLssResponseTimeoutMs = 300;
inline constexpr uint32_t kDefaultLssStepDelayMs = 30;
inline constexpr uint32_t kDefaultLssSwitchDelayMs = 100;
inline constexpr uint32_t kDefaultSdoChannelsTimeoutMs = 2000;

// Which identifiers the SDO client uses to reach a node.
struct SdoChannelRule {
    uint32_t mode = 1;           // 1: 0x600/0x580 + node; 2: by channel; 3: the fixed COB-IDs below
    uint32_t requestCobId = 0;   // mode 3
    uint32_t responseCobId = 0;  // mode 3
    uint8_t channel = 16;        // mode 2

    // 0 for an unknown mode.
    [[nodiscard]] uint32_t requestCobIdFor(uint8_t node) const noexcept;
    [[nodiscard]] uint32_t responseCobIdFor(uint8_t node) const noexcept;
    // Rules 1 and 2 give only nodes 1..127 identifiers of their own: the others' would be another
    // node's or service's (node 0xA2 listening on 0x622, node 0xE0 sending on 0x6E0). Rule 3 names
    // its identifiers whatever the node.
    [[nodiscard]] bool reachesNode(uint8_t node) const noexcept;
    // Whether `id` may be an SDO response of any node under this rule (scan and mass write collect
    // answers from every node).
    [[nodiscard]] bool isAnySdoResponse(uint32_t id) const noexcept;

    friend bool operator==(const SdoChannelRule&, const SdoChannelRule&) = default;
};

struct SdoBlockConfig {
    uint32_t enableBlock = 0;
    uint8_t protocolSwitchThreshold = 28;
    uint32_t crcSupported = 1;
    uint8_t blockSize = 127;
};

struct LssTimings {
    uint32_t responseTimeoutMs = kDefaultLssResponseTimeoutMs;
    uint32_t stepDelayMs = kDefaultLssStepDelayMs;
    uint32_t switchDelayMs = kDefaultLssSwitchDelayMs;
};

[[nodiscard]] uint32_t sdoTimeoutMs() noexcept;
void setSdoTimeoutMs(uint32_t ms) noexcept;
[[nodiscard]] uint32_t scanMassOperationDelayMs() noexcept;
void setScanMassOperationDelayMs(uint32_t ms) noexcept;
[[nodiscard]] uint32_t blockSegmentWriteDelayMs() noexcept;
void setBlockSegmentWriteDelayMs(uint32_t ms) noexcept;
[[nodiscard]] SdoBlockConfig sdoBlockConfig() noexcept;
void setSdoBlockConfig(const SdoBlockConfig& config) noexcept;
[[nodiscard]] LssTimings lssTimings() noexcept;
void setLssTimings(const LssTimings& timings) noexcept;
// Dynamic SDO channel requests (CANopen_SDOChannels) and the longest wait for a channel.
[[nodiscard]] bool sdoChannelsEnabled() noexcept;
void setSdoChannelsEnabled(bool on) noexcept;
[[nodiscard]] uint32_t sdoChannelsTimeoutMs() noexcept;
void setSdoChannelsTimeoutMs(uint32_t ms) noexcept;

// The rule in force. Scan and mass write save it, switch to rule 1 and put it back when they end.
[[nodiscard]] SdoChannelRule sdoChannelRule() noexcept;
void setSdoChannelRule(const SdoChannelRule& rule) noexcept;
// The identifiers of a node under the rule in force.
[[nodiscard]] uint32_t SDO_RequestCobId(uint8_t node) noexcept;
[[nodiscard]] uint32_t SDO_ResponseCobId(uint8_t node) noexcept;

// Every setting back to its start value (tests; library reset).
void resetEngineSettings() noexcept;

} // namespace drennic
