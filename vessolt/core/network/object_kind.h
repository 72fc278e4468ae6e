#pragma once
// How an object of a CANopen dictionary holds its values, where a reader needs to know whether its
// sub-index 0 is a count.
#include <cstdint>
#include <optional>

namespace ostrel::vessolt {

// A variable has sub-index 0 only; the sub-index 0 of an array or a record gives its highest
// sub-index.
enum class ODObjectKind : uint8_t { Variable, ArrayOrRecord };

// The kind that CiA 301 gives an object of the communication area; nullopt for the indexes it
// leaves to other profiles, reserves, or no longer defines.
[[nodiscard]] std::optional<ODObjectKind> standardObjectKind(uint32_t index) noexcept;

} // namespace ostrel::vessolt
