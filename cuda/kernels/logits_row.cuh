// The softmax statistics of one logits row, shared by every loss kernel so that training and
// evaluation score a position the same way: the row maximum m and z = sum of exp(logit - m), from
// which loss = (log z + m) - logit[target].
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/exponentials.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

struct LogitsRow {
    double maximum;
    double normalizer;

    __device__ static double maximumOf(const double* __restrict__ row, std::uint64_t vocabulary) {
        double maximum = -HUGE_VAL;
        for (std::uint64_t v = 0; v < vocabulary; ++v) {
            if (row[v] > maximum) {
                maximum = row[v];
            }
        }
        return maximum;
    }

    // The same maximum taken by a warp whose lanes stride the row (GPU forms): every lane gets it.
    __device__ static double warpMaximumOf(const double* __restrict__ row, std::uint64_t vocabulary, unsigned lane) {
        double maximum = -HUGE_VAL;
        for (std::uint64_t v = lane; v < vocabulary; v += kWarpLanes) {
            maximum = row[v] > maximum ? row[v] : maximum;
        }
        for (unsigned offset = kWarpLanes / 2; offset > 0; offset /= 2) {
            const double other = __shfl_xor_sync(kFullWarpMask, maximum, static_cast<int>(offset));
            maximum = other > maximum ? other : maximum;
        }
        return maximum;
    }

    __device__ static LogitsRow of(const double* __restrict__ row, std::uint64_t vocabulary) {
        const double maximum = maximumOf(row, vocabulary);
        double normalizer = 0.0;
        for (std::uint64_t v = 0; v < vocabulary; ++v) {
            normalizer += exp(row[v] - maximum);
        }
        return {maximum, normalizer};
    }

    // The same statistics, each exp(logit - m) left in exponentials[v] for a gradient row to reuse:
    // every exponential is formed once.
    __device__ static LogitsRow ofStoring(const double* __restrict__ row, std::uint64_t vocabulary,
                                          double* __restrict__ exponentials) {  // [vocabulary]
        const double maximum = maximumOf(row, vocabulary);
        Vestra::exponentials(row, maximum, exponentials, vocabulary);
        double normalizer = 0.0;
        for (std::uint64_t v = 0; v < vocabulary; ++v) {
            normalizer += exponentials[v];
        }
        return {maximum, normalizer};
    }

    __device__ double loss(const double* __restrict__ row, std::uint32_t target) const {
        return (log(normalizer) + maximum) - row[target];
    }
};

}  // namespace
}  // namespace Halcyne::Core::Vestra
