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

// Every attention backward kernel runs 128-thread blocks; the KV-head kernel also holds one double
// per thread in static shared memory (1024 bytes), which counts against the per-block limit
// together with its dynamic shared memory.
constexpr unsigned kAttentionBackwardBlock = 128;
constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------------------------
// Fused path: one block per query row for the query gradient, one block per (batch row, KV head)
// for the key and value gradients. Softmax rows are reduced by the one thread that owns them, in
// key order (attention_row_gradient.cuh), never across threads: the query-row blocks need no
// barrier at all, and a KV-head block meets twice per chunk of query rows and query head.

// Block (b * queryHeads + h) * sequence + i computes query row i of head h in batch row b; its first
// thread does the whole row, holding P and dS in the dynamic shared memory (sequence * 16 bytes).
// A row has at most a few thousand multiply-adds (the fused path only runs where a KV head's
// gradients fit in shared memory), and the blocks are many.
template <unsigned Width>
VESTRA_VECTOR_LOOPS __device__ void queryRowBackward(const double* __restrict__ query, const double* __restrict__ key,
                                                     const double* __restrict__ value,
                                                     const double* __restrict__ outputGradient,
                                                     double* __restrict__ queryGradient,
                                                     const std::uint64_t* __restrict__ lengths, std::uint64_t sequence,
                                                     std::uint64_t queryHeads, std::uint64_t kvHeads,
                                                     std::uint64_t headDim) {
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    const std::uint64_t block = blockIdx.x;
    const std::uint64_t i = block % sequence;
    const std::uint64_t h = block / sequence % queryHeads;
    const std::uint64_t b = block / sequence / queryHeads;
    const std::uint64_t rowOffset = (b * sequence + i) * layout.queryStride + h * headDim;
    double* gradientOut = queryGradient + rowOffset;
    if (i >= lengths[b]) {
        for (std::uint64_t d = 0; d < headDim; ++d) {
            gradientOut[d] = 0.0;
        }
        return;
    }
    const std::uint64_t headStart = b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
    const AttentionRowOperands<Width> row{query + rowOffset, outputGradient + rowOffset, key + headStart,
                                          value + headStart, i + 1};
    double* probability = dynamicSharedMemory<double>();  // [sequence]
    double* scoreGradient = probability + sequence;       // [sequence]
    softmaxRowGradient(probability, scoreGradient, row, layout);
    // Every element's sum runs over j in increasing order from 0.0; the row's elements go side by side,
    // in registers when the head width is fixed.
    const auto addKeys = [&](double* sum) {
        const std::uint64_t width = HeadWidth<Width>::of(headDim);
        for (std::uint64_t j = 0; j <= i; ++j) {
            const double* keyRow = row.keys + j * layout.kvStride;
            for (std::uint64_t d = 0; d < width; ++d) {
                sum[d] += scoreGradient[j] * keyRow[d];
            }
        }
    };
    if constexpr (Width != 0) {
        double sum[Width] = {};
        addKeys(sum);
        for (unsigned d = 0; d < Width; ++d) {
            gradientOut[d] = layout.scale * sum[d];
        }
    } else {
        for (std::uint64_t d = 0; d < headDim; ++d) {
            gradientOut[d] = 0.0;
        }
        addKeys(gradientOut);
        for (std::uint64_t d = 0; d < headDim; ++d) {
            gradientOut[d] = layout.scale * gradientOut[d];
        }
    }
}

__global__ void attentionQueryRowBackwardKernel(
    const double* __restrict__ query,           // [rows, queryHeads * headDim]
    const double* __restrict__ key,             // [rows, kvHeads * headDim]
    const double* __restrict__ value,           // [rows, kvHeads * headDim]
    const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
    double* __restrict__ queryGradient,         // [rows, queryHeads * headDim]
    const std::uint64_t* __restrict__ lengths,  // [batch]
    std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    if (threadIdx.x != 0) {
        return;
    }
    dispatchHeadWidth(headDim, [&](auto width) {
        queryRowBackward<decltype(width)::value>(query, key, value, outputGradient, queryGradient, lengths, sequence,
                                                 queryHeads, kvHeads, headDim);
    });
}

// Adds the contributions of query rows max(j, first)..end-1 of head `head` to key row j's sums (the
// key row's dS_ij Q_i and P_ij dO_i, in increasing i), from the chunk's moments. With a fixed head
// width the sums are carried in registers between the loads and the stores of the shared rows.
template <unsigned Width, class RowOperands>
__device__ __forceinline__ void addQueryRows(double* __restrict__ keyRowSum, double* __restrict__ valueRowSum,
                                             std::uint64_t j, std::uint64_t first, std::uint64_t end,
                                             const double* chunkMaximum, const double* chunkNormalizer,
                                             const double* chunkGradientMean, const RowOperands& rowOperands,
                                             const AttentionRowLayout& layout) {
    const auto addRows = [&](double* keyAcc, double* valueAcc) {
        const std::uint64_t width = HeadWidth<Width>::of(layout.headDim);
        for (std::uint64_t i = j > first ? j : first; i < end; ++i) {
            const auto row = rowOperands(i);
            const SoftmaxRowMoments moments{chunkMaximum[i - first], chunkNormalizer[i - first],
                                            chunkGradientMean[i - first]};
            const double p = moments.probability(row.score(j, layout));
            const double dS = p * (row.probabilityGradient(j, layout) - moments.gradientMean);
            for (std::uint64_t d = 0; d < width; ++d) {
                keyAcc[d] += dS * row.queryRow[d];
                valueAcc[d] += p * row.gradientRow[d];
            }
        }
    };
    if constexpr (Width != 0) {
        double keyAcc[Width];
        double valueAcc[Width];
        for (unsigned d = 0; d < Width; ++d) {
            keyAcc[d] = keyRowSum[d];
            valueAcc[d] = valueRowSum[d];
        }
        addRows(keyAcc, valueAcc);
        for (unsigned d = 0; d < Width; ++d) {
            keyRowSum[d] = keyAcc[d];
            valueRowSum[d] = valueAcc[d];
        }
    } else {
        addRows(keyRowSum, valueRowSum);
    }
}

