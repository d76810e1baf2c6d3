// The trainer's attention backward through explicit matrices: one thread per (batch row, query
// head, query position) stores that row of the probabilities P and of the score gradients dS, then
// the query, key and value gradients are plain sums over them. Matrices are [batch, queryHeads,
// sequence, sequence]; every entry is written, 0 beyond the causal limit and on padding rows, so
// the gradient sums need no masks of their own. With dP = dO V^T and D_i = sum_j P_ij dP_ij:
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

__global__ void attentionStatisticsKernel(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                          const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                          const double* __restrict__ value,           // [rows, kvHeads * headDim]
                                          const double* __restrict__ outputGradient,  // [rows, queryHeads * headDim]
                                          double* __restrict__ probabilities,         // [batch, queryHeads, seq, seq]
                                          double* __restrict__ scoreGradients,        // [batch, queryHeads, seq, seq]
                                          const std::uint64_t* __restrict__ lengths,  // [batch]
                                          std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                          std::uint64_t kvHeads, std::uint64_t headDim) {
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
    softmaxRowGradient(p, dS, {queryRow, gradientRow, key + kvStart, value + kvStart, active}, layout);
    for (std::uint64_t j = active; j < sequence; ++j) {
        p[j] = 0.0;
        dS[j] = 0.0;
    }
}

__global__ void attentionMatrixQueryBackwardKernel(const double* __restrict__ key,  // [rows, kvHeads * headDim]
                                                   const double* __restrict__ scoreGradients,  // [b, qh, seq, seq]
                                                   double* __restrict__ queryGradient,  // [rows, queryHeads * headDim]
                                                   const std::uint64_t* __restrict__ lengths,  // [batch]
                                                   std::uint64_t batch, std::uint64_t sequence,
                                                   std::uint64_t queryHeads, std::uint64_t kvHeads,
                                                   std::uint64_t headDim) {
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
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
