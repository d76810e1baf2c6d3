// The embedding lookup of the forward pass (reference/forward.*), one thread per output element: a
// position below its row's length takes its token's table row, a padding position gets a zero row
// and its token is never read.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void trainingEmbeddingKernel(const std::uint32_t* __restrict__ tokens,   // [rows]
                                        const double* __restrict__ table,           // [vocabulary, width]
                                        double* __restrict__ output,                // [rows, width]
                                        const std::uint64_t* __restrict__ lengths,  // [rows / sequence]
                                        std::uint64_t rows, std::uint64_t sequence, std::uint64_t width) {
    const std::uint64_t i = globalThreadIndex();
    if (i >= rows * width) {
        return;
    }
    const std::uint64_t row = i / width;
    if (row % sequence >= lengths[row / sequence]) {
        output[i] = 0.0;
        return;
    }
    output[i] = table[std::uint64_t{tokens[row]} * width + i % width];
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
