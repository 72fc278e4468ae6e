#include "services/canopen_api.h"

namespace ostrel::vessolt {

void DrennicApi::startup(int32_t mode, const char16_t* driverName) { CANopenDLL_Startup(mode, driverName); }

void DrennicApi::shutdown() { CANopenDLL_Shutdown(); }

int32_t DrennicApi::enumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    return Hardware_EnumerateHardware(hardware, maxCount);
}

int32_t DrennicApi::enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    return Hardware_EnumerateNetworks(networks, maxCount, hardwareHandle);
}

int32_t DrennicApi::addNetwork(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle) {
    return Hardware_AddNetwork(name, baudKbit, hardwareHandle);
}

int32_t DrennicApi::deleteNetwork(uint32_t networkHandle) { return Hardware_DeleteNetwork(networkHandle); }

int32_t DrennicApi::getBaudrate(uint32_t networkHandle) { return Hardware_GetBaudrate(networkHandle); }

void DrennicApi::initialize(uint32_t networkHandle, const char16_t* clientName, ResultBlock* result) {
    Hardware_Initialize(networkHandle, clientName, 0, 0, result);
}

void DrennicApi::switchNetworks(bool connect, uint32_t networkHandle, ResultBlock* result) {
    Hardware_SwitchNetworks(connect ? 1 : 0, networkHandle, result);
}

void DrennicApi::close() { Hardware_Close(); }

void DrennicApi::reset() { Hardware_Reset(); }

CANTimeStamp DrennicApi::getCurrentTime() {
    CANTimeStamp time{};
    Hardware_GetCurrentTime(&time);
    return time;
}

void DrennicApi::eventReceive(ReceiveCallback callback, void* user) { Event_Receive(callback, user); }

void DrennicApi::eventMajorError(MajorErrorCallback callback, void* user) { Event_MajorError(callback, user); }

void DrennicApi::canTransmit(const CANFrame& frame, ResultBlock* result) { CAN_Transmit(&frame, result); }

void DrennicApi::sdoUpload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t* size,
                           ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) {
    CANopen_SDOUpload(node, index, subIndex, buffer, size, progress, completion, user, out);
}

void DrennicApi::sdoDownload(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                             ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) {
    CANopen_SDODownload(node, index, subIndex, data, size, progress, completion, user, out);
}

void DrennicApi::nmt(uint8_t node, uint32_t type, ResultBlock* result) { CANopen_NMT(node, type, result); }

void DrennicApi::cancel() { CANopen_Cancel(); }

void DrennicApi::setSdoTimeout(uint32_t ms) { CANopen_SetSDOTimeout(ms); }

void DrennicApi::setScanMassOperationDelay(uint32_t ms) { CANopen_SetScanMassOperationDelay(ms); }

void DrennicApi::setBlockSegmentWriteDelay(uint32_t ms) { CANopen_SetBlockSegmentWriteDelay(ms); }

void DrennicApi::setPostTransmitDelay(uint32_t ms) { CANopen_SetPostTransmitDelay(ms); }

void DrennicApi::setSdoConfig(bool enableBlock, uint8_t protocolSwitchThreshold, bool crcSupported,
                              uint8_t blockSize) {
    CANopen_SetSDOConfig(enableBlock ? 1 : 0, protocolSwitchThreshold, crcSupported ? 1 : 0, blockSize);
}

} // namespace ostrel::vessolt
