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

// Element by element (forEachThreadElement); on the CPU device a thread's run is taken row by row
// (forEachThreadRowPart), each row's factors read once.
VESTRA_ELEMENT_LOOPS __global__ void rmsInputGradientKernel(const double* __restrict__ input,           // [rows, width]
                                                            const double* __restrict__ weight,          // [width]
                                                            const double* __restrict__ outputGradient,  // [rows, width]
                                                            const double* __restrict__ inverseRms,      // [rows]
                                                            const double* __restrict__ rowDot,          // [rows]
                                                            double* __restrict__ inputGradient,         // [rows, width]
                                                            std::uint64_t rows, std::uint64_t width) {
    const auto element = [&](std::uint64_t i, std::uint64_t row, double inv, double cubed) {
        inputGradient[i] = inv * weight[i - row * width] * outputGradient[i] -
                           cubed * input[i] * rowDot[row] / static_cast<double>(width);
    };
    if constexpr (kGpuKernelForms) {
        forEachThreadElement(rows * width, [&](std::uint64_t i) {
            const std::uint64_t row = i / width;
            const double inv = inverseRms[row];
            element(i, row, inv, inv * inv * inv);
        });
        return;
    }
    forEachThreadRowPart(rows * width, width, [&](std::uint64_t row, std::uint64_t first, std::uint64_t end) {
        const double inv = inverseRms[row];
        const double cubed = inv * inv * inv;
        for (std::uint64_t i = first; i < end; ++i) {
            element(i, row, inv, cubed);
        }
    });
}

// The columns the CPU device's form sums side by side.
inline constexpr std::uint64_t kRmsColumnRun = kElementBlock;

// One column per thread. In the GPU form, a block with fewer columns than threads (a model width
// below 256 would leave most of them idle) gives each column `parts` neighbouring lanes of one warp,
// a power of two: each lane forms the term of one row of every `parts` and the column's lanes add
// them in row order, handing each term to every lane in turn, so the sum is the plain column sum's to
// the bit.
VESTRA_ELEMENT_LOOPS __global__ void rmsWeightGradientKernel(
    const double* __restrict__ input,           // [rows, width]
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
    if constexpr (kGpuKernelForms) {
        const std::uint64_t column = globalThreadIndex();
        if (column >= width) {
            return;
        }
        double sum = 0.0;
        for (std::uint64_t r = 0; r < rows; ++r) {
            sum += term(r, column);
        }
        weightGradient[column] = sum;
        return;
    }
    // On the CPU device the block's first thread sums the block's columns, kRmsColumnRun at a time
    // side by side, row after row: each column's sum in row order, its rows read in order.
    const std::uint64_t blockStart = std::uint64_t{blockIdx.x} * blockDim.x;
    if (threadIdx.x != 0 || blockStart >= width) {
        return;
    }
    const std::uint64_t blockEnd = width - blockStart < blockDim.x ? width : blockStart + blockDim.x;
    for (std::uint64_t start = blockStart; start < blockEnd; start += kRmsColumnRun) {
        const std::uint64_t columns = blockEnd - start < kRmsColumnRun ? blockEnd - start : kRmsColumnRun;
        double sums[kRmsColumnRun] = {};
        for (std::uint64_t r = 0; r < rows; ++r) {
            for (std::uint64_t c = 0; c < columns; ++c) {
                sums[c] += term(r, start + c);
            }
        }
        for (std::uint64_t c = 0; c < columns; ++c) {
            weightGradient[start + c] = sums[c];
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
