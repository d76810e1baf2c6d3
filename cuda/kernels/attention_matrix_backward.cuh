// The trainer's attention backward through explicit matrices: one thread per (batch row, query
// head, query position) stores that row of the probabilities P and of the score gradients dS, then
// the query, key and value gradients are plain sums over them. In the GPU form each thread sums one
// gradient element; on the CPU device a thread sums a head row's run of them side by side, each
// element in the same order, so both give the same bits. Matrices are [batch, queryHeads, sequence,
// sequence]; every entry is written, 0 beyond the causal limit and on padding rows, so the gradient
// sums need no masks of their own. With dP = dO V^T and D_i = sum_j P_ij dP_ij:
//   dS_ij = P_ij (dP_ij - D_i),  dQ_i = scale * sum_j dS_ij K_j,
//   dK_j = scale * sum_{h, i} dS_ij Q_i,  dV_j = sum_{h, i} P_ij dO_i.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/attention_row_gradient.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

VESTRA_VECTOR_LOOPS __global__ void attentionStatisticsKernel(
    const double* __restrict__ query,           // [rows, queryHeads * headDim]
    const double* __restrict__ key,             // [rows, kvHeads * headDim]
    const double* __restrict__ value,           // [rows, kvHeads * headDim]
    const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
    double* __restrict__ probabilities,         // [batch, queryHeads, seq, seq]
    double* __restrict__ scoreGradients,        // [batch, queryHeads, seq, seq]
    const std::uint64_t* __restrict__ lengths,  // [batch]
    std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
    std::uint64_t headDim) {
    const std::uint64_t matrixRow = globalThreadIndex();  // (b * queryHeads + h) * sequence + i
    if (matrixRow >= batch * queryHeads * sequence) {
        return;
    }
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    const std::uint64_t i = matrixRow % sequence;
    const std::uint64_t h = matrixRow / sequence % queryHeads;
    const std::uint64_t b = matrixRow / sequence / queryHeads;
    double* p = probabilities + matrixRow * sequence;
    double* dS = scoreGradients + matrixRow * sequence;
    const std::uint64_t active = i < lengths[b] ? i + 1 : 0;
    const std::uint64_t queryOffset = (b * sequence + i) * layout.queryStride + h * headDim;
    const double* queryRow = query + queryOffset;
    const double* gradientRow = outputGradient + queryOffset;
    const std::uint64_t kvStart = b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
    dispatchHeadWidth(headDim, [&](auto width) {
        softmaxRowGradient(
            p, dS,
            AttentionRowOperands<decltype(width)::value>{queryRow, gradientRow, key + kvStart, value + kvStart, active},
            layout);
    });
    for (std::uint64_t j = active; j < sequence; ++j) {
        p[j] = 0.0;
        dS[j] = 0.0;
    }
}

// Columns first..end-1 of one head row: sum[c] += weight * row[first + c] for each, the loop
// unrolled when the run is a whole row of a fixed head width.
template <unsigned Width>
__device__ __forceinline__ void addScaledRun(double* __restrict__ sum, double weight, const double* __restrict__ row,
                                             std::uint64_t first, std::uint64_t end) {
    if constexpr (Width != 0) {
        for (unsigned c = 0; c < Width; ++c) {
            sum[c] += weight * row[c];
        }
    } else {
        for (std::uint64_t d = first; d < end; ++d) {
            sum[d - first] += weight * row[d];
        }
    }
}

// The largest head row a thread's run keeps in registers; wider heads run as the generic width.
inline constexpr unsigned kMatrixRunLimit = 64;

