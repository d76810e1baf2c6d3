// The gradient of the embedding lookup (reference/forward.*): table row v is the sum of the
// gradient rows of every token equal to v, added in token order. In the GPU form each thread sums
// its own table element (the warp's threads read the same token at once, and neighbouring columns
// of a gradient row); on the CPU device each table row's run of elements in a block is summed by one
// thread (RowRun), which scans the tokens once for the whole run. Both add in token order from 0.0,
// so they give the same bits. Every element is written (0 for a token that never occurs), as the
// host does not clear the table.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void embeddingBackwardKernel(const std::uint32_t* __restrict__ tokens,   // [tokenCount]
                                        const double* __restrict__ outputGradient,  // [tokenCount, width]
                                        double* __restrict__ tableGradient,         // [vocabulary, width]
                                        std::uint64_t tokenCount, std::uint64_t vocabulary, std::uint64_t width) {
    if constexpr (kGpuKernelForms) {
        const std::uint64_t element = globalThreadIndex();
        if (element >= vocabulary * width) {
            return;
        }
        const std::uint64_t v = element / width;
        const std::uint64_t column = element % width;
        double sum = 0.0;
        for (std::uint64_t t = 0; t < tokenCount; ++t) {
            if (tokens[t] == v) {
                sum += outputGradient[t * width + column];
            }
        }
        tableGradient[element] = sum;
        return;
    }
    const RowRun run = RowRun::ofThread(vocabulary * width, width);
    if (run.count == 0) {
        return;
    }
    double* sums = tableGradient + run.row * width + run.column;  // [run.count]
    for (std::uint64_t c = 0; c < run.count; ++c) {
        sums[c] = 0.0;
    }
    for (std::uint64_t t = 0; t < tokenCount; ++t) {
        if (tokens[t] == run.row) {
            const double* gradientRow = outputGradient + t * width + run.column;
            for (std::uint64_t c = 0; c < run.count; ++c) {
                sums[c] += gradientRow[c];
            }
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
