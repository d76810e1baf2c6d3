// What the parity scenarios share: requirements that end the run with a fixed message, the
// element-wise tensor comparison, and the millisecond timer of the timing scenarios.
#pragma once

#include <chrono>
#include <cstdint>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// Throws std::runtime_error(message) unless condition holds.
void require(bool condition, const char* message);

// Largest |a[i] - b[i]|, starting from 0.0 and replaced only by a strictly greater difference, so
// an empty pair gives 0.0 and a NaN difference never raises it. Throws std::runtime_error
// "tensor shapes differ" unless the extent lists are equal.
[[nodiscard]] double maxAbsDifference(const Tensor& a, const Tensor& b);

// Whole milliseconds between two steady-clock readings, truncated toward zero.
[[nodiscard]] std::int64_t elapsedMilliseconds(std::chrono::steady_clock::time_point start,
                                               std::chrono::steady_clock::time_point end);

}  // namespace Halcyne::Core::Vestra
