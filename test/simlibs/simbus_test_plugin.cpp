// A device plugin for the simulated bus: one CANopen device, node 5, answering 1.5 ms late.
#include "sim_node_device.h"

extern "C" __attribute__((visibility("default"))) void ostrel_simbus_plugin_attach() {
    ostrel::fixtures::SimNodeConfig config;
    config.nodeId = 5;
    config.responseLatencyUs = 1500;
    // Lives until the process ends; its destructor stops the node's thread.
    static ostrel::simlibs::test::SimNodeDevice device(config);
}
