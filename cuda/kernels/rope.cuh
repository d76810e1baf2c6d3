// Rotary position encoding of the forward pass (reference/rope.*), in place, one thread per
// adjacent column pair of a head. The angle is computed as the CPU table computes it (a division by
// base^(2i / headDim)) at the row's position in its sequence; ropeBackwardKernel is its transpose.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void trainingRopeKernel(double* __restrict__ values,  // [rows, heads * headDim]
                                   std::uint64_t count, std::uint64_t sequence, std::uint64_t heads,
                                   std::uint64_t headDim, double base) {
    const std::uint64_t pair = globalThreadIndex();
    if (pair >= count / 2) {
        return;
    }
    const std::uint64_t i = 2 * pair;
    const std::uint64_t row = i / (heads * headDim);
    const std::uint64_t column = i % headDim;
    const double divisor = pow(base, static_cast<double>(column) / static_cast<double>(headDim));
    const double angle = static_cast<double>(row % sequence) / divisor;
    const double c = cos(angle);
    const double s = sin(angle);
    const double x0 = values[i];
    const double x1 = values[i + 1];
    values[i] = x0 * c - x1 * s;
    values[i + 1] = x1 * c + x0 * s;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
