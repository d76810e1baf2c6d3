// How the attention kernels find their rows: the strides of the query and key/value tensors, the
// score scale, and where a flat element index of a [batch * sequence, heads * headDim] tensor sits.
// Query head h reads KV head h / (queryHeads / kvHeads).
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

__device__ __forceinline__ double dotProduct(const double* __restrict__ a, const double* __restrict__ b,
                                             std::uint64_t count) {
    double sum = 0.0;
    for (std::uint64_t d = 0; d < count; ++d) {
        sum += a[d] * b[d];
    }
    return sum;
}

// Row strides of the query and key/value tensors, the head width and the score scale.
struct AttentionRowLayout {
    std::uint64_t queryStride;  // queryHeads * headDim
    std::uint64_t kvStride;     // kvHeads * headDim
    std::uint64_t headDim;
    double scale;  // 1 / sqrt(headDim)

    __device__ static AttentionRowLayout of(std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim) {
        return {queryHeads * headDim, kvHeads * headDim, headDim, 1.0 / sqrt(static_cast<double>(headDim))};
    }
};

// Where element `element` of a [batch * sequence, heads * headDim] tensor sits.
struct HeadElement {
    std::uint64_t row;       // b * sequence + position
    std::uint64_t b;         // batch row
    std::uint64_t position;  // within the batch row
    std::uint64_t head;
    std::uint64_t d;  // within the head

    __device__ static HeadElement of(std::uint64_t element, std::uint64_t sequence, std::uint64_t heads,
                                     std::uint64_t headDim) {
        const std::uint64_t row = element / (heads * headDim);
        return {row, row / sequence, row % sequence, element / headDim % heads, element % headDim};
    }
};

}  // namespace
}  // namespace Halcyne::Core::Vestra
