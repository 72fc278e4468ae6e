// The real CANopen library on its in-process test bus, with simulated CANopen devices, for the
// services' tests:
//
//     DrennicTestBus drennic;
//     drennic.addNode(5);
//     TTraceBuffer trace(drennic.api(), fanout, log, prompt);
//     ASSERT_TRUE(drennic.open());   // initialises the hardware and powers the nodes on
//
// Construction starts the library in client mode on the test bus; destruction closes the hardware
// (which stops the engine thread) and shuts the library down.
#pragma once

#include "services/canopen_api.h"
#include "testbus.h"
#include "testbus_devices.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace ostrel::vessolt::test {

class DrennicTestBus {
public:
    DrennicTestBus();
    ~DrennicTestBus();
    DrennicTestBus(const DrennicTestBus&) = delete;
    DrennicTestBus& operator=(const DrennicTestBus&) = delete;

    // A simulated node with the minimal dictionary; add before open().
    fixtures::SimNode& addNode(uint8_t nodeId);
    // Initialises the test network (500 kbit/s) and powers the nodes on; true when the library
    // accepted the hardware.
    [[nodiscard]] bool open();
    // Stops the engine thread: no receive callback runs afterwards.
    void close();

    [[nodiscard]] CanopenApi& api() { return api_; }
    [[nodiscard]] drennic::TestBus& bus() { return *bus_; }
    [[nodiscard]] fixtures::SimBus& devices() { return devices_->bus(); }

    // A frame arriving from the bus now (standard identifier unless extended).
    void inject(uint32_t id, std::initializer_list<uint8_t> data, uint8_t flags = 0);

private:
    DrennicApi api_;
    std::unique_ptr<drennic::TestBus> bus_;
    std::unique_ptr<fixtures::TestBusDevices> devices_;
};

} // namespace ostrel::vessolt::test