// Calls body(HeadWidth<W>{}, part) over a thread's run: a whole head row of a common width through
// that width's instantiation, another run the registers hold through the generic one, and a wider
// run one column at a time.
template <class Body>
__device__ __forceinline__ void forEachHeldRun(const RowRun& run, std::uint64_t headDim, const Body& body) {
    if (run.count == headDim && headDim <= kMatrixRunLimit) {
        dispatchHeadWidth(headDim, [&](auto width) { body(width, run); });
    } else if (run.count <= kMatrixRunLimit) {
        body(HeadWidth<0>{}, run);
    } else {
        for (std::uint64_t c = 0; c < run.count; ++c) {
            body(HeadWidth<0>{}, RowRun{run.row, run.column + c, 1});
        }
    }
}

// Each thread that starts a head row's run in its block (RowRun) sums the whole run: every element
// of the run over the same j, so the row of dS is read once for all of them.
template <unsigned Width>
VESTRA_VECTOR_LOOPS __device__ void matrixQueryRun(const double* __restrict__ key,
                                                   const double* __restrict__ scoreGradients,
                                                   double* __restrict__ queryGradient,
                                                   const std::uint64_t* __restrict__ lengths, const RowRun& run,
                                                   std::uint64_t sequence, std::uint64_t queryHeads,
                                                   std::uint64_t kvHeads, std::uint64_t headDim) {
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    // Head row run.row is (b * sequence + i) * queryHeads + h.
    const std::uint64_t h = run.row % queryHeads;
    const std::uint64_t b = run.row / queryHeads / sequence;
    const std::uint64_t i = run.row / queryHeads % sequence;
    const std::uint64_t active = i < lengths[b] ? i + 1 : 0;
    const double* dS = scoreGradients + ((b * queryHeads + h) * sequence + i) * sequence;
    const double* keys = key + b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
    double sum[Width != 0 ? Width : kMatrixRunLimit] = {};
    for (std::uint64_t j = 0; j < active; ++j) {
        addScaledRun<Width>(sum, dS[j], keys + j * layout.kvStride, run.column, run.column + run.count);
    }
    double* out = queryGradient + run.row * headDim;
    for (std::uint64_t c = 0; c < run.count; ++c) {
        out[run.column + c] = layout.scale * sum[c];
    }
}

__global__ void attentionMatrixQueryBackwardKernel(const double* __restrict__ key,  // [rows, kvHeads * headDim]
                                                   const double* __restrict__ scoreGradients,  // [b, qh, seq, seq]
                                                   double* __restrict__ queryGradient,  // [rows, queryHeads * headDim]
                                                   const std::uint64_t* __restrict__ lengths,  // [batch]
                                                   std::uint64_t batch, std::uint64_t sequence,
                                                   std::uint64_t queryHeads, std::uint64_t kvHeads,
                                                   std::uint64_t headDim) {
    if constexpr (kGpuKernelForms) {
        const std::uint64_t element = globalThreadIndex();
        if (element >= batch * sequence * queryHeads * headDim) {
            return;
        }
        const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
        const auto [row, b, i, h, d] = HeadElement::of(element, sequence, queryHeads, headDim);
        const std::uint64_t active = i < lengths[b] ? i + 1 : 0;
        const double* dS = scoreGradients + ((b * queryHeads + h) * sequence + i) * sequence;
        const double* keys = key + b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim + d;
        double sum = 0.0;
        for (std::uint64_t j = 0; j < active; ++j) {
            sum += dS[j] * keys[j * layout.kvStride];
        }
        queryGradient[element] = layout.scale * sum;
        return;
    }
    const RowRun run = RowRun::ofThread(batch * sequence * queryHeads * headDim, headDim);
    if (run.count == 0) {
        return;
    }
    forEachHeldRun(run, headDim, [&](auto width, const RowRun& part) {
        matrixQueryRun<decltype(width)::value>(key, scoreGradients, queryGradient, lengths, part, sequence, queryHeads,
                                               kvHeads, headDim);
    });
}

