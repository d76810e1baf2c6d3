// The loss side of the trainer's forward: the masked per-position cross-entropy without a gradient
// (evaluation), and the one-thread sum of the per-position losses in index order that every loss
// the host reads goes through.
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
    const std::uint64_t position = globalThreadIndex();
    if (position >= batch * sequence) {
        return;
    }
    if (position % sequence >= lengths[position / sequence] || (mask != nullptr && mask[position] == 0)) {
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
