// A simulated CANopen device of the test fixtures, attached to the simulated bus: frames on the
// bus reach the node, the node's frames go out on the bus with the node's own time stamps, and a
// runner thread moves the node's time (heartbeats, answers with latency).
#pragma once

#include <simbus/simbus_control.h>

#include <sim_bus.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace ostrel::simlibs::test {

inline fixtures::SimFrame toSimFrame(const simbus::Frame& frame) {
    fixtures::SimFrame sim;
    sim.id = frame.id;
    sim.len = frame.length;
    sim.rtr = frame.remote;
    sim.ext = frame.extended;
    std::memcpy(sim.data, frame.data, sizeof sim.data);
    return sim;
}

inline simbus::Frame fromSimFrame(const fixtures::SimFrame& sim) {
    simbus::Frame frame;
    frame.id = sim.id;
    frame.length = sim.len;
    frame.remote = sim.rtr;
    frame.extended = sim.ext;
    std::memcpy(frame.data, sim.data, sizeof frame.data);
    return frame;
}

class SimNodeDevice {
public:
    explicit SimNodeDevice(fixtures::SimNodeConfig config = {}, uint32_t line = 0) : node_(nodes_.addNode(config)) {
        // Injecting through a detached id sends nothing, so the sink needs no lock.
        nodes_.setSink([this](const fixtures::SimFrame& frame, uint64_t timeUs) {
            (void)simbus::inject(deviceId_.load(), fromSimFrame(frame), timeUs);
        });
        deviceId_ = simbus::attachDevice(
            [this](const simbus::Frame& frame, uint64_t timeUs) {
                if (!frame.error) {  // a CANopen node takes no notice of error frames
                    nodes_.send(toSimFrame(frame), timeUs);
                }
            },
            line);
        nodes_.powerOnAll(simbus::nowUs());
        runner_ = std::make_unique<fixtures::NodeRunner>(nodes_);
    }
    ~SimNodeDevice() {
        runner_.reset();  // no more node time
        simbus::detachDevice(deviceId_.exchange(0));  // no more frames from the bus
    }
    SimNodeDevice(const SimNodeDevice&) = delete;
    SimNodeDevice& operator=(const SimNodeDevice&) = delete;

    [[nodiscard]] fixtures::SimNode& node() { return node_; }

private:
    fixtures::SimBus nodes_;
    fixtures::SimNode& node_;
    std::atomic<simbus::DeviceId> deviceId_{0};
    std::unique_ptr<fixtures::NodeRunner> runner_;
};

} // namespace ostrel::simlibs::test
