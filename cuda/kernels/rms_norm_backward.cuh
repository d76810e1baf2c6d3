// The gradients of RMSNorm (reference/rms_norm.*), y = w * x * inv with inv = 1 / sqrt(mean(x^2) +
// epsilon). Per row the stats kernel keeps inv and dot = sum of w * dy * x; then
//   dx = inv * w * dy - inv^3 * x * dot / width   and   dw = sum over rows of dy * x * inv.
// Sums start at 0.0 and run in increasing column (or row) order.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void rmsBackwardStatsKernel(const double* __restrict__ input,           // [rows, width]
                                       const double* __restrict__ weight,          // [width]
                                       const double* __restrict__ outputGradient,  // [rows, width]
                                       double* __restrict__ inverseRms,            // [rows]
                                       double* __restrict__ rowDot,                // [rows]
                                       std::uint64_t rows, std::uint64_t width, double epsilon) {
    const std::uint64_t row = globalThreadIndex();
    if (row >= rows) {
        return;
    }
    const double* x = input + row * width;
    const double* dy = outputGradient + row * width;
    double sumOfSquares = 0.0;
    double dot = 0.0;
    for (std::uint64_t c = 0; c < width; ++c) {
        sumOfSquares += x[c] * x[c];
        dot += weight[c] * dy[c] * x[c];
    }
    inverseRms[row] = 1.0 / sqrt(sumOfSquares / static_cast<double>(width) + epsilon);
    rowDot[row] = dot;
}

__global__ void rmsInputGradientKernel(const double* __restrict__ input,           // [rows, width]
                                       const double* __restrict__ weight,          // [width]
                                       const double* __restrict__ outputGradient,  // [rows, width]
                                       const double* __restrict__ inverseRms,      // [rows]
                                       const double* __restrict__ rowDot,          // [rows]
                                       double* __restrict__ inputGradient,         // [rows, width]
                                       std::uint64_t rows, std::uint64_t width) {
    const std::uint64_t i = globalThreadIndex();
    if (i >= rows * width) {
        return;
    }
    const std::uint64_t row = i / width;
    const double inv = inverseRms[row];
    inputGradient[i] = inv * weight[i % width] * outputGradient[i] -
                       inv * inv * inv * input[i] * rowDot[row] / static_cast<double>(width);
}

// One column per thread. In the GPU form, a block with fewer columns than threads (a model width
// below 256 would leave most of them idle) gives each column `parts` neighbouring lanes of one warp,
// a power of two: each lane forms the term of one row of every `parts` and the column's lanes add
// them in row order, handing each term to every lane in turn, so the sum is the plain column sum's to
// the bit.
__global__ void rmsWeightGradientKernel(const double* __restrict__ input,           // [rows, width]
                                        const double* __restrict__ outputGradient,  // [rows, width]
                                        const double* __restrict__ inverseRms,      // [rows]
                                        double* __restrict__ weightGradient,        // [width]
                                        std::uint64_t rows, std::uint64_t width) {
    const auto term = [&](std::uint64_t r, std::uint64_t column) {
        return outputGradient[r * width + column] * input[r * width + column] * inverseRms[r];
    };
    if constexpr (kGpuKernelForms) {
        const std::uint64_t blockStart = std::uint64_t{blockIdx.x} * blockDim.x;
        const std::uint64_t columns = width - blockStart < blockDim.x ? width - blockStart : blockDim.x;
        unsigned parts = 1;
        while (parts < kWarpLanes && std::uint64_t{parts} * 2 * columns <= blockDim.x) {
            parts *= 2;
        }
        if (parts > 1) {
            const std::uint64_t column = blockStart + threadIdx.x / parts;
            const unsigned part = threadIdx.x % parts;
            const bool inBlock = column < blockStart + columns;
            double sum = 0.0;
            // Every lane of the warp takes part in every exchange, whether its column exists or not.
            for (std::uint64_t first = 0; first < rows; first += parts) {
                const double own = inBlock && first + part < rows ? term(first + part, column) : 0.0;
                const std::uint64_t count = rows - first < parts ? rows - first : parts;
                for (unsigned lane = 0; lane < count; ++lane) {
                    sum += __shfl_sync(kFullWarpMask, own, static_cast<int>(lane), static_cast<int>(parts));
                }
            }
            if (part == 0 && inBlock) {
                weightGradient[column] = sum;
            }
            return;
        }
    }
    const std::uint64_t column = globalThreadIndex();
    if (column >= width) {
        return;
    }
    double sum = 0.0;
    for (std::uint64_t r = 0; r < rows; ++r) {
        sum += term(r, column);
    }
    weightGradient[column] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
