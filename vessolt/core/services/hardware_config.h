#pragma once
// The hardware configuration that the hardware dialog's OK fills: which interface and network the
// program opened and at what bit rate. Written on the GUI thread before any test runs, read by the
// services for the rest of the run.
#include <cstdint>
#include <string>

namespace ostrel::vessolt {

struct HardwareConfig {
    bool initialised = false;
    int32_t baudrate = 125;  // kbit/s; 0 when the library did not report one
    int32_t hardwareHandle = -1;
    int32_t networkHandle = -1;
    // The CAN interface library the program started the CANopen library with; empty for the
    // simulated bus. Set at start, before the hardware dialog is made.
    std::string driverLibrary;
};

// "500kbps", "1Mbps", ... for the bit rates a network may have; "unknown" for any other.
[[nodiscard]] std::string BaudrateText(int32_t kbit);

} // namespace ostrel::vessolt
