// Rotary position encoding of the forward pass (reference/rope.*), in place, adjacent column pair
// by pair of a head (forEachThreadRopePair), from the table of ropeTableKernel; ropeBackwardKernel is
// its transpose.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/rope_rotation.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void trainingRopeKernel(double* __restrict__ values,       // [rows, heads * headDim]
                                   const double* __restrict__ table,  // [sequence, headDim / 2, 2]
                                   std::uint64_t count, std::uint64_t sequence, std::uint64_t heads,
                                   std::uint64_t headDim) {
    forEachThreadRopePair(count / 2, sequence, heads, headDim, table, [&](const RopePair& rotation) {
        const std::uint64_t i = rotation.first;
        const double x0 = values[i];
        const double x1 = values[i + 1];
        values[i] = x0 * rotation.cosine - x1 * rotation.sine;
        values[i + 1] = x1 * rotation.cosine + x0 * rotation.sine;
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
