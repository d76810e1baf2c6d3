// The loss side of the trainer's forward: the masked per-position cross-entropy without a gradient
// (evaluation; a thread per position on the CPU device, a warp per position in the GPU form, with the
// same bits), and the one-thread sum of the per-position losses in index order that every loss the
// host reads goes through.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/logits_row.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void lossOnlyKernel(const double* __restrict__ logits,          // [batch * sequence, vocabulary]
                               const std::uint32_t* __restrict__ targets,  // [batch * sequence]
                               const std::uint64_t* __restrict__ lengths,  // [batch]
                               const std::uint32_t* __restrict__ mask,     // [batch * sequence] or null
                               double* __restrict__ losses,                // [batch * sequence]
                               std::uint64_t batch, std::uint64_t sequence, std::uint64_t vocabulary) {
    const auto counted = [&](std::uint64_t position) {
        return position % sequence < lengths[position / sequence] && (mask == nullptr || mask[position] != 0);
    };
    if constexpr (kGpuKernelForms) {
        // Each warp takes the positions of its threads one after another, its lanes across the
        // vocabulary (coalesced). The lanes form the exponentials of 32 entries at a time and every
        // lane adds all 32 in vocabulary order, each handed round in turn, so the normalizer is
        // LogitsRow::of's to the bit.
        const unsigned lane = threadIdx.x % kWarpLanes;
        const std::uint64_t warpStart = globalThreadIndex() - lane;
        for (std::uint64_t position = warpStart; position < warpStart + kWarpLanes && position < batch * sequence;
             ++position) {
            if (!counted(position)) {
                if (lane == 0) {
                    losses[position] = 0.0;
                }
                continue;
            }
            const double* row = logits + position * vocabulary;
            const double maximum = LogitsRow::warpMaximumOf(row, vocabulary, lane);
            double normalizer = 0.0;
            for (std::uint64_t chunk = 0; chunk < vocabulary; chunk += kWarpLanes) {
                const double own = chunk + lane < vocabulary ? exp(row[chunk + lane] - maximum) : 0.0;
                const std::uint64_t count = vocabulary - chunk < kWarpLanes ? vocabulary - chunk : kWarpLanes;
                for (unsigned source = 0; source < count; ++source) {
                    normalizer += __shfl_sync(kFullWarpMask, own, static_cast<int>(source));
                }
            }
            if (lane == 0) {
                losses[position] = LogitsRow{maximum, normalizer}.loss(row, targets[position]);
            }
        }
        return;
    }
    const std::uint64_t position = globalThreadIndex();
    if (position >= batch * sequence) {
        return;
    }
    if (!counted(position)) {
        losses[position] = 0.0;
        return;
    }
    const double* row = logits + position * vocabulary;
    losses[position] = LogitsRow::of(row, vocabulary).loss(row, targets[position]);
}

// One thread: result[0] = losses[0] + losses[1] + ..., in index order.
__global__ void sumLossKernel(const double* __restrict__ losses,  // [count]
                              std::uint64_t count,
                              double* __restrict__ result) {  // [1]
    if (globalThreadIndex() != 0) {
        return;
    }
    double sum = 0.0;
    for (std::uint64_t i = 0; i < count; ++i) {
        sum += losses[i];
    }
    result[0] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
