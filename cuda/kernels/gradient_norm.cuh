// The squared global gradient norm in a fixed summation order, so that repeated runs give the same
// bits: each 256-element block reduces its squares by a fixed pairwise tree, then one thread adds
// the block sums in order onto an accumulator that the host cleared once for all tensors. In the GPU
// form every thread squares its element and the tree's levels run across the block, meeting at
// barriers while partners lie in other warps and by shuffles within the first warp after that; in
// the CPU device's own form the block's first thread walks the tree alone, in an array of its own
// (no barriers). Both forms add the same pairs in the same order, so they give the same bits.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

// Launched with kElementBlock threads per block (a power of two); block b writes partialSums[b],
// the tree over its squares: level by level, squares[t] += squares[t + stride] for t < stride.
VESTRA_ELEMENT_LOOPS __global__ void squaredNormPartialKernel(const double* __restrict__ values,  // [count]
                                                              std::uint64_t count, double scale,
                                                              double* __restrict__ partialSums) {  // [blocks]
    if constexpr (kGpuKernelForms) {
        VESTRA_SHARED_ARRAY(double, squares, kElementBlock);
        const std::uint64_t i = globalThreadIndex();
        const double value = i < count ? values[i] * scale : 0.0;
        squares[threadIdx.x] = value * value;
        __syncthreads();
        for (unsigned stride = blockDim.x / 2; stride >= kWarpLanes; stride /= 2) {
            if (threadIdx.x < stride) {
                squares[threadIdx.x] += squares[threadIdx.x + stride];
            }
            __syncthreads();
        }
        if (threadIdx.x >= kWarpLanes) {
            return;
        }
        // Lane t < stride adds lane t + stride's sum, as the tree does; the other lanes' sums are
        // never read.
        double sum = squares[threadIdx.x];
        for (unsigned stride = kWarpLanes / 2; stride > 0; stride /= 2) {
            sum += __shfl_down_sync(kFullWarpMask, sum, stride);
        }
        if (threadIdx.x == 0) {
            partialSums[blockIdx.x] = sum;
        }
        return;
    }
    if (threadIdx.x != 0) {
        return;
    }
    // The first thread's own array; each level's additions are independent of one another, so the
    // loops vectorize.
    double squares[kElementBlock];
    const std::uint64_t blockStart = std::uint64_t{blockIdx.x} * kElementBlock;
    const std::uint64_t left = count > blockStart ? count - blockStart : 0;
    const std::uint64_t inBlock = left < kElementBlock ? left : kElementBlock;
    for (unsigned t = 0; t < inBlock; ++t) {
        const double value = values[blockStart + t] * scale;
        squares[t] = value * value;
    }
    for (auto t = static_cast<unsigned>(inBlock); t < kElementBlock; ++t) {
        squares[t] = 0.0;
    }
    for (unsigned stride = kElementBlock / 2; stride > 0; stride /= 2) {
        for (unsigned t = 0; t < stride; ++t) {
            squares[t] += squares[t + stride];
        }
    }
    partialSums[blockIdx.x] = squares[0];
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
