// Cross-entropy over the positions of a batch (reference/cross_entropy.*): below its row's length a
// position gets the loss (log z + m) - logit[target] and the gradient row softmax - onehot(target),
// m the row maximum and z the sum of exp(logit - m) in vocabulary order; every other position gets a
// loss of 0 and a zero row. Every element of both outputs is written. The loss mask is a second pass
// that zeroes the masked positions exactly. The launch gives one thread per position; in the GPU
// forms each warp takes the 32 positions of its threads one after another, its lanes across the
// vocabulary (coalesced); in both forms the gradient row holds exp(logit - m) until z has been
// added in vocabulary order (by the warp's first lane), so each exponential is formed once and both
// forms give the same bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/logits_row.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

VESTRA_ELEMENT_LOOPS __global__ void crossEntropyKernel(
    const double* __restrict__ logits,          // [batch * sequence, vocabulary]
    const std::uint32_t* __restrict__ targets,  // [batch * sequence]
    const std::uint64_t* __restrict__ lengths,  // [batch]
    double* __restrict__ logitsGradient,        // [batch * sequence, vocabulary]
    double* __restrict__ losses,                // [batch * sequence]
    std::uint64_t batch, std::uint64_t sequence, std::uint64_t vocabulary) {
    if constexpr (kGpuKernelForms) {
        const unsigned lane = threadIdx.x % kWarpLanes;
        const std::uint64_t warpStart = globalThreadIndex() - lane;
        for (std::uint64_t position = warpStart; position < warpStart + kWarpLanes && position < batch * sequence;
             ++position) {
            const double* row = logits + position * vocabulary;
            double* gradient = logitsGradient + position * vocabulary;
            if (position % sequence >= lengths[position / sequence]) {
                for (std::uint64_t v = lane; v < vocabulary; v += kWarpLanes) {
                    gradient[v] = 0.0;
                }
                if (lane == 0) {
                    losses[position] = 0.0;
                }
                continue;
            }
            const double maximum = LogitsRow::warpMaximumOf(row, vocabulary, lane);
            for (std::uint64_t v = lane; v < vocabulary; v += kWarpLanes) {
                gradient[v] = exp(row[v] - maximum);
            }
            __syncwarp();
            const std::uint32_t target = targets[position];
            double normalizer = 0.0;
            if (lane == 0) {
                for (std::uint64_t v = 0; v < vocabulary; ++v) {
                    normalizer += gradient[v];
                }
                losses[position] = LogitsRow{maximum, normalizer}.loss(row, target);
            }
            normalizer = __shfl_sync(kFullWarpMask, normalizer, 0);
            for (std::uint64_t v = lane; v < vocabulary; v += kWarpLanes) {
                gradient[v] = gradient[v] / normalizer - (v == target ? 1.0 : 0.0);
            }
        }
        return;
    }
    const std::uint64_t position = globalThreadIndex();
    if (position >= batch * sequence) {
        return;
    }
    const double* row = logits + position * vocabulary;
    double* gradient = logitsGradient + position * vocabulary;
    if (position % sequence >= lengths[position / sequence]) {
        losses[position] = 0.0;
        for (std::uint64_t v = 0; v < vocabulary; ++v) {
            gradient[v] = 0.0;
        }
        return;
    }
    const std::uint32_t target = targets[position];
    const LogitsRow statistics = LogitsRow::ofStoring(row, vocabulary, gradient);
    losses[position] = statistics.loss(row, target);
    for (std::uint64_t v = 0; v < vocabulary; ++v) {
        gradient[v] = gradient[v] / statistics.normalizer - (v == target ? 1.0 : 0.0);
    }
}

__global__ void applyLossMaskKernel(double* __restrict__ logitsGradient,     // [rows, vocabulary]
                                    double* __restrict__ losses,             // [rows]
                                    const std::uint32_t* __restrict__ mask,  // [rows]; 0 ignores the position
                                    std::uint64_t rows, std::uint64_t vocabulary) {
    if constexpr (kGpuKernelForms) {
        const unsigned lane = threadIdx.x % kWarpLanes;
        const std::uint64_t warpStart = globalThreadIndex() - lane;
        for (std::uint64_t position = warpStart; position < warpStart + kWarpLanes && position < rows; ++position) {
            if (mask[position] != 0) {
                continue;
            }
            for (std::uint64_t v = lane; v < vocabulary; v += kWarpLanes) {
                logitsGradient[position * vocabulary + v] = 0.0;
            }
            if (lane == 0) {
                losses[position] = 0.0;
            }
        }
        return;
    }
    const std::uint64_t position = globalThreadIndex();
    if (position >= rows || mask[position] != 0) {
        return;
    }
    losses[position] = 0.0;
    double* gradient = logitsGradient + position * vocabulary;
    for (std::uint64_t v = 0; v < vocabulary; ++v) {
        gradient[v] = 0.0;
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
