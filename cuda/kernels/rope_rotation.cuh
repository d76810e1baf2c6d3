// The rotation of one adjacent column pair of rotary position encoding (reference/rope.*), shared by
// the forward kernel and its transpose: looked up at the row's position in its sequence in the table
// of ropeTableKernel (rope_table.cuh).
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

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

// Calls each(rotation) for the pairs < pairs that the calling thread covers (forEachThreadElement).
// The GPU forms find each pair's row and table entry by division; the CPU device's forms walk a
// thread's run row by row (forEachThreadRowPart), stepping through the table without dividing per
// pair.
template <class Each>
__device__ __forceinline__ void forEachThreadRopePair(std::uint64_t pairs, std::uint64_t sequence, std::uint64_t heads,
                                                      std::uint64_t headDim, const double* __restrict__ table,
                                                      Each each) {
    if constexpr (kGpuKernelForms) {
        forEachThreadElement(pairs,
                             [&](std::uint64_t pair) { each(RopePair::of(pair, sequence, heads, headDim, table)); });
        return;
    }
    const std::uint64_t half = headDim / 2;
    const std::uint64_t rowPairs = heads * half;
    forEachThreadRowPart(pairs, rowPairs, [&](std::uint64_t row, std::uint64_t first, std::uint64_t end) {
        const double* rowTable = table + 2 * (row % sequence * half);
        std::uint64_t entry = (first - row * rowPairs) % half;
        for (std::uint64_t pair = first; pair < end; ++pair) {
            each(RopePair{2 * pair, rowTable[2 * entry], rowTable[2 * entry + 1]});
            entry = entry + 1 == half ? 0 : entry + 1;
        }
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
