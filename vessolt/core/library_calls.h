#pragma once
// The few calls of the CANopen library's life cycle that the program makes itself, in one place.
#include <string>

namespace ostrel::vessolt::library {

// Server-client mode with the interface driver library's name (UTF-8); an empty name makes the CAN
// server run its simulated bus. The result is not examined: the program goes on either way.
void Startup(const std::string& driverName);
// Closes the hardware; harmless when it is closed already.
void CloseHardware();
// No received frame reaches the program any more.
void DropReceiveCallback();
void Shutdown();

} // namespace ostrel::vessolt::library
