#include "engine.h"

namespace drennic {

// The engine thread is not in place yet: the drivers' calls are accepted and do nothing.
bool engineStart() { return true; }

void engineStop() {}

} // namespace drennic
