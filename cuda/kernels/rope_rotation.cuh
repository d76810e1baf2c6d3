// The rotation of one adjacent column pair of rotary position encoding (reference/rope.*), shared by
// the forward kernel and its transpose: looked up at the row's position in its sequence in the table
// of ropeTableKernel (rope_table.cuh).
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

struct RopePair {
    std::uint64_t first;  // element index of the pair's first column
    double cosine;
    double sine;

    __device__ static RopePair of(std::uint64_t pair, std::uint64_t sequence, std::uint64_t heads,
                                  std::uint64_t headDim,
                                  const double* __restrict__ table) {  // [sequence, headDim / 2, 2]
        const std::uint64_t i = 2 * pair;
        const std::uint64_t row = i / (heads * headDim);
        const std::uint64_t entry = row % sequence * (headDim / 2) + i % headDim / 2;
        return {i, table[2 * entry], table[2 * entry + 1]};
    }
};

}  // namespace
}  // namespace Halcyne::Core::Vestra
