// Controls of the CPU device for tests and benchmarks: fault injection, the number of host threads
// that run blocks, and what the device can tell about its memory and its last kernel fault. The
// CUDA backend has none of this; code under test never calls it.
#pragma once

#include <cstdint>
#include <string>

namespace Halcyne::Core::Vestra::CpuDevice {

// The calls a fault can be injected into.
enum class FaultSite : std::uint8_t {
    DeviceSelection,     // cudaSetDevice
    StreamCreation,      // cudaStreamCreateWithFlags
    Allocation,          // cudaMallocAsync
    Copy,                // cudaMemcpyAsync
    Memset,              // cudaMemsetAsync
    Launch,              // cudaLaunchKernelEx
    Synchronization,     // cudaStreamSynchronize
    FunctionAttributes,  // cudaFuncGetAttributes
    Blas,                // every cuBLAS call except cublasDestroy_v2
};

// Makes the nth call at the site from now on (1 = the next one) fail with `status`, a cudaError_t,
// or a cublasStatus_t for FaultSite::Blas, without doing any of its work. Several faults may be
// pending at once. Throws std::invalid_argument for nth == 0 or status == 0.
void injectFault(FaultSite site, std::uint64_t nth, int status);

// Drops every pending fault.
void clearFaults() noexcept;

// What is alive on the device: allocations and their bytes, streams, cuBLAS handles.
[[nodiscard]] std::uint64_t liveAllocations();
[[nodiscard]] std::uint64_t liveAllocationBytes();
[[nodiscard]] std::uint64_t liveStreams();
[[nodiscard]] std::uint64_t liveBlasHandles();

// What the last launch found when it failed while running, for example a barrier reached by only
// part of a block, or what the last refused copy or GEMM found; empty after a launch that did not
// fail while running.
[[nodiscard]] std::string lastKernelFault();

// Checking mode, off by default and on from the start when the environment variable
// VESTRA_CPU_DEVICE_CHECKS is set to anything but 0 (read once). While it is on, every launch runs
// twice from the same memory with different orders and fills, and fails with cudaErrorLaunchFailure
// on a race or a read of unwritten memory, and with cudaErrorIllegalAddress on an access outside an
// allocation, past the end of shared memory, into freed memory or into pageable host memory;
// lastKernelFault names the kernel, block, thread and byte. See README.md for what it catches and
// what it cannot.
void setChecking(bool enabled);
[[nodiscard]] bool checking();

// Host threads that run the blocks of one launch, the calling thread included (at least 1). Any
// count gives bit-identical results: blocks write disjoint outputs and each block runs on one
// thread. The default is the hardware's thread count, at most 8.
void setExecutionThreads(unsigned count);
[[nodiscard]] unsigned executionThreads();

}  // namespace Halcyne::Core::Vestra::CpuDevice
