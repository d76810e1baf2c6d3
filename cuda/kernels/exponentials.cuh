// The exponentials of a softmax row, exp(x - shift) for each x, in a loop of their own: on the CPU
// device it vectorizes through the device's `exp` (VESTRA_ELEMENT_LOOPS), where a loop that also
// adds them up in order could not. The callers keep their sums, in their order.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

// out[j] = exp(in[j] - shift) for j < count.
[[maybe_unused]] VESTRA_ELEMENT_LOOPS __device__ void exponentials(const double* __restrict__ in, double shift,
                                                                   double* __restrict__ out, std::uint64_t count) {
    for (std::uint64_t j = 0; j < count; ++j) {
        out[j] = exp(in[j] - shift);
    }
}

// values[j] = exp(values[j] - shift) for j < count.
[[maybe_unused]] VESTRA_ELEMENT_LOOPS __device__ void exponentiate(double* values, double shift, std::uint64_t count) {
    for (std::uint64_t j = 0; j < count; ++j) {
        values[j] = exp(values[j] - shift);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
