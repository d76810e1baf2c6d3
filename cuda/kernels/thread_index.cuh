// What every 1-D kernel launch shares: the block sizes (256 threads for element-parallel kernels,
// 128 for the per-position loss kernels) and the calling thread's position in the grid, formed in
// 64 bits so that grids over more than 2^32 elements index correctly.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {

inline constexpr unsigned kElementBlock = 256;
inline constexpr unsigned kPositionBlock = 128;

__device__ __forceinline__ std::uint64_t globalThreadIndex() {
    return std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
}

}  // namespace Halcyne::Core::Vestra
