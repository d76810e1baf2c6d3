// The gradients of the linear product without bias (reference/linear.*), weights [out, in]: each
// element of the input gradient (gradient x W) and of the weight gradient (gradient^T x input) is
// one sum that starts at 0.0 and runs in increasing index order. Inside a block, each of the first
// blockDim.x / kLinearChains threads sums kLinearChains consecutive elements; when they share a row
// (the usual case) it sums them at once, reading one factor for all of them and the other from one
// run, so that the independent chains overlap where one chain alone would wait on every add.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

inline constexpr unsigned kLinearChains = 8;

// The elements of the block that the calling thread sums; none for threads past the lanes.
struct LinearElementGroup {
    std::uint64_t first;
    unsigned count;

    __device__ static LinearElementGroup of(std::uint64_t total) {
        const std::uint64_t offset = std::uint64_t{threadIdx.x} * kLinearChains;
        const std::uint64_t first = std::uint64_t{blockIdx.x} * blockDim.x + offset;
        if (offset >= blockDim.x || first >= total) {
            return {first, 0};
        }
        const std::uint64_t inBlock = blockDim.x - offset;
        const std::uint64_t inTotal = total - first;
        const std::uint64_t count = inBlock < inTotal ? inBlock : inTotal;
        return {first, static_cast<unsigned>(count < kLinearChains ? count : kLinearChains)};
    }
};

// result[first + c] = sum_k a[c][k * strideA] * b[c][k * strideB] for k < length and each element
// c of the group; `shared` when every a[c] is a[0] and b[c] is b[0] + c.
__device__ __forceinline__ void stridedDots(double* __restrict__ result, const LinearElementGroup& group,
                                            const double* const* a, const double* const* b, std::uint64_t strideA,
                                            std::uint64_t strideB, std::uint64_t length, bool shared) {
    // The operands advance by pointer steps rather than k * stride, which the host compiler turns
    // into plain vector loads.
    double sum[kLinearChains] = {};
    if (shared && group.count == kLinearChains) {
        const double* factor = a[0];
        const double* run = b[0];
        for (std::uint64_t k = 0; k < length; ++k, factor += strideA, run += strideB) {
            for (unsigned chain = 0; chain < kLinearChains; ++chain) {
                sum[chain] += *factor * run[chain];
            }
        }
    } else {
        for (unsigned chain = 0; chain < group.count; ++chain) {
            const double* factor = a[chain];
            const double* other = b[chain];
            for (std::uint64_t k = 0; k < length; ++k, factor += strideA, other += strideB) {
                sum[chain] += *factor * *other;
            }
        }
    }
    for (unsigned chain = 0; chain < group.count; ++chain) {
        result[group.first + chain] = sum[chain];
    }
}

__global__ void linearInputGradientKernel(const double* __restrict__ outputGradient,  // [rows, out]
                                          const double* __restrict__ weights,         // [out, in]
                                          double* __restrict__ inputGradient,         // [rows, in]
                                          std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const LinearElementGroup group = LinearElementGroup::of(rows * in);
    if (group.count == 0) {
        return;
    }
    const double* gradientRow[kLinearChains];
    const double* weightColumn[kLinearChains];
    for (unsigned chain = 0; chain < group.count; ++chain) {
        const std::uint64_t i = group.first + chain;
        gradientRow[chain] = outputGradient + i / in * out;
        weightColumn[chain] = weights + i % in;
    }
    const bool oneRow = group.first / in == (group.first + kLinearChains - 1) / in;
    stridedDots(inputGradient, group, gradientRow, weightColumn, 1, in, out, oneRow);
}

__global__ void linearWeightGradientKernel(const double* __restrict__ input,           // [rows, in]
                                           const double* __restrict__ outputGradient,  // [rows, out]
                                           double* __restrict__ weightGradient,        // [out, in]
                                           std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const LinearElementGroup group = LinearElementGroup::of(out * in);
    if (group.count == 0) {
        return;
    }
    const double* gradientColumn[kLinearChains];
    const double* inputColumn[kLinearChains];
    for (unsigned chain = 0; chain < group.count; ++chain) {
        const std::uint64_t i = group.first + chain;
        gradientColumn[chain] = outputGradient + i / in;
        inputColumn[chain] = input + i % in;
    }
    const bool oneRow = group.first / in == (group.first + kLinearChains - 1) / in;
    stridedDots(weightGradient, group, gradientColumn, inputColumn, out, in, rows, oneRow);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
