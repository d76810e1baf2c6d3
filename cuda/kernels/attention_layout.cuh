// How the attention kernels find their rows: the strides of the query and key/value tensors, the
// score scale, and where a flat element index of a [batch * sequence, heads * headDim] tensor sits.
// Query head h reads KV head h / (queryHeads / kvHeads).
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

// A head width fixed when a kernel is compiled; 0 when it is only known at run time. The attention
// kernels run the common widths as instantiations of their own, whose loops over a head row unroll
// completely and whose sums stay in registers; every instantiation sums in the same order.
template <unsigned Width>
struct HeadWidth {
    static constexpr unsigned value = Width;

    __device__ static std::uint64_t of(std::uint64_t headDim) { return Width != 0 ? Width : headDim; }
};

// Calls body(HeadWidth<headDim>{}) for a head width of 8, 16, 32 or 64, and body(HeadWidth<0>{})
// for any other. The GPU forms always take the generic width: loops unrolled over a whole head row
// would hold it in registers, past what a GPU thread has at width 64 (it spills).
template <class Body>
__device__ __forceinline__ void dispatchHeadWidth(std::uint64_t headDim, const Body& body) {
    if constexpr (kGpuKernelForms) {
        body(HeadWidth<0>{});
    } else {
        switch (headDim) {
            case 8:
                body(HeadWidth<8>{});
                return;
            case 16:
                body(HeadWidth<16>{});
                return;
            case 32:
                body(HeadWidth<32>{});
                return;
            case 64:
                body(HeadWidth<64>{});
                return;
            default:
                body(HeadWidth<0>{});
        }
    }
}

// sum_d a[d] * b[d] over Width elements (`count` when Width is 0), in one order for every kernel that
// takes it: four partial sums from 0.0, the r-th over d = r, r + 4, r + 8, ... in increasing d,
// added as (s0 + s1) + (s2 + s3). Four short chains where one long one would wait on each addition;
// the CPU device's own forms take them as the lanes of one vector (the same bits).
template <unsigned Width = 0>
__device__ __forceinline__ double dotProduct(const double* __restrict__ a, const double* __restrict__ b,
                                             std::uint64_t count) {
    const std::uint64_t n = HeadWidth<Width>::of(count);
#if !defined(VESTRA_DEVICE_CUDA)
    if constexpr (!kGpuKernelForms) {
        return CpuDevice::fourLaneDotProduct(a, b, n);
    }
#endif
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    std::uint64_t d = 0;
    for (; d + 4 <= n; d += 4) {
        for (unsigned r = 0; r < 4; ++r) {
            sum[r] += a[d + r] * b[d + r];
        }
    }
    for (unsigned r = 0; d + r < n; ++r) {
        sum[r] += a[d + r] * b[d + r];
    }
    return (sum[0] + sum[1]) + (sum[2] + sum[3]);
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
