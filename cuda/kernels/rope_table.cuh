// The cosine and sine of every (position, column pair) of a rotary position encoding, formed once
// per shape for the rotations of rope_rotation.cuh: the angle is computed as the CPU table computes
// it, the position divided by base^(2i / headDim). One thread per entry.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void ropeTableKernel(double* __restrict__ table,  // [sequence, headDim / 2, 2]: cosine, sine
                                std::uint64_t sequence, std::uint64_t headDim, double base) {
    const std::uint64_t entry = globalThreadIndex();  // position * (headDim / 2) + pair
    const std::uint64_t pairs = headDim / 2;
    if (entry >= sequence * pairs) {
        return;
    }
    const std::uint64_t position = entry / pairs;
    const std::uint64_t column = 2 * (entry % pairs);
    const double divisor = pow(base, static_cast<double>(column) / static_cast<double>(headDim));
    const double angle = static_cast<double>(position) / divisor;
    table[2 * entry] = cos(angle);
    table[2 * entry + 1] = sin(angle);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
