// The KobalPlsapi2 driver: the Kobal client-and-network driver for the library that works with one
// hardware, registers the standard CANopen networks itself and offers no network storage.
#include "drivers/drivers.h"
#include "drivers/kobal_driver.h"
#include "engine/result_block.h"

#include <platform/utf16.h>

#include <array>

namespace drennic {
namespace {

using kobal::Api;
using kobal::KobalDriver;

constexpr uint32_t kOnlyHardware = 1;

struct StandardNetwork {
    uint32_t network;
    const char* name;
    uint32_t kbit;
};
constexpr std::array<StandardNetwork, 8> kStandardNetworks = {{
    {1, "CANopen_10", 10},
    {2, "CANopen_20", 20},
    {3, "CANopen_50", 50},
    {4, "CANopen_125", 125},
    {5, "CANopen_250", 250},
    {6, "CANopen_500", 500},
    {7, "CANopen_800", 800},
    {8, "CANopen_1000", 1000},
}};

// "Library functions resolved" of the driver's flags word is whether api() is set; "network
// connected and usable" is isNetworkFunctional().
KobalDriver& driver() {
    static KobalDriver instance(kobal::Library::KobalPlsapi2);
    return instance;
}

void registerStandardNetworks(const Api& api, uint32_t hardware) {
    for (const StandardNetwork& standard : kStandardNetworks) {
        if (api.registerNet(standard.network, standard.name, hardware, standard.kbit) != KOBAL_OK) {
            break;  // the rest are taken as well when the first is
        }
    }
}

void status(uint32_t* status, ResultBlock* result) { driver().status(status, result); }

void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame, uint8_t* data,
             uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result) {
    driver().receive(id, length, extended, remote, errorFrame, data, timeMs, timeMsOverflow, timeUs, result);
}

int32_t initDriver() {
    if (driver().api()) {
        return DRN_OK;  // once per library start
    }
    return driver().resolve() ? DRN_OK : DRN_NOT_INITIALIZED;
}

void closeDriver() {
    driver().close();  // the library is unloaded after this
    driver().forget();
}

int32_t addNetworksToHardware(uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }

void getCurrentTime(CANTimeStamp* time) { driver().getCurrentTime(time); }

int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    const auto api = driver().api();
    if (!api || hardware == nullptr || maxCount <= 0) {
        return 0;
    }
    std::array<char16_t, DRN_HARDWARE_NAME_CHARS> name{};
    if (api->getHwParam(kOnlyHardware, KOBAL_HW_NAME, name.data(), static_cast<uint32_t>(name.size())) != KOBAL_OK) {
        return 0;
    }
    ostrel::platform::copyField(hardware[0].name, DRN_HARDWARE_NAME_CHARS,
                                ostrel::platform::fieldView(name.data(), name.size()));
    hardware[0].hardwareHandle = kOnlyHardware;
    registerStandardNetworks(*api, kOnlyHardware);
    return 1;
}

int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    return driver().enumerateNetworks(networks, maxCount, hardwareHandle);
}

// The library keeps the standard networks only.
int32_t addNetwork(const char16_t*, uint32_t, uint32_t) { return 0; }

int32_t deleteNetwork(uint32_t) { return DRN_DELETE_FAILED; }

int32_t getBaudrate(uint32_t networkHandle) { return driver().getBaudrate(networkHandle); }

void initialize(uint32_t networkHandle, const char16_t* clientName, uint32_t windowHandle, uint32_t reserved,
                ResultBlock* result) {
    driver().initialize(networkHandle, clientName, windowHandle, reserved, result);
}

void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    driver().switchNetworks(connect, networkHandle, result);
}

void close() {
    if (driver().api()) {
        driver().close();
    }
}

void reset() { driver().reset(); }

int32_t errorFrames(int32_t) { return DRN_OK; }

void oneShot(int32_t) {}

// The library always hands the transmit client's frames to the receive client.
void selfReceive(int32_t, ResultBlock* result) {
    if (driver().api()) {
        setResult(result, DRN_OK);
    } else {
        setResult(result, DRN_NOT_INITIALIZED, kHardwareNotInitialized);
    }
}

int32_t isNetworkFunctional() { return driver().isNetworkFunctional(); }

void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote, int32_t errorFrame,
              ResultBlock* result) {
    driver().transmit(id, length, data, extended, remote, errorFrame, result);
}

void setTransmitCallback(TransmitCallback callback, void* user) { driver().setTransmitCallback(callback, user); }

} // namespace

void fillKobalPlsapi2Ops(DriverOps& ops) {
    ops = DRENNIC_DRIVER_OPS_OF_SCOPE;
    ops.SelfReceiving = [] { return int32_t{1}; };  // the receive client gets the transmit client's frames
}

} // namespace drennic