// Block b * kvHeads + kv accumulates the key and value gradients of KV head kv in batch row b over
// every query head of its group and every query position, in that order. Thread t owns key rows
// j = t (mod blockDim.x) of both sums from the first touch to the write-out. Query rows go in
// chunks of at most kAttentionBackwardBlock: thread t first takes the moments of the chunk's row t,
// then, after a barrier, every thread adds the chunk's rows into the key rows it owns. Dynamic
// shared memory: (headDim + 1) * sequence * 16 bytes.
template <unsigned Width>
VESTRA_VECTOR_LOOPS __device__ void kvHeadBackward(
    const double* __restrict__ query, const double* __restrict__ key, const double* __restrict__ value,
    const double* __restrict__ outputGradient, double* __restrict__ keyGradient, double* __restrict__ valueGradient,
    const std::uint64_t* __restrict__ lengths, double* __restrict__ chunkGradientMean, std::uint64_t sequence,
    std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    const std::uint64_t kv = blockIdx.x % kvHeads;
    const std::uint64_t b = blockIdx.x / kvHeads;
    const std::uint64_t length = lengths[b];
    const std::uint64_t group = queryHeads / kvHeads;
    const std::uint64_t chunk = blockDim.x < kAttentionBackwardBlock ? blockDim.x : kAttentionBackwardBlock;
    const std::uint64_t headElements = sequence * headDim;
    double* keySum = dynamicSharedMemory<double>();     // [sequence, headDim]
    double* valueSum = keySum + headElements;           // [sequence, headDim]
    double* chunkMaximum = valueSum + headElements;     // [sequence], the first `chunk` used
    double* chunkNormalizer = chunkMaximum + sequence;  // [sequence], likewise
    for (std::uint64_t j = threadIdx.x; j < sequence; j += blockDim.x) {
        for (std::uint64_t d = 0; d < headDim; ++d) {
            keySum[j * headDim + d] = 0.0;
            valueSum[j * headDim + d] = 0.0;
        }
    }
    const std::uint64_t headStart = b * sequence * layout.kvStride + kv * headDim;
    const double* keys = key + headStart;
    const double* values = value + headStart;
    for (std::uint64_t h = kv * group; h < (kv + 1) * group; ++h) {
        const auto rowOperands = [&](std::uint64_t i) {
            const std::uint64_t queryOffset = (b * sequence + i) * layout.queryStride + h * headDim;
            return AttentionRowOperands<Width>{query + queryOffset, outputGradient + queryOffset, keys, values, i + 1};
        };
        for (std::uint64_t first = 0; first < length; first += chunk) {
            const std::uint64_t end = first + chunk < length ? first + chunk : length;
            if (first + threadIdx.x < end) {
                const SoftmaxRowMoments moments = softmaxRowMoments(rowOperands(first + threadIdx.x), layout);
                chunkMaximum[threadIdx.x] = moments.maximum;
                chunkNormalizer[threadIdx.x] = moments.normalizer;
                chunkGradientMean[threadIdx.x] = moments.gradientMean;
            }
            __syncthreads();
            for (std::uint64_t j = threadIdx.x; j < end; j += blockDim.x) {
                addQueryRows<Width>(keySum + j * headDim, valueSum + j * headDim, j, first, end, chunkMaximum,
                                    chunkNormalizer, chunkGradientMean, rowOperands, layout);
            }
            // The next chunk overwrites the moments read above.
            __syncthreads();
        }
    }
    for (std::uint64_t j = threadIdx.x; j < sequence; j += blockDim.x) {
        const std::uint64_t offset = (b * sequence + j) * layout.kvStride + kv * headDim;
        for (std::uint64_t d = 0; d < headDim; ++d) {
            keyGradient[offset + d] = layout.scale * keySum[j * headDim + d];
            valueGradient[offset + d] = valueSum[j * headDim + d];
        }
    }
}

__global__ void attentionKvHeadBackwardKernel(
    const double* __restrict__ query,           // [rows, queryHeads * headDim]
    const double* __restrict__ key,             // [rows, kvHeads * headDim]
    const double* __restrict__ value,           // [rows, kvHeads * headDim]
    const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
    double* __restrict__ keyGradient,           // [rows, kvHeads * headDim]
    double* __restrict__ valueGradient,         // [rows, kvHeads * headDim]
    const std::uint64_t* __restrict__ lengths,  // [batch]
    std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    VESTRA_SHARED_ARRAY(double, chunkGradientMean, kAttentionBackwardBlock);
    dispatchHeadWidth(headDim, [&](auto width) {
        kvHeadBackward<decltype(width)::value>(query, key, value, outputGradient, keyGradient, valueGradient, lengths,
                                               chunkGradientMean, sequence, queryHeads, kvHeads, headDim);
    });
}
VESTRA_STATIC_SHARED_BYTES(attentionKvHeadBackwardKernel, kAttentionBackwardBlock * sizeof(double));

}  // namespace
}  // namespace Halcyne::Core::Vestra
