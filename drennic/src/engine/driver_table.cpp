#include "engine/driver_table.h"

#include "engine/result_block.h"

namespace drennic {
namespace {

void status(uint32_t* status, ResultBlock* result) {
    if (status != nullptr) {
        *status = 0;
    }
    setResult(result, DRN_NOT_INITIALIZED);
}

void receive(uint32_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint32_t*, uint32_t*, uint32_t*,
             ResultBlock* result) {
    setResult(result, DRN_NO_FRAME);
}

int32_t initDriver() { return DRN_NOT_INITIALIZED; }

void closeDriver() {}

int32_t addNetworksToHardware(uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }

void getCurrentTime(CANTimeStamp* time) {
    if (time != nullptr) {
        *time = CANTimeStamp{};
    }
}

int32_t enumerateHardware(HardwareInfo*, int32_t) { return DRN_NOT_INITIALIZED; }

int32_t enumerateNetworks(NetworkInfo*, int32_t, uint32_t) { return DRN_NOT_INITIALIZED; }

int32_t addNetwork(const char16_t*, uint32_t, uint32_t) { return DRN_NOT_INITIALIZED; }

int32_t deleteNetwork(uint32_t) { return DRN_NOT_INITIALIZED; }

int32_t getBaudrate(uint32_t) { return DRN_NOT_INITIALIZED; }

void initialize(uint32_t, const char16_t*, uint32_t, uint32_t, ResultBlock* result) {
    setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
}

void switchNetworks(int32_t, uint32_t, ResultBlock* result) {
    setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
}

void close() {}

void reset() {}

int32_t errorFrames(int32_t) { return 0; }

void oneShot(int32_t) {}

void selfReceive(int32_t, ResultBlock* result) { setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized); }

int32_t isNetworkFunctional() { return 0; }

void transmit(uint32_t, uint8_t, const uint8_t*, int32_t, int32_t, int32_t, ResultBlock* result) {
    setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
}

void setTransmitCallback(TransmitCallback, void*) {}

} // namespace

DriverOps unavailableDriverOps() {
    return DRENNIC_DRIVER_OPS_OF_SCOPE;  // the members that are not slots stay null
}

} // namespace drennic
