// The gradient of the embedding lookup (reference/forward.*): table row v is the sum of the
// gradient rows of every token equal to v, added in token order. One thread per table element, and
// every element is written (0 for a token that never occurs), as the host does not clear the table.
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
    const std::uint64_t i = globalThreadIndex();
    if (i >= vocabulary * width) {
        return;
    }
    const std::uint64_t token = i / width;
    const std::uint64_t column = i % width;
    double sum = 0.0;
    for (std::uint64_t t = 0; t < tokenCount; ++t) {
        if (tokens[t] == token) {
            sum += outputGradient[t * width + column];
        }
    }
    tableGradient[i] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
