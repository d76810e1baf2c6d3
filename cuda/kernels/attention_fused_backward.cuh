// The fused attention backward (the gradients of reference/attention.*, whose maths
// attention_backward.cuh states): one block per query row for the query gradient, one block per
// (batch row, KV head) for the key and value gradients, their softmax rows held in shared memory.
// Each kernel writes every element of its output (the buffers are not cleared). Include from one .cu
// only.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/kernels/attention_backward.cuh"
#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/attention_row_gradient.cuh"
#include "cuda/kernels/thread_index.cuh"
#include "cuda/launch.h"

namespace Halcyne::Core::Vestra {
namespace {

// Every softmax row is summed in key order as one thread would
// (attention_row_gradient.cuh), so the GPU forms, which spread a row's keys over the block, give the
// bits of the CPU device's forms, where one thread takes a whole row (the query-row blocks then need
// no barrier at all, and a KV-head block meets twice per chunk of query rows and query head).

// Where the block of query row i of head h in batch row b (block (b * queryHeads + h) * sequence + i)
// finds its operands and the gradient row it writes; a row at or beyond its batch row's length is
// padding, whose gradient is 0.
template <unsigned Width>
struct QueryRowBlock {
    AttentionRowLayout layout;
    AttentionRowOperands<Width> row;
    double* gradientOut;  // [headDim]
    bool padding;

