// The gradient of rotary position encoding (reference/rope.*): the inverse rotation, which is the
// transpose of the forward one, adjacent column pair by pair (forEachThreadRopePair), from the table
// of ropeTableKernel.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/rope_rotation.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void ropeBackwardKernel(const double* __restrict__ outputGradient,  // [rows, heads * headDim]
                                   double* __restrict__ inputGradient,         // [rows, heads * headDim]
                                   const double* __restrict__ table,           // [sequence, headDim / 2, 2]
                                   std::uint64_t count, std::uint64_t sequence, std::uint64_t heads,
                                   std::uint64_t headDim) {
    forEachThreadRopePair(count / 2, sequence, heads, headDim, table, [&](const RopePair& rotation) {
        const std::uint64_t i = rotation.first;
        const double x0 = outputGradient[i];
        const double x1 = outputGradient[i + 1];
        inputGradient[i] = x0 * rotation.cosine + x1 * rotation.sine;
        inputGradient[i + 1] = x1 * rotation.cosine - x0 * rotation.sine;
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
