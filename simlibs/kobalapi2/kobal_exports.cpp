// The exports of both simulated Kobal libraries: each forwards to the library's model.
#include <kobalapi2/kobal_exports.h>

#include <type_traits>

using ostrel::simkobal::libraryModel;

KOBAL_EXPORT int32_t CAN_GetHwParam(uint32_t hardware, uint32_t param, void* buffer, uint32_t size) {
    return libraryModel().getHwParam(hardware, param, buffer, size);
}
KOBAL_EXPORT int32_t CAN_GetNetParam(uint32_t network, uint32_t param, void* buffer, uint32_t size) {
    return libraryModel().getNetParam(network, param, buffer, size);
}
KOBAL_EXPORT int32_t CAN_SetNetParam(uint32_t network, uint32_t param, uint32_t value) {
    return libraryModel().setNetParam(network, param, value);
}
KOBAL_EXPORT int32_t CAN_RegisterNet(uint32_t network, const char* name, uint32_t hardware, uint32_t bitRate) {
    return libraryModel().registerNet(network, name, hardware, bitRate);
}
KOBAL_EXPORT int32_t CAN_RemoveNet(uint32_t network) { return libraryModel().removeNet(network); }
KOBAL_EXPORT int32_t CAN_RegisterClient(const char* name, uint32_t windowHandle, uint8_t* client) {
    return libraryModel().registerClient(name, windowHandle, client);
}
KOBAL_EXPORT int32_t CAN_RemoveClient(uint8_t client) { return libraryModel().removeClient(client); }
KOBAL_EXPORT int32_t CAN_DisconnectFromNet(uint8_t client, uint32_t network) {
    return libraryModel().disconnectFromNet(client, network);
}
KOBAL_EXPORT int32_t CAN_RegisterMsg(uint8_t client, uint32_t network, const KobalMsgBound* low,
                                     const KobalMsgBound* high) {
    return libraryModel().registerMsg(client, network, low, high);
}
KOBAL_EXPORT int32_t CAN_SetClientParam(uint8_t client, uint32_t param, uintptr_t value) {
    return libraryModel().setClientParam(client, param, value);
}
KOBAL_EXPORT int32_t CAN_Write(uint8_t client, uint32_t network, const KobalMessage* message,
                               const KobalTimeStamp* time) {
    return libraryModel().write(client, network, message, time);
}
KOBAL_EXPORT int32_t CAN_Read(uint8_t client, KobalMessage* message, uint8_t* network, KobalTimeStamp* time) {
    return libraryModel().read(client, message, network, time);
}
KOBAL_EXPORT int32_t CAN_GetSystemTime(KobalTimeStamp* time) { return libraryModel().getSystemTime(time); }
KOBAL_EXPORT uint32_t CAN_Status(uint32_t hardware) { return libraryModel().status(hardware); }
KOBAL_EXPORT int32_t CAN_ResetHardware(uint32_t hardware) { return libraryModel().resetHardware(hardware); }

// The exports have exactly the types the drivers resolve them as.
static_assert(std::is_same_v<decltype(&CAN_GetHwParam), KobalGetHwParamFn>);
static_assert(std::is_same_v<decltype(&CAN_GetNetParam), KobalGetNetParamFn>);
static_assert(std::is_same_v<decltype(&CAN_SetNetParam), KobalSetNetParamFn>);
static_assert(std::is_same_v<decltype(&CAN_RegisterNet), KobalRegisterNetFn>);
static_assert(std::is_same_v<decltype(&CAN_RemoveNet), KobalRemoveNetFn>);
static_assert(std::is_same_v<decltype(&CAN_RegisterClient), KobalRegisterClientFn>);
static_assert(std::is_same_v<decltype(&CAN_RemoveClient), KobalRemoveClientFn>);
static_assert(std::is_same_v<decltype(&CAN_DisconnectFromNet), KobalDisconnectFromNetFn>);
static_assert(std::is_same_v<decltype(&CAN_RegisterMsg), KobalRegisterMsgFn>);
static_assert(std::is_same_v<decltype(&CAN_SetClientParam), KobalSetClientParamFn>);
static_assert(std::is_same_v<decltype(&CAN_Write), KobalWriteFn>);
static_assert(std::is_same_v<decltype(&CAN_Read), KobalReadFn>);
static_assert(std::is_same_v<decltype(&CAN_GetSystemTime), KobalGetSystemTimeFn>);
static_assert(std::is_same_v<decltype(&CAN_Status), KobalStatusFn>);
static_assert(std::is_same_v<decltype(&CAN_ResetHardware), KobalResetHardwareFn>);
