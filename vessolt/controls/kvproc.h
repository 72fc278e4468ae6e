// Procedures the controls share: binary text, scale label lists, colour arithmetic, text output on
// a canvas, geometry, form positions, and the beep and message box that tests replace.
#pragma once

#include "kvcontrols_export.h"
#include "kvformat.h"

#include <QString>

#include <cstdint>

namespace ostrel::vessolt::controls {

// Binary text. Width below 0 counts as 0; 0 gives the shortest form, d > 0 gives d + 1 digits.
KVCONTROLS_EXPORT QString KvIntToBin(int32_t value, int32_t width);
KVCONTROLS_EXPORT QString KvSingleToBin(float value, int32_t width);
// From the last character leftward with weights 1, 2, 4...: "1" adds its weight, anything else
// nothing; bits beyond 31 are dropped.
KVCONTROLS_EXPORT uint32_t KvBinToLWord(const QString& text);
KVCONTROLS_EXPORT int32_t KvBinToInt(const QString& text);
KVCONTROLS_EXPORT float KvBinToSingle(const QString& text);
KVCONTROLS_EXPORT QString KvRemoveSign(const QString& text, QChar sign);

// The default beep, and a hook that replaces it (nullptr restores the default). Returns the
// previous hook.
using KvBeepHook = void (*)();
KVCONTROLS_EXPORT void KvBeep();
KVCONTROLS_EXPORT KvBeepHook KvSetBeepHook(KvBeepHook hook);

// An error message box with an OK button, and a hook that replaces it.
using KvMessageHook = void (*)(const QString& text, const QString& caption);
KVCONTROLS_EXPORT void KvShowError(const QString& text, const QString& caption);
KVCONTROLS_EXPORT KvMessageHook KvSetMessageHook(KvMessageHook hook);

} // namespace ostrel::vessolt::controls
