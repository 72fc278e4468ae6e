// The engine thread's start and stop, called by every driver's Initialize and Close slots, and the
// posting side of its request slot.
#pragma once

#include "engine/engine_context.h"

#include <cstdint>
#include <string_view>

namespace drennic {

// Starts the engine thread and returns once it runs; true at once when it already runs; false when it
// could not be started (no driver, or called from the engine thread while it stops).
[[nodiscard]] bool engineStart();
// Stops the engine thread and joins it; a request still running or waiting is completed with -7 first.
// Nothing when it does not run. Called on the engine thread itself (from a callback), it only asks the
// thread to end after the current loop pass; the next engineStart or engineStop joins it.
void engineStop();
[[nodiscard]] bool engineRunning();
// True on the engine thread once it has been asked to stop. Its last completions run then while the
// stopping thread may hold the driver's locks and waits to join it: a callback that called back into
// the driver's lifecycle would never return.
[[nodiscard]] bool engineStoppingOnThisThread();

// Posts a request. `out` (when given) receives 0 when it was accepted (its completion will come
// exactly once), -12 when another request is waiting or running, -7 when the engine does not run.
// Scan and mass write clear the flags of their result arrays when they are accepted. `serial`
// (when given) receives the accepted request's serial, for cancelRequest(serial); 0 when refused.
void postRequest(const EngineRequest& request, int32_t* out, uint64_t* serial = nullptr);
// Cancels the request waiting or running now; a later request is not affected.
void cancelRequest();
// Cancels the request with this serial if it is still waiting or running; any other request, such as
// one another caller posted just after it ended, is left alone.
void cancelRequest(uint64_t serial);
// Ends the request waiting or running now with `code` and `message`, as a cancel does but without an
// abort frame (a driver whose connection broke under it); a later request is not affected.
void failRequest(int32_t code, std::u16string_view message);
// Whether an engine request is waiting or running. For services that must not run beside one.
[[nodiscard]] bool engineRequestPending();

// Stands other handlers in for a request code (tests); returns the handlers it replaced. Takes effect
// for requests taken up afterwards. Handlers with a null entry are not taken (the result is all null).
ServiceHandlers replaceServiceHandlers(int32_t code, const ServiceHandlers& handlers);

} // namespace drennic
