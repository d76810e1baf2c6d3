// The squared global gradient norm in a fixed summation order, so that repeated runs give the same
// bits: each 256-element block reduces its squares by a fixed tree, then one thread adds the block
// sums in order onto an accumulator that the host cleared once for all tensors.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

// Launched with kElementBlock threads per block (a power of two); block b writes partialSums[b].
__global__ void squaredNormPartialKernel(const double* __restrict__ values,  // [count]
                                         std::uint64_t count, double scale,
                                         double* __restrict__ partialSums) {  // [ceil(count / 256)]
    VESTRA_SHARED_ARRAY(double, squares, kElementBlock);
    const std::uint64_t i = globalThreadIndex();
    const double value = i < count ? values[i] * scale : 0.0;
    squares[threadIdx.x] = value * value;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (threadIdx.x < stride) {
            squares[threadIdx.x] += squares[threadIdx.x + stride];
        }
        __syncthreads();
    }
    if (threadIdx.x == 0) {
        partialSums[blockIdx.x] = squares[0];
    }
}
VESTRA_STATIC_SHARED_BYTES(squaredNormPartialKernel, kElementBlock * sizeof(double));

// One thread: result[0] += partialSums[0] + partialSums[1] + ..., in index order.
__global__ void squaredNormFinishKernel(const double* __restrict__ partialSums,  // [count]
                                        std::uint64_t count,
                                        double* __restrict__ result) {  // [1]
    if (globalThreadIndex() != 0) {
        return;
    }
    double sum = result[0];
    for (std::uint64_t k = 0; k < count; ++k) {
        sum += partialSums[k];
    }
    result[0] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
