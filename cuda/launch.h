// The launch helper every kernel goes through, so that one device source launches for real under
// nvcc and runs on the CPU device under the host compiler. A launch is not checked by itself: the
// caller checks cudaGetLastError() once after its group of launches, under the group's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {

// The most blocks CUDA accepts in a grid's x dimension.
inline constexpr std::uint64_t kMaxGridBlocks = 0x7FFFFFFFu;

// Blocks of blockSize threads that cover count elements: (count + blockSize - 1) / blockSize in 64
// bits, as a grid dimension. A count of 0, or one that needs more than kMaxGridBlocks blocks, gives
// 0 blocks, which CUDA refuses as a grid: the launch fails at the caller's kernel check instead of
// covering a truncated count.
[[nodiscard]] constexpr unsigned blocksFor(std::uint64_t count, unsigned blockSize) {
    const std::uint64_t blocks = count / blockSize + (count % blockSize != 0 ? 1 : 0);
    return blocks <= kMaxGridBlocks ? static_cast<unsigned>(blocks) : 0u;
}

#if defined(__CUDACC__) || !defined(VESTRA_DEVICE_CUDA)

// The block's dynamic shared memory, as many bytes as the launch's sharedBytes.
template <class T>
__device__ __forceinline__ T* dynamicSharedMemory() {
#if defined(VESTRA_DEVICE_CUDA)
    extern __shared__ __align__(16) unsigned char vestraDynamicShared[];
    return reinterpret_cast<T*>(vestraDynamicShared);
#else
    return static_cast<T*>(CpuDevice::dynamicSharedMemory());
#endif
}

// Launches Kernel; arguments convert to its parameter types as they would in a <<<>>> launch. The
// kernel is a template argument, so that the CPU device can inline its body into the loop over a
// block's threads.
template <auto Kernel, class... Args>
void launch(dim3 grid, dim3 block, std::size_t sharedBytes, cudaStream_t stream, Args&&... args) {
    cudaLaunchConfig_t config{};
    config.gridDim = grid;
    config.blockDim = block;
    config.dynamicSmemBytes = sharedBytes;
    config.stream = stream;
#if defined(VESTRA_DEVICE_CUDA)
    (void)cudaLaunchKernelEx(&config, Kernel, std::forward<Args>(args)...);
#else
    (void)CpuDevice::launchKnownKernel<Kernel>(&config, Kernel, std::forward<Args>(args)...);
#endif
}

#endif

}  // namespace Halcyne::Core::Vestra
