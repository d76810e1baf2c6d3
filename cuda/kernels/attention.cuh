// Causal grouped-query attention of the forward pass (reference/attention.*) with per-row lengths:
// a head row's scores (dot, then scale), their maximum and normaliser, then each output as
// value * probability summed over the key positions in order from 0.0. Output rows at or beyond
// their batch row's length are 0. In the GPU form each thread computes one output, forming its head
// row's scores itself: the head row's threads read the same query and key rows at once, and their
// value loads are coalesced. On the CPU device the run of each head row inside a block is computed
// by one thread (RowRun), each score and its exponential once for the whole run. Every sum runs in
// the same order in both, so they give the same bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/attention_layout.cuh"
#include "cuda/kernels/exponentials.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

// One output element, as the GPU form computes it (at the generic head width, as every GPU form); outside
// the GPU forms only a discarded branch names it.
[[maybe_unused]] __device__ double trainingAttentionElement(
    const double* __restrict__ query, const double* __restrict__ key, const double* __restrict__ value,
    const std::uint64_t* __restrict__ lengths, const HeadElement& element, std::uint64_t sequence,
    std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    if (element.position >= lengths[element.b]) {
        return 0.0;
    }
    const double* queryRow = query + element.row * layout.queryStride + element.head * headDim;
    const std::uint64_t kvStart =
        element.b * sequence * layout.kvStride + element.head / (queryHeads / kvHeads) * headDim;
    const double* keys = key + kvStart;
    const double* values = value + kvStart + element.d;
    const auto score = [&](std::uint64_t j) {
        return dotProduct(queryRow, keys + j * layout.kvStride, headDim) * layout.scale;
    };
    double maximum = -HUGE_VAL;
    for (std::uint64_t j = 0; j <= element.position; ++j) {
        const double s = score(j);
        maximum = s > maximum ? s : maximum;
    }
    double normalizer = 0.0;
    for (std::uint64_t j = 0; j <= element.position; ++j) {
        normalizer += exp(score(j) - maximum);
    }
    double sum = 0.0;
    for (std::uint64_t j = 0; j <= element.position; ++j) {
        sum += values[j * layout.kvStride] * (exp(score(j) - maximum) / normalizer);
    }
    return sum;
}

// The keys of a head row whose scores the CPU form keeps (4 KiB of the fiber's stack).
inline constexpr std::uint64_t kHeldKeys = 512;

template <unsigned Width>
VESTRA_VECTOR_LOOPS __device__ void trainingAttentionRun(const double* __restrict__ query,
                                                         const double* __restrict__ key,
                                                         const double* __restrict__ value, double* __restrict__ output,
                                                         const std::uint64_t* __restrict__ lengths, const RowRun& run,
                                                         std::uint64_t sequence, std::uint64_t queryHeads,
                                                         std::uint64_t kvHeads, std::uint64_t headDim) {
    const AttentionRowLayout layout = AttentionRowLayout::of(queryHeads, kvHeads, headDim);
    // Head row run.row is (b * sequence + i) * queryHeads + h.
    const std::uint64_t row = run.row / queryHeads;
    const std::uint64_t h = run.row % queryHeads;
    const std::uint64_t b = row / sequence;
    const std::uint64_t i = row % sequence;
    const std::uint64_t first = run.column;
    const std::uint64_t end = first + run.count;
    double* out = output + run.row * headDim;  // [headDim], the head row
    if (i >= lengths[b]) {
        for (std::uint64_t d = first; d < end; ++d) {
            out[d] = 0.0;
        }
        return;
    }
    const double* queryRow = query + row * layout.queryStride + h * headDim;
    const std::uint64_t kvStart = b * sequence * layout.kvStride + h / (queryHeads / kvHeads) * headDim;
    const double* keys = key + kvStart;
    const double* values = value + kvStart;
    const auto score = [&](std::uint64_t j) {
        return dotProduct<Width>(queryRow, keys + j * layout.kvStride, headDim) * layout.scale;
    };
    // The row's scores, then its exponentials, are kept when it has at most kHeldKeys keys, so that
    // each is formed once; a longer row forms them again in each pass, the same way.
    double held[kHeldKeys];
    const bool holds = i < kHeldKeys;
    double maximum = -HUGE_VAL;
    double normalizer = 0.0;
    if (holds) {
        for (std::uint64_t j = 0; j <= i; ++j) {
            held[j] = score(j);
            maximum = held[j] > maximum ? held[j] : maximum;
        }
        exponentiate(held, maximum, i + 1);
        for (std::uint64_t j = 0; j <= i; ++j) {
            normalizer += held[j];
        }
    } else {
        for (std::uint64_t j = 0; j <= i; ++j) {
            const double s = score(j);
            maximum = s > maximum ? s : maximum;
        }
        for (std::uint64_t j = 0; j <= i; ++j) {
            normalizer += exp(score(j) - maximum);
        }
    }
    // Each output sums over j in order from 0.0, the run's outputs side by side (in registers for a
    // whole head row of a fixed width).
    const auto addValues = [&](double* sum, std::uint64_t count) {
        for (std::uint64_t j = 0; j <= i; ++j) {
            const double probability = (holds ? held[j] : exp(score(j) - maximum)) / normalizer;
            const double* valueRow = values + j * layout.kvStride + first;
            for (std::uint64_t c = 0; c < count; ++c) {
                sum[c] += valueRow[c] * probability;
            }
        }
    };
    if constexpr (Width != 0) {
        double sum[Width] = {};
        addValues(sum, Width);
        for (unsigned d = 0; d < Width; ++d) {
            out[d] = sum[d];
        }
    } else {
        for (std::uint64_t d = first; d < end; ++d) {
            out[d] = 0.0;
        }
        addValues(out + first, run.count);
    }
}

__global__ void trainingAttentionKernel(const double* __restrict__ query,           // [rows, queryHeads * headDim]
                                        const double* __restrict__ key,             // [rows, kvHeads * headDim]
                                        const double* __restrict__ value,           // [rows, kvHeads * headDim]
                                        double* __restrict__ output,                // [rows, queryHeads * headDim]
                                        const std::uint64_t* __restrict__ lengths,  // [batch]
                                        std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                        std::uint64_t kvHeads, std::uint64_t headDim) {
    if constexpr (kGpuKernelForms) {
        const std::uint64_t i = globalThreadIndex();
        if (i >= batch * sequence * queryHeads * headDim) {
            return;
        }
        output[i] =
            trainingAttentionElement(query, key, value, lengths, HeadElement::of(i, sequence, queryHeads, headDim),
                                     sequence, queryHeads, kvHeads, headDim);
        return;
    }
    const RowRun run = RowRun::ofThread(batch * sequence * queryHeads * headDim, headDim);
    if (run.count == 0) {
        return;
    }
    const auto body = [&](auto width) {
        trainingAttentionRun<decltype(width)::value>(query, key, value, output, lengths, run, sequence, queryHeads,
                                                     kvHeads, headDim);
    };
    if (run.count == headDim) {
        dispatchHeadWidth(headDim, body);
    } else {
        body(HeadWidth<0>{});
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
