// The simulated Kobalapi2 library: names as UTF-8, bit rates as bit-timing register values.
#include <kobalapi2/kobal_exports.h>

#include <type_traits>

using ostrel::simkobal::libraryModel;

ostrel::simkobal::KobalModel& ostrel::simkobal::libraryModel() {
    static KobalModel instance("kobalapi2", TextEncoding::Utf8, {{1, "Sim CAN 1", 0}});
    return instance;
}

KOBAL_EXPORT int32_t CAN_SetHwParam(uint32_t hardware, uint32_t param, const void* buffer, uint32_t size) {
    return libraryModel().setHwParam(hardware, param, buffer, size);
}
KOBAL_EXPORT int32_t CAN_ConnectToNet(uint8_t client, const char* networkName, uint8_t* network) {
    return libraryModel().connectToNet(
        client, networkName != nullptr ? std::optional<std::string>(networkName) : std::nullopt, network);
}

// The exports have exactly the types the drivers resolve them as.
static_assert(std::is_same_v<decltype(&CAN_SetHwParam), KobalSetHwParamFn>);
static_assert(std::is_same_v<decltype(&CAN_ConnectToNet), KobalConnectToNetFn>);
