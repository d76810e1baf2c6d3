// The gradients of the linear product without bias (reference/linear.*), weights [out, in]: each
// element of the input gradient (gradient x W) and of the weight gradient (gradient^T x input) is
// one sum that starts at 0.0 and runs in increasing index order. Inside a block, each of the first
// blockDim.x / kLinearSpan threads sums kLinearSpan consecutive elements, as kLinearRuns runs of
// kLinearChains. A run whose elements share a row (every run, when a row's length is a multiple of
// kLinearChains) reads one factor for all of them and the other factors from one stretch of memory,
// and the thread advances all its runs together, so that many independent chains overlap where one
// chain alone would wait on every add. In the GPU forms, whose threads run side by side, the span is
// one element and every thread sums its own.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

inline constexpr unsigned kLinearChains = kGpuKernelForms ? 1 : 8;
inline constexpr unsigned kLinearRuns = kGpuKernelForms ? 1 : 4;
inline constexpr unsigned kLinearSpan = kLinearChains * kLinearRuns;

// The elements of the block that the calling thread sums (none for threads past the lanes), and
// where the first of them sits in a row-major matrix `width` elements wide.
struct LinearElementGroup {
    std::uint64_t first;
    unsigned count;
    std::uint64_t row;
    std::uint64_t column;

    __device__ static LinearElementGroup of(std::uint64_t total, std::uint64_t width) {
        const std::uint64_t offset = std::uint64_t{threadIdx.x} * kLinearSpan;
        const std::uint64_t first = std::uint64_t{blockIdx.x} * blockDim.x + offset;
        if (offset >= blockDim.x || first >= total) {
            return {first, 0, 0, 0};
        }
        const std::uint64_t inBlock = blockDim.x - offset;
        const std::uint64_t inTotal = total - first;
        const std::uint64_t count = inBlock < inTotal ? inBlock : inTotal;
        return {first, static_cast<unsigned>(count < kLinearSpan ? count : kLinearSpan), first / width, first % width};
    }
};

// result[first + c] = sum_k a(c)[k * strideA] * b(c)[k * strideB] for k < length and each element c
// of the group, where element c sits at (row, column) of a matrix `width` wide and
// a(c) = aBase + row * aRowStep, b(c) = bBase + column. The operands advance by pointer steps rather
// than k * stride, which the host compiler turns into plain vector loads.
__device__ __forceinline__ void stridedDots(double* __restrict__ result, const LinearElementGroup& group,
                                            std::uint64_t width, const double* aBase, std::uint64_t aRowStep,
                                            std::uint64_t strideA, const double* bBase, std::uint64_t strideB,
                                            std::uint64_t length) {
    // A group starts on a multiple of kLinearChains, so with rows a multiple of kLinearChains long
    // every run lies in one row.
    if (group.count == kLinearSpan && width % kLinearChains == 0) {
        double sum[kLinearRuns][kLinearChains] = {};
        const double* factor[kLinearRuns];
        const double* stretch[kLinearRuns];
        std::uint64_t row = group.row;
        std::uint64_t column = group.column;
        for (unsigned run = 0; run < kLinearRuns; ++run) {
            factor[run] = aBase + row * aRowStep;
            stretch[run] = bBase + column;
            column += kLinearChains;
            if (column == width) {
                column = 0;
                ++row;
            }
        }
        for (std::uint64_t k = 0; k < length; ++k) {
            for (unsigned run = 0; run < kLinearRuns; ++run) {
                const double f = *factor[run];
                for (unsigned chain = 0; chain < kLinearChains; ++chain) {
                    sum[run][chain] += f * stretch[run][chain];
                }
                factor[run] += strideA;
                stretch[run] += strideB;
            }
        }
        for (unsigned run = 0; run < kLinearRuns; ++run) {
            for (unsigned chain = 0; chain < kLinearChains; ++chain) {
                result[group.first + run * kLinearChains + chain] = sum[run][chain];
            }
        }
        return;
    }
    std::uint64_t row = group.row;
    std::uint64_t column = group.column;
    for (unsigned element = 0; element < group.count; ++element) {
        const double* factor = aBase + row * aRowStep;
        const double* other = bBase + column;
        double sum = 0.0;
        for (std::uint64_t k = 0; k < length; ++k, factor += strideA, other += strideB) {
            sum += *factor * *other;
        }
        result[group.first + element] = sum;
        if (++column == width) {
            column = 0;
            ++row;
        }
    }
}

VESTRA_VECTOR_LOOPS __global__ void linearInputGradientKernel(const double* __restrict__ outputGradient,  // [rows, out]
                                                              const double* __restrict__ weights,         // [out, in]
                                                              double* __restrict__ inputGradient,         // [rows, in]
                                                              std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const LinearElementGroup group = LinearElementGroup::of(rows * in, in);
    if (group.count == 0) {
        return;
    }
    // Element (r, i) is gradient row r against weight column i.
    stridedDots(inputGradient, group, in, outputGradient, out, 1, weights, in, out);
}

VESTRA_VECTOR_LOOPS __global__ void linearWeightGradientKernel(
    const double* __restrict__ input,           // [rows, in]
    const double* __restrict__ outputGradient,  // [rows, out]
    double* __restrict__ weightGradient,        // [out, in]
    std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const LinearElementGroup group = LinearElementGroup::of(out * in, in);
    if (group.count == 0) {
        return;
    }
    // Element (o, i) is gradient column o against input column i.
    stridedDots(weightGradient, group, in, outputGradient, 1, out, input, in, rows);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
