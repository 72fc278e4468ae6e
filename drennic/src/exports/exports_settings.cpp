// The engine's timing and SDO-channel settings: plain stores that take effect at their next use.
#include "engine/engine_settings.h"

#include <drennic/drennic.h>

using namespace drennic;

extern "C" {

void CANopen_SetSDOTimeout(uint32_t ms) { setSdoTimeoutMs(ms); }

void CANopen_SetScanMassOperationDelay(uint32_t ms) { setScanMassOperationDelayMs(ms); }

void CANopen_SetBlockSegmentWriteDelay(uint32_t ms) { setBlockSegmentWriteDelayMs(ms); }

int32_t CANopen_SetSDOConfig(uint32_t enableBlock, uint8_t protocolSwitchThreshold, uint32_t crcSupported,
                             uint8_t blockSize) {
    // A sub-block holds 1 to 127 segments: any other size only gives transfers that abort.
    if (blockSize == 0 || blockSize > 127) {
        return DRN_BAD_PARAMETERS;
    }
    setSdoBlockConfig(SdoBlockConfig{enableBlock, protocolSwitchThreshold, crcSupported, blockSize});
    return DRN_OK;
}

void CANopen_SetLSSTimings(uint32_t responseTimeoutMs, uint32_t stepDelayMs, uint32_t switchDelayMs) {
    setLssTimings(LssTimings{responseTimeoutMs, stepDelayMs, switchDelayMs});
}

int32_t CANopen_SDOChannels(int32_t enable) {
    setSdoChannelsEnabled(enable == 1);
    return static_cast<int32_t>(static_cast<uint32_t>(enable) - 1u);  // wraps as the 32-bit original
}

void CANopen_SetSDOChannelsTimeout(uint32_t ms) { setSdoChannelsTimeoutMs(ms); }

void CANopen_SetSDOChannel(uint32_t mode, uint32_t requestCobId, uint32_t responseCobId, uint8_t channel) {
    setSdoChannelRule(SdoChannelRule{mode, requestCobId, responseCobId, channel});
}

} // extern "C"
