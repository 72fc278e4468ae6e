#include "drennic_test_bus.h"

#include "library_state.h"

namespace ostrel::vessolt::test {

DrennicTestBus::DrennicTestBus() {
    drennic::resetLibraryState();
    bus_ = std::make_unique<drennic::TestBus>();
    api_.startup(1, u"");
    devices_ = std::make_unique<fixtures::TestBusDevices>(*bus_);
}

DrennicTestBus::~DrennicTestBus() {
    close();
    devices_.reset();
    bus_.reset();
    drennic::resetLibraryState();
}

fixtures::SimNode& DrennicTestBus::addNode(uint8_t nodeId) {
    fixtures::SimNodeConfig config;
    config.nodeId = nodeId;
    return devices_->bus().addNode(config, fixtures::SimObjectDictionary::builtin("minimal"));
}

bool DrennicTestBus::open() {
    ResultBlock result{};
    api_.initialize(1, u"vessolt test", &result);
    if (result.code != DRN_OK)
        return false;
    devices_->start();
    return true;
}

void DrennicTestBus::close() {
    api_.close();
    if (devices_)
        devices_->stop();
}

void DrennicTestBus::inject(uint32_t id, std::initializer_list<uint8_t> data, uint8_t flags) {
    CANFrame frame{};
    frame.id = id;
    frame.flags = flags;
    frame.length = static_cast<uint8_t>(data.size());
    uint8_t* out = frame.data;
    for (uint8_t b : data)
        *out++ = b;
    bus_->inject(frame);
}

} // namespace ostrel::vessolt::test
