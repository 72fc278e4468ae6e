#include "engine/engine_settings.h"

#include <atomic>
#include <mutex>

namespace drennic {
namespace {

// The settings that belong together (the COB-ID rule, the block configuration, the LSS timings)
// change under one lock, so that a reader never sees half of an update.
struct EngineSettingsState {
    std::atomic<uint32_t> sdoTimeoutMs{kDefaultSdoTimeoutMs};
    std::atomic<uint32_t> scanMassOperationDelayMs{0};
    std::atomic<uint32_t> blockSegmentWriteDelayMs{0};
    std::atomic<bool> sdoChannelsEnabled{false};
    std::atomic<uint32_t> sdoChannelsTimeoutMs{kDefaultSdoChannelsTimeoutMs};

    std::mutex mutex;
    SdoChannelRule rule;
    SdoBlockConfig blockConfig;
    LssTimings lss;
};

EngineSettingsState& settings() {
    static EngineSettingsState instance;
    return instance;
}

// Mode 2 spreads the 128 channels over the free COB-ID ranges; 32-bit arithmetic as on the device side.
uint32_t channelBase(uint8_t channel) noexcept {
    const uint32_t c = channel;
    return ((c * 16u - 1u) & 0x30u) | ((c * 64u - 1u) & 0x300u);
}

} // namespace

uint32_t SdoChannelRule::requestCobIdFor(uint8_t node) const noexcept {
    switch (mode) {
    case 1: return 0x600u + node;
    case 2: return channelBase(channel) + node + 0x23Fu;
    case 3: return requestCobId;
    default: return 0;
    }
}

uint32_t SdoChannelRule::responseCobIdFor(uint8_t node) const noexcept {
    switch (mode) {
    case 1: return 0x580u + node;
    case 2: return channelBase(channel) + node + 0x1BFu;
    case 3: return responseCobId;
    default: return 0;
    }
}

bool SdoChannelRule::reachesNode(uint8_t node) const noexcept {
    return (mode != 1 && mode != 2) || (node >= 1 && node <= 127);
}

bool SdoChannelRule::isAnySdoResponse(uint32_t id) const noexcept {
    switch (mode) {
    case 1: return id > 0x580u && id < 0x600u;
    case 2: return (id & 0x80u) != 0;
    case 3: return id == responseCobId;
    default: return false;
    }
}

uint32_t sdoTimeoutMs() noexcept { return settings().sdoTimeoutMs.load(); }
void setSdoTimeoutMs(uint32_t ms) noexcept { settings().sdoTimeoutMs.store(ms); }
uint32_t scanMassOperationDelayMs() noexcept { return settings().scanMassOperationDelayMs.load(); }
void setScanMassOperationDelayMs(uint32_t ms) noexcept { settings().scanMassOperationDelayMs.store(ms); }
uint32_t blockSegmentWriteDelayMs() noexcept { return settings().blockSegmentWriteDelayMs.load(); }
void setBlockSegmentWriteDelayMs(uint32_t ms) noexcept { settings().blockSegmentWriteDelayMs.store(ms); }
bool sdoChannelsEnabled() noexcept { return settings().sdoChannelsEnabled.load(); }
void setSdoChannelsEnabled(bool on) noexcept { settings().sdoChannelsEnabled.store(on); }
uint32_t sdoChannelsTimeoutMs() noexcept { return settings().sdoChannelsTimeoutMs.load(); }
void setSdoChannelsTimeoutMs(uint32_t ms) noexcept { settings().sdoChannelsTimeoutMs.store(ms); }

SdoBlockConfig sdoBlockConfig() noexcept {
    std::lock_guard lock(settings().mutex);
    return settings().blockConfig;
}

void setSdoBlockConfig(const SdoBlockConfig& config) noexcept {
    std::lock_guard lock(settings().mutex);
    settings().blockConfig = config;
}

LssTimings lssTimings() noexcept {
    std::lock_guard lock(settings().mutex);
    return settings().lss;
}

void setLssTimings(const LssTimings& timings) noexcept {
    std::lock_guard lock(settings().mutex);
    settings().lss = timings;
}

SdoChannelRule sdoChannelRule() noexcept {
    std::lock_guard lock(settings().mutex);
    return settings().rule;
}

void setSdoChannelRule(const SdoChannelRule& rule) noexcept {
    std::lock_guard lock(settings().mutex);
    settings().rule = rule;
}

uint32_t SDO_RequestCobId(uint8_t node) noexcept { return sdoChannelRule().requestCobIdFor(node); }

uint32_t SDO_ResponseCobId(uint8_t node) noexcept { return sdoChannelRule().responseCobIdFor(node); }

void resetEngineSettings() noexcept {
    EngineSettingsState& s = settings();
    s.sdoTimeoutMs.store(kDefaultSdoTimeoutMs);
    s.scanMassOperationDelayMs.store(0);
    s.blockSegmentWriteDelayMs.store(0);
    s.sdoChannelsEnabled.store(false);
    s.sdoChannelsTimeoutMs.store(kDefaultSdoChannelsTimeoutMs);
    std::lock_guard lock(s.mutex);
    s.rule = SdoChannelRule{};
    s.blockConfig = SdoBlockConfig{};
    s.lss = LssTimings{};
}

} // namespace drennic
