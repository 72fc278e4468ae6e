// The engine thread's start and stop, called by every driver's Initialize and Close slots.
#pragma once

namespace drennic {

// Starts the engine thread and returns once it runs; false when it could not be started.
[[nodiscard]] bool engineStart();
// Stops the engine thread and joins it; nothing when it does not run.
void engineStop();

} // namespace drennic
