// The softmax backward of one causal attention row, computed by one thread: the row's maximum, its
// normalizer and D_i = sum_j P_ij dP_ij, taken as (sum_j e_ij dP_ij) / normalizer with
// e_ij = exp(S_ij - maximum) so that one pass gives both sums. Every sum runs over the key positions
// in increasing order from 0.0, so every kernel that uses these helpers gives the same bits for the
// same row. A thread that owns a whole row needs no barrier and no reduction across the block.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/exponentials.cuh"

namespace Halcyne::Core::Vestra {
namespace {

// Where query row i of head h meets its KV head's key and value rows 0..count-1; Width is the head
// width when fixed at compile time (HeadWidth).
template <unsigned Width = 0>
struct AttentionRowOperands {
    const double* queryRow;     // [headDim]
    const double* gradientRow;  // [headDim], dO_i
    const double* keys;         // [count, kvStride], key row 0 of the batch row at the KV head
    const double* values;       // [count, kvStride]
    std::uint64_t count;        // i + 1, the causal key positions

    __device__ double score(std::uint64_t j, const AttentionRowLayout& layout) const {
        return layout.scale * dotProduct<Width>(queryRow, keys + j * layout.kvStride, layout.headDim);
    }
    __device__ double probabilityGradient(std::uint64_t j, const AttentionRowLayout& layout) const {
        return dotProduct<Width>(gradientRow, values + j * layout.kvStride, layout.headDim);
    }
};

// What P_ij and dS_ij are made of: P_ij = exp(S_ij - maximum) / normalizer and
// dS_ij = P_ij (dP_ij - gradientMean).
struct SoftmaxRowMoments {
    double maximum;
    double normalizer;
    double gradientMean;

    __device__ double probability(double score) const { return exp(score - maximum) / normalizer; }
};

// Writes P_ij to probability[j] and dS_ij to scoreGradient[j] for j < count.
template <unsigned Width>
__device__ inline void softmaxRowGradient(double* __restrict__ probability,    // [count]
                                          double* __restrict__ scoreGradient,  // [count]
                                          const AttentionRowOperands<Width>& row, const AttentionRowLayout& layout) {
    double maximum = -HUGE_VAL;
    for (std::uint64_t j = 0; j < row.count; ++j) {
        probability[j] = row.score(j, layout);
        scoreGradient[j] = row.probabilityGradient(j, layout);
        maximum = probability[j] > maximum ? probability[j] : maximum;
    }
    exponentiate(probability, maximum, row.count);
    double normalizer = 0.0;
    double weighted = 0.0;
    for (std::uint64_t j = 0; j < row.count; ++j) {
        normalizer += probability[j];
        weighted += probability[j] * scoreGradient[j];
    }
    const double gradientMean = weighted / normalizer;
    for (std::uint64_t j = 0; j < row.count; ++j) {
        probability[j] /= normalizer;
        scoreGradient[j] = probability[j] * (scoreGradient[j] - gradientMean);
    }
}

// The same row's moments without storing the row: the scores are formed again in each pass, the
// same way, so P_ij and dS_ij rebuilt from the moments equal those softmaxRowGradient stores.
template <unsigned Width>
__device__ inline SoftmaxRowMoments softmaxRowMoments(const AttentionRowOperands<Width>& row,
                                                      const AttentionRowLayout& layout) {
    SoftmaxRowMoments moments{-HUGE_VAL, 0.0, 0.0};
    for (std::uint64_t j = 0; j < row.count; ++j) {
        const double score = row.score(j, layout);
        moments.maximum = score > moments.maximum ? score : moments.maximum;
    }
    double weighted = 0.0;
    for (std::uint64_t j = 0; j < row.count; ++j) {
        const double e = exp(row.score(j, layout) - moments.maximum);
        moments.normalizer += e;
        weighted += e * row.probabilityGradient(j, layout);
    }
    moments.gradientMean = weighted / moments.normalizer;
    return moments;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