// The key and value gradients of one KV head row's run: every element over the same (h, i), so
// each entry of P and dS is read once for all of them.
template <unsigned Width>
VESTRA_VECTOR_LOOPS __device__ void matrixKeyValueRun(
    const double* __restrict__ query, const double* __restrict__ outputGradient,
    const double* __restrict__ probabilities, const double* __restrict__ scoreGradients,
    double* __restrict__ keyGradient, double* __restrict__ valueGradient, const std::uint64_t* __restrict__ lengths,
    const RowRun& run, std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    // Head row run.row is (b * sequence + j) * kvHeads + kv.
    const std::uint64_t kv = run.row % kvHeads;
    const std::uint64_t b = run.row / kvHeads / sequence;
    const std::uint64_t j = run.row / kvHeads % sequence;
    const std::uint64_t length = lengths[b];
    const std::uint64_t group = queryHeads / kvHeads;
    double keySum[Width != 0 ? Width : kMatrixRunLimit] = {};
    double valueSum[Width != 0 ? Width : kMatrixRunLimit] = {};
    for (std::uint64_t h = kv * group; h < (kv + 1) * group; ++h) {
        const std::uint64_t matrix = (b * queryHeads + h) * sequence;
        for (std::uint64_t i = j; i < length; ++i) {
            const std::uint64_t entry = (matrix + i) * sequence + j;
            const std::uint64_t queryOffset = (b * sequence + i) * layout.queryStride + h * headDim;
            addScaledRun<Width>(keySum, scoreGradients[entry], query + queryOffset, run.column, run.column + run.count);
            addScaledRun<Width>(valueSum, probabilities[entry], outputGradient + queryOffset, run.column,
                                run.column + run.count);
        }
    }
    const std::uint64_t offset = run.row * headDim + run.column;
    for (std::uint64_t c = 0; c < run.count; ++c) {
        keyGradient[offset + c] = layout.scale * keySum[c];
        valueGradient[offset + c] = valueSum[c];
    }
}

__global__ void attentionMatrixKeyValueBackwardKernel(
    const double* __restrict__ query,           // [rows, queryHeads * headDim]
    const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
    const double* __restrict__ probabilities,   // [batch, queryHeads, sequence, sequence]
    const double* __restrict__ scoreGradients,  // [batch, queryHeads, sequence, sequence]
    double* __restrict__ keyGradient,           // [rows, kvHeads * headDim]
    double* __restrict__ valueGradient,         // [rows, kvHeads * headDim]
    const std::uint64_t* __restrict__ lengths,  // [batch]
    std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
    std::uint64_t headDim) {
    if constexpr (kGpuKernelForms) {
        const std::uint64_t element = globalThreadIndex();
        if (element >= batch * sequence * kvHeads * headDim) {
            return;
        }
        const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
        const auto [row, b, j, kv, d] = HeadElement::of(element, sequence, kvHeads, headDim);
        const std::uint64_t length = lengths[b];
        const std::uint64_t group = queryHeads / kvHeads;
        double keySum = 0.0;
        double valueSum = 0.0;
        for (std::uint64_t h = kv * group; h < (kv + 1) * group; ++h) {
            const std::uint64_t matrix = (b * queryHeads + h) * sequence;
            for (std::uint64_t i = j; i < length; ++i) {
                const std::uint64_t entry = (matrix + i) * sequence + j;
                const std::uint64_t queryOffset = (b * sequence + i) * layout.queryStride + h * headDim + d;
                keySum += scoreGradients[entry] * query[queryOffset];
                valueSum += probabilities[entry] * outputGradient[queryOffset];
            }
        }
        keyGradient[element] = layout.scale * keySum;
        valueGradient[element] = valueSum;
        return;
    }
    const RowRun run = RowRun::ofThread(batch * sequence * kvHeads * headDim, headDim);
    if (run.count == 0) {
        return;
    }
    forEachHeldRun(run, headDim, [&](auto width, const RowRun& part) {
        matrixKeyValueRun<decltype(width)::value>(query, outputGradient, probabilities, scoreGradients, keyGradient,
                                                  valueGradient, lengths, part, sequence, queryHeads, kvHeads, headDim);
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
