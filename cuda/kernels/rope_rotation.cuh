// The rotation of one adjacent column pair of rotary position encoding (reference/rope.*), shared by
// the forward kernel and its transpose: the angle is computed as the CPU table computes it (a
// division by base^(2i / headDim)) at the row's position in its sequence.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

struct RopePair {
    std::uint64_t first;  // element index of the pair's first column
    double cosine;
    double sine;

    __device__ static RopePair of(std::uint64_t pair, std::uint64_t sequence, std::uint64_t heads,
                                  std::uint64_t headDim, double base) {
        const std::uint64_t i = 2 * pair;
        const std::uint64_t row = i / (heads * headDim);
        const double divisor = pow(base, static_cast<double>(i % headDim) / static_cast<double>(headDim));
        const double angle = static_cast<double>(row % sequence) / divisor;
        return {i, cos(angle), sin(angle)};
    }
};

}  // namespace
}  // namespace Halcyne::Core::Vestra
