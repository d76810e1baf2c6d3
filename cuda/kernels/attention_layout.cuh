// How the attention kernels find their rows: the strides of the query and key/value tensors, the
// score scale, the grouped-query mapping (query head h reads KV head h / (queryHeads / kvHeads))
// and the decoding of a flat element index of a [batch * sequence, heads * headDim] tensor.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

__device__ __forceinline__ double headDot(const double* __restrict__ a, const double* __restrict__ b,
                                          std::uint64_t count) {
    double sum = 0.0;
    for (std::uint64_t d = 0; d < count; ++d) {
        sum += a[d] * b[d];
    }
    return sum;
}

struct AttentionShape {
    std::uint64_t sequence;
    std::uint64_t queryHeads;
    std::uint64_t kvHeads;
    std::uint64_t headDim;

    __device__ std::uint64_t queryStride() const { return queryHeads * headDim; }
    __device__ std::uint64_t kvStride() const { return kvHeads * headDim; }
    __device__ std::uint64_t kvHeadOf(std::uint64_t queryHead) const { return queryHead / (queryHeads / kvHeads); }
    __device__ double scale() const { return 1.0 / sqrt(static_cast<double>(headDim)); }
    // Offset of key/value row 0 of batch row b at KV head kv.
    __device__ std::uint64_t kvHeadStart(std::uint64_t b, std::uint64_t kv) const {
        return b * sequence * kvStride() + kv * headDim;
    }
    // Offset of query (or output gradient) row i of batch row b at query head h.
    __device__ std::uint64_t queryRowStart(std::uint64_t b, std::uint64_t i, std::uint64_t h) const {
        return (b * sequence + i) * queryStride() + h * headDim;
    }
};

// Where element `element` of a [batch * sequence, heads * headDim] tensor sits.
struct HeadElement {
    std::uint64_t b;         // batch row
    std::uint64_t position;  // within the batch row
    std::uint64_t head;
    std::uint64_t d;  // within the head

    __device__ static HeadElement of(std::uint64_t element, std::uint64_t sequence, std::uint64_t heads,
                                     std::uint64_t headDim) {
        const std::uint64_t row = element / (heads * headDim);
        return {row / sequence, row % sequence, element / headDim % heads, element % headDim};
    }
};

}  // namespace
}  // namespace Halcyne::Core::Vestra
