// A simulated Kobal library loaded as the drivers load it, with its entry points resolved.
#pragma once

#include <kobalapi2/kobal_api.h>

#include <platform/library.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace ostrel::simlibs::test {

struct KobalLibrary {
    std::unique_ptr<platform::Library> module;
    KobalGetHwParamFn getHwParam = nullptr;
    KobalSetHwParamFn setHwParam = nullptr;  // Kobalapi2 only
    KobalGetNetParamFn getNetParam = nullptr;
    KobalSetNetParamFn setNetParam = nullptr;
    KobalRegisterNetFn registerNet = nullptr;
    KobalRemoveNetFn removeNet = nullptr;
    KobalRegisterClientFn registerClient = nullptr;
    KobalRemoveClientFn removeClient = nullptr;
    KobalConnectToNetFn connectToNet = nullptr;         // Kobalapi2: UTF-8 name
    KobalPlsConnectToNetFn connectToNetWide = nullptr;  // KobalPlsapi2: UTF-16 name
    KobalDisconnectFromNetFn disconnectFromNet = nullptr;
    KobalRegisterMsgFn registerMsg = nullptr;
    KobalSetClientParamFn setClientParam = nullptr;
    KobalWriteFn write = nullptr;
    KobalReadFn read = nullptr;
    KobalGetSystemTimeFn getSystemTime = nullptr;
    KobalStatusFn status = nullptr;
    KobalResetHardwareFn resetHardware = nullptr;

    // "KOBALAPI2.DLL" or "KOBALPLSAPI2.DLL"; throws when the library or an entry point is missing.
    static std::unique_ptr<KobalLibrary> load(const std::string& dllName) {
        auto lib = std::make_unique<KobalLibrary>();
        std::string error;
        lib->module = platform::Library::load(dllName, &error);
        if (!lib->module) {
            throw std::runtime_error("cannot load " + dllName + ": " + error);
        }
        const bool wide = dllName == "KOBALPLSAPI2.DLL";
        auto resolve = [&](auto& slot, const char* name) {
            slot = lib->module->function<std::remove_reference_t<decltype(slot)>>(name);
            if (slot == nullptr) {
                throw std::runtime_error(dllName + " lacks " + name);
            }
        };
        resolve(lib->getHwParam, "CAN_GetHwParam");
        if (!wide) {
            resolve(lib->setHwParam, "CAN_SetHwParam");
            resolve(lib->connectToNet, "CAN_ConnectToNet");
        } else {
            resolve(lib->connectToNetWide, "CAN_ConnectToNet");
        }
        resolve(lib->getNetParam, "CAN_GetNetParam");
        resolve(lib->setNetParam, "CAN_SetNetParam");
        resolve(lib->registerNet, "CAN_RegisterNet");
        resolve(lib->removeNet, "CAN_RemoveNet");
        resolve(lib->registerClient, "CAN_RegisterClient");
        resolve(lib->removeClient, "CAN_RemoveClient");
        resolve(lib->disconnectFromNet, "CAN_DisconnectFromNet");
        resolve(lib->registerMsg, "CAN_RegisterMsg");
        resolve(lib->setClientParam, "CAN_SetClientParam");
        resolve(lib->write, "CAN_Write");
        resolve(lib->read, "CAN_Read");
        resolve(lib->getSystemTime, "CAN_GetSystemTime");
        resolve(lib->status, "CAN_Status");
        resolve(lib->resetHardware, "CAN_ResetHardware");
        return lib;
    }

    // Connects by a name given in UTF-8, whichever text the library takes.
    int32_t connect(uint8_t client, const std::u16string& name, uint8_t* network) const {
        if (connectToNetWide != nullptr) {
            return connectToNetWide(client, name.c_str(), network);
        }
        std::string narrow(name.begin(), name.end());  // ASCII names in these tests
        return connectToNet(client, narrow.c_str(), network);
    }
};

// Microseconds of a library time stamp.
inline uint64_t microsecondsOf(const KobalTimeStamp& stamp) {
    const uint64_t ms = (static_cast<uint64_t>(stamp.msOverflow) << 32) | stamp.ms;
    return ms * 1000 + stamp.us;
}

} // namespace ostrel::simlibs::test
