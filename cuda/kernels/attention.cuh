// Causal grouped-query attention of the forward pass (reference/attention.*) with per-row lengths,
// one thread per output element: the thread recomputes its query row's scores (dot, then scale),
// the row maximum and normaliser, and sums value * probability over the key positions in order.
// Output rows at or beyond their batch row's length are 0.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void trainingAttentionKernel(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                        const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                        const double* __restrict__ value,           // [rows, kvHeads * headDim]
                                        double* __restrict__ output,                // [rows, queryHeads * headDim]
                                        const std::uint64_t* __restrict__ lengths,  // [batch]
                                        std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                        std::uint64_t kvHeads, std::uint64_t headDim) {
    const std::uint64_t element = globalThreadIndex();
    if (element >= batch * sequence * queryHeads * headDim) {
        return;
    }
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    const auto [row, b, i, h, d] = HeadElement::of(element, sequence, queryHeads, headDim);
    if (i >= lengths[b]) {
        output[element] = 0.0;
        return;
    }
    const double* queryRow = query + row * layout.queryStride + h * headDim;
    const std::uint64_t kvStart = b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
    const double* keys = key + kvStart;
    const double* values = value + kvStart;
    const auto score = [&](std::uint64_t j) {
        return dotProduct(queryRow, keys + j * layout.kvStride, headDim) * layout.scale;
    };
    double maximum = -HUGE_VAL;
    for (std::uint64_t j = 0; j <= i; ++j) {
        const double s = score(j);
        maximum = s > maximum ? s : maximum;
    }
    double normalizer = 0.0;
    for (std::uint64_t j = 0; j <= i; ++j) {
        normalizer += exp(score(j) - maximum);
    }
    double sum = 0.0;
    for (std::uint64_t j = 0; j <= i; ++j) {
        sum += values[j * layout.kvStride + d] * (exp(score(j) - maximum) / normalizer);
    }
    output[element] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
