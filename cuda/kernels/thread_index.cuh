// What every 1-D kernel launch shares: the block sizes (256 threads for element-parallel kernels,
// 128 for the per-position loss kernels) and the calling thread's position in the grid, formed in
// 64 bits so that grids over more than 2^32 elements index correctly.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {

inline constexpr unsigned kElementBlock = 256;
inline constexpr unsigned kPositionBlock = 128;

// A warp's lanes (32 on every GPU the code is built for) and the mask that names them all.
inline constexpr unsigned kWarpLanes = 32;
inline constexpr unsigned kFullWarpMask = 0xFFFFFFFFu;

__device__ __forceinline__ std::uint64_t globalThreadIndex() {
    return std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
}

// Consecutive elements each thread of forEachThreadElement covers: one in the GPU forms; on the
// CPU device a run, so that its plain loop replaces the device's cost per thread. A launch over
// count elements takes blocksFor(count, blockSize * kThreadElements) blocks.
inline constexpr unsigned kThreadElements = kGpuKernelForms ? 1 : 128;

// The elements [first, end) of count that the calling thread covers; empty past the end.
struct ThreadElements {
    std::uint64_t first;
    std::uint64_t end;

    __device__ static ThreadElements of(std::uint64_t count) {
        const std::uint64_t first = globalThreadIndex() * kThreadElements;
        if (first >= count) {
            return {count, count};
        }
        return {first, count - first < kThreadElements ? count : first + kThreadElements};
    }
};

// Calls each(i) for the elements i < count that the calling thread covers.
template <class Each>
__device__ __forceinline__ void forEachThreadElement(std::uint64_t count, Each each) {
    const ThreadElements run = ThreadElements::of(count);
    for (std::uint64_t i = run.first; i < run.end; ++i) {
        each(i);
    }
}

// Calls each(row, first, end) for the parts [first, end) of the calling thread's elements (of a
// row-major [rows, width] tensor of `count` elements) that lie in one row each, in order: a CPU
// device form finds a row's factors once per part instead of once per element.
template <class Each>
__device__ __forceinline__ void forEachThreadRowPart(std::uint64_t count, std::uint64_t width, Each each) {
    const ThreadElements run = ThreadElements::of(count);
    for (std::uint64_t first = run.first; first < run.end;) {
        const std::uint64_t row = first / width;
        const std::uint64_t end = (row + 1) * width < run.end ? (row + 1) * width : run.end;
        each(row, first, end);
        first = end;
    }
}

// The part of one row of `width` elements (of a row-major [rows, width] output with `total`
// elements) that lies in the calling thread's block, for kernels whose elements of a row share most
// of their work: the thread of the run's first element does the whole run, the block's other
// threads of that row have none.
struct RowRun {
    std::uint64_t row;
    std::uint64_t column;  // of the run's first element
    std::uint64_t count;   // 0: the thread has no run

    __device__ static RowRun ofThread(std::uint64_t total, std::uint64_t width) {
        const std::uint64_t element = globalThreadIndex();
        if (element >= total || (threadIdx.x != 0 && element % width != 0)) {
            return {0, 0, 0};
        }
        const std::uint64_t column = element % width;
        std::uint64_t end = element - column + width;
        const std::uint64_t blockEnd = (std::uint64_t{blockIdx.x} + 1) * blockDim.x;
        end = end < blockEnd ? end : blockEnd;
        end = end < total ? end : total;
        return {element / width, column, end - element};
    }
};

}  // namespace Halcyne::Core::Vestra
