// The exports both simulated Kobal libraries share (kobal_exports.cpp, compiled into each). Each
// library defines the model they work on and adds its own exports.
#pragma once

#include <kobalapi2/kobal_model.h>

#define KOBAL_EXPORT extern "C" __attribute__((visibility("default")))

namespace ostrel::simkobal {

// The model of the library this is linked into. Not exported (hidden by default), so that each of
// two libraries loaded into one process keeps its own.
[[nodiscard]] KobalModel& libraryModel();

} // namespace ostrel::simkobal
