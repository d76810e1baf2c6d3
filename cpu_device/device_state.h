// What the runtime and cuBLAS stand-ins share: the live allocations, streams and handles, the
// pending faults, the calling thread's last error and the last kernel fault. Guarded by one mutex,
// as the CUDA runtime may be called from any host thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/control.h"
#include "cpu_device/cublas_v2.h"
#include "cpu_device/cuda_runtime.h"

struct CUstream_st {
    unsigned int flags;
};

struct cublasContext {
    cudaStream_t stream = nullptr;
    cublasMath_t mode = CUBLAS_DEFAULT_MATH;
};

namespace Halcyne::Core::Vestra::CpuDevice {

// Counts a call at the site; gives the injected status when a fault fires on it.
[[nodiscard]] std::optional<int> takeFault(FaultSite site);

// Records a failed runtime call as the thread's last error and returns the error.
cudaError_t recordError(cudaError_t error) noexcept;
[[nodiscard]] cudaError_t takeLastError() noexcept;

// What unwritten device memory and a block's shared memory hold before anything writes them: a NaN
// pattern in every floating type. Checking mode reruns blocks with kProbeFill, a finite pattern, in
// their place to see whether a result depends on them.
inline constexpr unsigned char kUnwrittenFill = 0xFF;
inline constexpr unsigned char kProbeFill = 0x7F;
// What the guard zones around allocations and after a block's shared memory hold, and what checking
// mode puts there instead to see whether a result depends on them.
inline constexpr unsigned char kGuardFill = 0xA5;
inline constexpr unsigned char kGuardProbeFill = 0x5A;

// Device memory: host memory aligned to 256 bytes, filled with 0xFF bytes (NaN in every floating
// type) so that a kernel that leaves part of its output unwritten shows it, between guard zones.
// Freeing memory whose guard zones were written records the fault and gives
// cudaErrorIllegalAddress (the memory is released all the same). Freed memory is kept for reuse
// while the kept bytes stay within `poolBytes` (the pool's release threshold), except while
// checking, when it waits in quarantine instead. Reused memory holds what its last user left, as a
// GPU's stream-ordered pool hands it back: what a program reads it must have written, which checking
// mode proves (and there every allocation is filled afresh), so the fill of every reuse, a sweep of
// all the memory the trainer allocates at every step, is not paid outside it.
cudaError_t allocateDevice(void** pointer, std::size_t bytes);
cudaError_t freeDevice(void* pointer, std::size_t poolBytes);

// The first allocation holding one of the launch's pointer arguments whose guard zones were written,
// described as a kernel fault: where an overrun of an argument lands. (A write into another
// allocation's guards shows at that allocation's next launch or free.)
[[nodiscard]] std::optional<std::string> checkGuards(const LaunchPointer* pointers, std::size_t count);

struct DeviceRange {
    unsigned char* begin;
    std::size_t bytes;
};

// The live allocation that holds the byte at `pointer`.
[[nodiscard]] std::optional<DeviceRange> allocationOf(const void* pointer);

// Which bytes were written since allocation, kept for allocations made while checking; ranges
// outside such an allocation count as written.
void markWritten(const void* pointer, std::size_t bytes);
void copyWritten(const void* destination, const void* source, std::size_t bytes);
[[nodiscard]] std::optional<std::size_t> firstUnwritten(const void* pointer, std::size_t bytes);
// The unwritten ranges of the allocation that holds the byte at `pointer`.
[[nodiscard]] std::vector<DeviceRange> unwrittenRanges(const void* pointer);

// What a checked launch can reach through a pointer: a live allocation, or one freed while checking,
// which waits in quarantine; its bytes and the guard zones before and after them.
struct ReachableMemory {
    unsigned char* begin;
    std::size_t bytes;
    std::size_t guardBefore;
    std::size_t guardAfter;
    bool freed;
};
[[nodiscard]] std::optional<ReachableMemory> reachableMemory(const void* pointer);
// Page-locked host memory (cudaMallocHost), which kernels may reach as a GPU reaches mapped memory.
void trackPinned(const void* pointer, std::size_t bytes);
[[nodiscard]] bool untrackPinned(const void* pointer);  // false for memory that is not page-locked
// Whether a pointer a kernel is given lies in memory a GPU kernel can reach: device memory (an end
// pointer and the guard zones included), freed device memory, or page-locked host memory.
[[nodiscard]] bool kernelsReach(const void* pointer);

// Whether [pointer, pointer + bytes) overlaps memory freed while checking.
[[nodiscard]] bool isFreedRange(const void* pointer, std::size_t bytes);
// Sanitizer builds poison guard zones and freed memory; a checked launch exposes what it reaches
// while it runs, and its own checks then report what a kernel does there.
void exposeReachable(const ReachableMemory& memory, bool exposed);

// Whether [pointer, pointer + bytes) lies inside one live allocation.
[[nodiscard]] bool isDeviceRange(const void* pointer, std::size_t bytes);

cudaError_t createStream(cudaStream_t* stream, unsigned int flags);
cudaError_t destroyStream(cudaStream_t stream);
[[nodiscard]] bool isLiveStream(cudaStream_t stream);  // null, the legacy stream, is always live

[[nodiscard]] cublasHandle_t createHandle();
[[nodiscard]] bool destroyHandle(cublasHandle_t handle);
[[nodiscard]] bool isLiveHandle(cublasHandle_t handle);

void recordKernelFault(std::string description);

}  // namespace Halcyne::Core::Vestra::CpuDevice
