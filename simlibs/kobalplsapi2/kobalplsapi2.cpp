// The simulated KobalPlsapi2 library: names as UTF-16, bit rates in kbit/s, no CAN_SetHwParam.
#include <kobalapi2/kobal_exports.h>

#include <platform/utf16.h>

#include <type_traits>

using ostrel::simkobal::libraryModel;

ostrel::simkobal::KobalModel& ostrel::simkobal::libraryModel() {
    static KobalModel instance("kobalplsapi2", TextEncoding::Utf16, {{1, "Sim PLS CAN 1", 0}});
    return instance;
}

KOBAL_EXPORT int32_t CAN_ConnectToNet(uint8_t client, const char16_t* networkName, uint8_t* network) {
    return libraryModel().connectToNet(
        client, networkName != nullptr ? std::optional<std::string>(ostrel::platform::toUtf8(networkName)) : std::nullopt,
        network);
}

// The export has exactly the type the driver resolves it as.
static_assert(std::is_same_v<decltype(&CAN_ConnectToNet), KobalPlsConnectToNetFn>);
