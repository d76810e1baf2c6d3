// Gradients of the causal grouped-query attention of reference/attention.*: query head h reads KV
// head h / (queryHeads / kvHeads), query position i attends to key positions 0..i, and every key,
// value or query row at or beyond its batch row's length gets a zero gradient. Each kernel writes
// every element of its output (the buffers are not cleared). Include from one .cu only.
//
// With P the softmax of the scaled scores S = scale * Q K^T and dP = dO V^T, per query row i:
//   D_i = sum_j P_ij dP_ij,  dS_ij = P_ij (dP_ij - D_i),
//   dQ_i = scale * sum_j dS_ij K_j,  dK_j = scale * sum_{h, i} dS_ij Q_i,  dV_j = sum_{h, i} P_ij dO_i.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/attention_row_gradient.cuh"
#include "cuda/kernels/thread_index.cuh"
#include "cuda/launch.h"

namespace Halcyne::Core::Vestra {
namespace {

// Every attention backward kernel runs 128-thread blocks; the fused KV-head kernel also holds one
// double per thread in static shared memory (1024 bytes), which counts against the per-block limit
// together with its dynamic shared memory (attention_fused_backward.cuh).
constexpr unsigned kAttentionBackwardBlock = 128;
constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();

// Element-parallel path: one thread per gradient element, no shared memory. Each thread recomputes
// the softmax statistics of every query row it needs, so the path serves any sequence length.

struct SoftmaxRowStatistics {
    double maximum;
    double normalizer;    // sum_j exp(S_ij - maximum)
    double gradientMean;  // D_i; 0 unless asked for
};

// Statistics of query row `queryRow` against key rows 0..count-1 (`keys` is key row 0 of the batch
// row at the query's KV head; `values` and `gradientRow` likewise, read only WithGradient), in one
// pass that rescales the running sums whenever the maximum grows.
template <bool WithGradient>
__device__ SoftmaxRowStatistics softmaxRowStatistics(const double* __restrict__ queryRow,     // [headDim]
                                                     const double* __restrict__ gradientRow,  // [headDim]
                                                     const double* __restrict__ keys,         // [count, kvStride]
                                                     const double* __restrict__ values,       // [count, kvStride]
                                                     std::uint64_t count, const AttentionRowLayout& layout) {
    double maximum = kNegativeInfinity;
    double normalizer = 0.0;
    double weighted = 0.0;
    for (std::uint64_t j = 0; j < count; ++j) {
        const double score = layout.scale * dotProduct(queryRow, keys + j * layout.kvStride, layout.headDim);
        if (score > maximum) {
            const double rescale = exp(maximum - score);
            normalizer *= rescale;
            weighted *= rescale;
            maximum = score;
        }
        const double e = exp(score - maximum);
        normalizer += e;
        if constexpr (WithGradient) {
            weighted += e * dotProduct(gradientRow, values + j * layout.kvStride, layout.headDim);
        }
    }
    return {maximum, normalizer, weighted / normalizer};
}

__device__ __forceinline__ double softmaxProbability(const double* __restrict__ queryRow,
                                                     const double* __restrict__ keyRow, const SoftmaxRowStatistics& row,
                                                     const AttentionRowLayout& layout) {
    return exp(layout.scale * dotProduct(queryRow, keyRow, layout.headDim) - row.maximum) / row.normalizer;
}

__global__ void attentionQueryBackwardKernel(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                             const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                             const double* __restrict__ value,           // [rows, kvHeads * headDim]
                                             const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
                                             double* __restrict__ queryGradient,         // [rows, queryHeads * headDim]
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
        queryGradient[element] = 0.0;
        return;
    }
    const std::uint64_t headOffset = h / (queryHeads / kvHeads) * headDim;
    const double* queryRow = query + row * layout.queryStride + h * headDim;
    const double* gradientRow = outputGradient + row * layout.queryStride + h * headDim;
    const double* keys = key + b * sequence * layout.kvStride + headOffset;
    const double* values = value + b * sequence * layout.kvStride + headOffset;
    const SoftmaxRowStatistics statistics =
        softmaxRowStatistics<true>(queryRow, gradientRow, keys, values, i + 1, layout);
    double sum = 0.0;
    for (std::uint64_t j = 0; j <= i; ++j) {
        const double* keyRow = keys + j * layout.kvStride;
        const double p = softmaxProbability(queryRow, keyRow, statistics, layout);
        const double dp = dotProduct(gradientRow, values + j * layout.kvStride, headDim);
        sum += p * (dp - statistics.gradientMean) * keyRow[d];
    }
    queryGradient[element] = layout.scale * sum;
}

// One key-gradient (KeyGradient) or value-gradient element: a sum over every query head of the KV
// head's group and every query position from the element's own to the row's length. The value
// gradient reads no values.
template <bool KeyGradient>
__device__ void keyValueHeadElement(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                    const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                    const double* __restrict__ value,           // [rows, kvHeads * headDim]
                                    const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
                                    double* __restrict__ gradient,              // [rows, kvHeads * headDim]
                                    const std::uint64_t* __restrict__ lengths,  // [batch]
                                    std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                    std::uint64_t kvHeads, std::uint64_t headDim) {
    const std::uint64_t element = globalThreadIndex();
    if (element >= batch * sequence * kvHeads * headDim) {
        return;
    }
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    const auto [row, b, j, kv, d] = HeadElement::of(element, sequence, kvHeads, headDim);
    const std::uint64_t length = lengths[b];
    const std::uint64_t group = queryHeads / kvHeads;
    const std::uint64_t headStart = b * sequence * layout.kvStride + kv * headDim;
    const double* keys = key + headStart;
    const double* values = KeyGradient ? value + headStart : nullptr;
    const double* keyRow = keys + j * layout.kvStride;
    double sum = 0.0;
    for (std::uint64_t h = kv * group; h < (kv + 1) * group; ++h) {
        for (std::uint64_t i = j; i < length; ++i) {
            const std::uint64_t queryOffset = (b * sequence + i) * layout.queryStride + h * headDim;
            const double* queryRow = query + queryOffset;
            const double* gradientRow = outputGradient + queryOffset;
            const SoftmaxRowStatistics statistics =
                softmaxRowStatistics<KeyGradient>(queryRow, gradientRow, keys, values, i + 1, layout);
            const double p = softmaxProbability(queryRow, keyRow, statistics, layout);
            if constexpr (KeyGradient) {
                const double dp = dotProduct(gradientRow, values + j * layout.kvStride, headDim);
                sum += p * (dp - statistics.gradientMean) * queryRow[d];
            } else {
                sum += p * gradientRow[d];
            }
        }
    }
    gradient[element] = KeyGradient ? layout.scale * sum : sum;
}

__global__ void attentionKeyBackwardKernel(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                           const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                           const double* __restrict__ value,           // [rows, kvHeads * headDim]
                                           const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
                                           double* __restrict__ keyGradient,           // [rows, kvHeads * headDim]
                                           const std::uint64_t* __restrict__ lengths,  // [batch]
                                           std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                           std::uint64_t kvHeads, std::uint64_t headDim) {
    keyValueHeadElement<true>(query, key, value, outputGradient, keyGradient, lengths, batch, sequence, queryHeads,
                              kvHeads, headDim);
}

__global__ void attentionValueBackwardKernel(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                             const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                             const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
                                             double* __restrict__ valueGradient,         // [rows, kvHeads * headDim]
                                             const std::uint64_t* __restrict__ lengths,  // [batch]
                                             std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                             std::uint64_t kvHeads, std::uint64_t headDim) {
    keyValueHeadElement<false>(query, key, nullptr, outputGradient, valueGradient, lengths, batch, sequence, queryHeads,
                               kvHeads, headDim);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
