// Two trainer kernels this branch replaced, kept only so that the benchmarks can time them beside
// the current ones: the gradient-norm partial sums by a barrier per tree level, and the attention
// forward with one thread per output element, each recomputing its row's softmax. Device source
// for bench/ only.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/thread_index.cuh"
#include "cuda/launch.h"

namespace Halcyne::Core::Vestra::Previous {
namespace {

// The squares of values[i] * scale summed by a pairwise tree over each 256-element block, one
// barrier per level.
__global__ void squaredNormPartialKernel(const double* values, std::uint64_t count, double scale, double* partials) {
    VESTRA_SHARED_ARRAY(double, squares, kElementBlock);
    const std::uint64_t i = globalThreadIndex();
    const double scaled = i < count ? values[i] * scale : 0.0;
    squares[threadIdx.x] = scaled * scaled;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (threadIdx.x < stride) {
            squares[threadIdx.x] += squares[threadIdx.x + stride];
        }
        __syncthreads();
    }
    if (threadIdx.x == 0) {
        partials[blockIdx.x] = squares[0];
    }
}
VESTRA_STATIC_SHARED_BYTES(squaredNormPartialKernel, kElementBlock * sizeof(double));

// query [rows, queryHeads * headDim], key and value [rows, kvHeads * headDim], output like query.
__global__ void trainingAttentionKernel(const double* query, const double* key, const double* value, double* output,
                                        const std::uint64_t* lengths, std::uint64_t batch, std::uint64_t sequence,
                                        std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    const std::uint64_t element = globalThreadIndex();
    const auto [row, b, i, h, d] = HeadElement::of(element, sequence, queryHeads, headDim);
    if (element < batch * sequence * queryHeads * headDim && i >= lengths[b]) {
        output[element] = 0.0;
    }
    if (element >= batch * sequence * queryHeads * headDim || i >= lengths[b]) {
        return;
    }
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    const double* queryRow = query + row * layout.queryStride + h * headDim;
    const std::uint64_t kvStart = b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
    const auto score = [&](std::uint64_t j) {
        return dotProduct(queryRow, key + kvStart + j * layout.kvStride, headDim) * layout.scale;
    };
    double maximum = -HUGE_VAL;
    for (std::uint64_t j = 0; j <= i; ++j) {
        maximum = score(j) > maximum ? score(j) : maximum;
    }
    double normalizer = 0.0;
    for (std::uint64_t j = 0; j <= i; ++j) {
        normalizer += exp(score(j) - maximum);
    }
    double sum = 0.0;
    for (std::uint64_t j = 0; j <= i; ++j) {
        sum += value[kvStart + j * layout.kvStride + d] * (exp(score(j) - maximum) / normalizer);
    }
    output[element] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Previous