    __device__ static QueryRowBlock of(const double* __restrict__ query, const double* __restrict__ key,
                                       const double* __restrict__ value, const double* __restrict__ outputGradient,
                                       double* __restrict__ queryGradient, const std::uint64_t* __restrict__ lengths,
                                       std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
                                       std::uint64_t headDim) {
        const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
        const std::uint64_t block = blockIdx.x;
        const std::uint64_t i = block % sequence;
        const std::uint64_t h = block / sequence % queryHeads;
        const std::uint64_t b = block / sequence / queryHeads;
        const std::uint64_t rowOffset = (b * sequence + i) * layout.queryStride + h * headDim;
        const std::uint64_t headStart = b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
        return {layout,
                {query + rowOffset, outputGradient + rowOffset, key + headStart, value + headStart, i + 1},
                queryGradient + rowOffset,
                i >= lengths[b]};
    }
};

// Block (b * queryHeads + h) * sequence + i computes query row i of head h in batch row b, holding P
// and dS in the dynamic shared memory (sequence * 16 bytes). In the CPU device's form its first
// thread does the whole row: a row has at most a few thousand multiply-adds (the fused path only
// runs where a KV head's gradients fit in shared memory), and the blocks are many.
template <unsigned Width>
VESTRA_VECTOR_LOOPS __device__ void queryRowBackward(const double* __restrict__ query, const double* __restrict__ key,
                                                     const double* __restrict__ value,
                                                     const double* __restrict__ outputGradient,
                                                     double* __restrict__ queryGradient,
                                                     const std::uint64_t* __restrict__ lengths, std::uint64_t sequence,
                                                     std::uint64_t queryHeads, std::uint64_t kvHeads,
                                                     std::uint64_t headDim) {
    const QueryRowBlock<Width> target = QueryRowBlock<Width>::of(query, key, value, outputGradient, queryGradient,
                                                                 lengths, sequence, queryHeads, kvHeads, headDim);
    const AttentionRowLayout& layout = target.layout;
    const AttentionRowOperands<Width>& row = target.row;
    double* gradientOut = target.gradientOut;
    const std::uint64_t i = row.count - 1;
    if (target.padding) {
        for (std::uint64_t d = 0; d < headDim; ++d) {
            gradientOut[d] = 0.0;
        }
        return;
    }
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

// The GPU form of queryRowBackward: the block's threads form the scores and dP of the row's keys
// side by side; the first warp takes their maximum; the threads exponentiate; the first thread adds
// the normalizer and the weighted sum in key order, as the CPU device's form does (a few dozen adds
// from shared memory); then the threads scale the row and sum one gradient element each. Like every
// GPU form it takes the generic head width (dispatchHeadWidth). Outside the GPU forms only a discarded
// branch names it.
[[maybe_unused]] __device__ void queryRowBackwardSpread(
    const double* __restrict__ query, const double* __restrict__ key, const double* __restrict__ value,
    const double* __restrict__ outputGradient, double* __restrict__ queryGradient,
    const std::uint64_t* __restrict__ lengths,
    double* __restrict__ moments,  // [3] in shared memory
    std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    const QueryRowBlock<0> target = QueryRowBlock<0>::of(query, key, value, outputGradient, queryGradient, lengths,
                                                         sequence, queryHeads, kvHeads, headDim);
    const AttentionRowLayout& layout = target.layout;
    const AttentionRowOperands<0>& row = target.row;
    double* gradientOut = target.gradientOut;
    if (target.padding) {
        for (std::uint64_t d = threadIdx.x; d < headDim; d += blockDim.x) {
            gradientOut[d] = 0.0;
        }
        return;
    }
    double* probability = dynamicSharedMemory<double>();  // [sequence]
    double* scoreGradient = probability + sequence;       // [sequence]
    for (std::uint64_t j = threadIdx.x; j < row.count; j += blockDim.x) {
        probability[j] = row.score(j, layout);
        scoreGradient[j] = row.probabilityGradient(j, layout);
    }
    __syncthreads();
    if (threadIdx.x < kWarpLanes) {
        double maximum = -HUGE_VAL;
        for (std::uint64_t j = threadIdx.x; j < row.count; j += kWarpLanes) {
            maximum = probability[j] > maximum ? probability[j] : maximum;
        }
        for (unsigned offset = kWarpLanes / 2; offset > 0; offset /= 2) {
            const double other = __shfl_xor_sync(kFullWarpMask, maximum, static_cast<int>(offset));
            maximum = other > maximum ? other : maximum;
        }
        if (threadIdx.x == 0) {
            moments[0] = maximum;
        }
    }
    __syncthreads();
    const double maximum = moments[0];
    for (std::uint64_t j = threadIdx.x; j < row.count; j += blockDim.x) {
        probability[j] = exp(probability[j] - maximum);
    }
    __syncthreads();
    if (threadIdx.x == 0) {
        double normalizer = 0.0;
        double weighted = 0.0;
        for (std::uint64_t j = 0; j < row.count; ++j) {
            normalizer += probability[j];
            weighted += probability[j] * scoreGradient[j];
        }
        moments[1] = normalizer;
        moments[2] = weighted / normalizer;
    }
    __syncthreads();
    const double normalizer = moments[1];
    const double gradientMean = moments[2];
    for (std::uint64_t j = threadIdx.x; j < row.count; j += blockDim.x) {
        probability[j] /= normalizer;
        scoreGradient[j] = probability[j] * (scoreGradient[j] - gradientMean);
    }
    __syncthreads();
    for (std::uint64_t d = threadIdx.x; d < headDim; d += blockDim.x) {
        double sum = 0.0;
        for (std::uint64_t j = 0; j < row.count; ++j) {
            sum += scoreGradient[j] * row.keys[j * layout.kvStride + d];
        }
        gradientOut[d] = layout.scale * sum;
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
    if constexpr (kGpuKernelForms) {
        VESTRA_SHARED_ARRAY(double, moments, 3);
        queryRowBackwardSpread(query, key, value, outputGradient, queryGradient, lengths, moments, sequence, queryHeads,
                               kvHeads, headDim);
        return;
    }
    if (threadIdx.x != 0) {
        return;
    }
    dispatchHeadWidth(headDim, [&](auto width) {
        queryRowBackward<decltype(width)::value>(query, key, value, outputGradient, queryGradient, lengths, sequence,
                                                 queryHeads, kvHeads, headDim);
    });
}

VESTRA_STATIC_SHARED_BYTES(attentionQueryRowBackwardKernel, kGpuKernelForms ? 3 * sizeof(double) : 0);

// Adds the contributions of query rows max(j, first)..end-1 of head `head` to columns
// columnFirst..columnEnd-1 of key row j's sums (the key row's dS_ij Q_i and P_ij dO_i, in increasing
// i), from the chunk's moments. With a fixed head width the whole row's sums are carried in
// registers between the loads and the stores of the shared rows.
template <unsigned Width, class RowOperands>
__device__ __forceinline__ void addQueryRows(double* __restrict__ keyRowSum, double* __restrict__ valueRowSum,
                                             std::uint64_t j, std::uint64_t first, std::uint64_t end,
                                             std::uint64_t columnFirst, std::uint64_t columnEnd,
                                             const double* chunkMaximum, const double* chunkNormalizer,
                                             const double* chunkGradientMean, const RowOperands& rowOperands,
                                             const AttentionRowLayout& layout) {
    const auto addRows = [&](double* keyAcc, double* valueAcc, std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t i = j > first ? j : first; i < end; ++i) {
            const auto row = rowOperands(i);
            const SoftmaxRowMoments moments{chunkMaximum[i - first], chunkNormalizer[i - first],
                                            chunkGradientMean[i - first]};
            const double p = moments.probability(row.score(j, layout));
            const double dS = p * (row.probabilityGradient(j, layout) - moments.gradientMean);
            for (std::uint64_t d = from; d < to; ++d) {
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
        addRows(keyAcc, valueAcc, 0, Width);
        for (unsigned d = 0; d < Width; ++d) {
            keyRowSum[d] = keyAcc[d];
            valueRowSum[d] = valueAcc[d];
        }
    } else {
        addRows(keyRowSum, valueRowSum, columnFirst, columnEnd);
    }
}

// Block b * kvHeads + kv accumulates the key and value gradients of KV head kv in batch row b over
// every query head of its group and every query position, in that order. Query rows go in chunks of
// at most kAttentionBackwardBlock: thread t first takes the moments of the chunk's row t, then, after
// a barrier, every thread adds the chunk's rows into the sums it owns: on the CPU device whole key
// rows j = t (mod blockDim.x), in the GPU form the elements e = t (mod blockDim.x) of the
// [sequence, headDim] sums, so that every thread works whatever the head width and holds one sum of
// each kind at a time (each element forms the scores and dP it needs itself; the threads of a key
// row read the same query and key rows at once). Either way each element adds over the same query
// rows in the same order. Dynamic shared memory: (headDim + 1) * sequence * 16 bytes.
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
    for (std::uint64_t e = threadIdx.x; e < headElements; e += blockDim.x) {
        keySum[e] = 0.0;
        valueSum[e] = 0.0;
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
            if constexpr (kGpuKernelForms) {
                for (std::uint64_t e = threadIdx.x; e < end * headDim; e += blockDim.x) {
                    const std::uint64_t j = e / headDim;
                    addQueryRows<Width>(keySum + j * headDim, valueSum + j * headDim, j, first, end, e % headDim,
                                        e % headDim + 1, chunkMaximum, chunkNormalizer, chunkGradientMean, rowOperands,
                                        layout);
                }
            } else {
                for (std::uint64_t j = threadIdx.x; j < end; j += blockDim.x) {
                    addQueryRows<Width>(keySum + j * headDim, valueSum + j * headDim, j, first, end, 0, headDim,
                                        chunkMaximum, chunkNormalizer, chunkGradientMean, rowOperands, layout);
                }
            }
            // The next chunk overwrites the moments read above.
            __syncthreads();
        }
    }
    for (std::uint64_t e = threadIdx.x; e < headElements; e += blockDim.x) {
        const std::uint64_t offset = (b * sequence + e / headDim) * layout.kvStride + kv * headDim + e % headDim;
        keyGradient[offset] = layout.scale * keySum[e];
        valueGradient[offset] = valueSum[e];
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
